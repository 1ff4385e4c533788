// Free-text option lines ("name=value", any line end) as a task's extra
// options arrive, applied to a prepared engine. The first refused line ends
// the translation with an exception, which is expected.
#include <cstdint>
#include <exception>
#include <string>

#include "EngineFuzz.h"
#include "FFmpeg.h"
#include "Options.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
  qvfuzz::LoadEngineLibraries();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *AData, size_t ASize)
{
  std::string text(reinterpret_cast<const char *>(AData), ASize);
  // Option names are matched exactly, so spoiling every "vhook" keeps that
  // option out while the rest of the line is still fed in.
  for (size_t pos = text.find("vhook"); pos != std::string::npos; pos = text.find("vhook", pos)) text[pos + 4] = '_';
  {
    TCustomFFmpeg engine;
    engine.Prepare();
    try {
      ApplyOptionText(engine, text);
    } catch (const std::exception &) {
    }
  }
  qvfuzz::RestoreGlobalState();
  return 0;
}
