// The preset file reader with arbitrary file contents (written to a private
// temporary file for each input). Besides the sanitizers, checks that the
// names handed out are the presets' names in order and that there is never
// more than one preset per section header.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "Tools.h"

namespace {

std::string PresetPath;

void RemovePresetFile() { unlink(PresetPath.c_str()); }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
  char path[] = "/tmp/quenvaro-fuzz-presets-XXXXXX";
  const int fd = mkstemp(path);
  if (fd < 0) std::abort();
  close(fd);
  PresetPath = path;
  std::atexit(RemovePresetFile);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *AData, size_t ASize)
{
  FILE *f = std::fopen(PresetPath.c_str(), "wb");
  if (!f) std::abort();
  if (ASize && std::fwrite(AData, 1, ASize, f) != ASize) std::abort();
  std::fclose(f);

  std::vector<std::string> names;
  LoadPresets(PresetPath, [&](const std::string &AName) { names.push_back(AName); });
  if (names.size() != Presets.size()) std::abort();
  for (size_t i = 0; i < names.size(); ++i)
    if (names[i] != Presets[i].Name) std::abort();
  size_t headers = 0;
  for (size_t i = 0; i < ASize; ++i) headers += AData[i] == '[';
  if (Presets.size() > headers) std::abort();
  return 0;
}
