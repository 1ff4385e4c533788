// The engine's option entry with arbitrary names and values. The input is a
// list of fields ended by zero bytes, read as name, value, name, value, ...
// (at most eight options, applied in order to one prepared engine, so that
// options meet the state earlier ones left). An exception is the expected
// refusal of a bad option; only crashes, leaks and sanitizer reports count.
#include <cstdint>
#include <exception>

#include "EngineFuzz.h"
#include "FFmpeg.h"
#include "FuzzInput.h"

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
  qvfuzz::LoadEngineLibraries();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *AData, size_t ASize)
{
  const auto fields = qvfuzz::SplitFields(AData, ASize, '\0', 16);
  {
    TCustomFFmpeg engine;
    engine.Prepare();
    for (size_t i = 0; i < fields.size(); i += 2) {
      const std::string &name = fields[i];
      const std::string value = i + 1 < fields.size() ? fields[i + 1] : std::string();
      if (qvfuzz::IsSandboxedOption(name)) continue;
      try {
        engine.SetOption(name, value);
      } catch (const std::exception &) {
        // refused: the engine must stay usable for the next option
      }
    }
  }
  qvfuzz::RestoreGlobalState();
  return 0;
}
