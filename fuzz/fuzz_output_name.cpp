// Output naming with arbitrary input names and extensions, in a private
// folder where some candidate names are taken (a file, the next number, a
// dangling link). Input: the first byte's low three bits give the length of
// the extension, taken from the end of the rest; the remainder is the input
// name inside the folder. Checks the promises callers rely on: the result
// keeps the input's folder, ends with the extension, differs from the input,
// holds no zero byte, and is free (nothing, not even a dangling link, exists
// under that name).
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "Tools.h"

namespace {

std::string Sandbox;

void RemoveSandbox()
{
  std::error_code ec;
  std::filesystem::remove_all(Sandbox, ec);
}

void Touch(const std::string &AName)
{
  FILE *f = std::fopen(AName.c_str(), "wb");
  if (!f) std::abort();
  std::fclose(f);
}

bool Taken(const std::string &AName)
{
  struct stat st;
  return lstat(AName.c_str(), &st) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
  char path[] = "/tmp/quenvaro-fuzz-names-XXXXXX";
  if (!mkdtemp(path)) std::abort();
  Sandbox = std::string(path) + "/";
  std::atexit(RemoveSandbox);
  Touch(Sandbox + "clip_(new).mp4");
  Touch(Sandbox + "clip_(new_1).mp4");
  if (symlink("missing-target", (Sandbox + "clip_(new_2).mp4").c_str()) != 0) std::abort();
  std::filesystem::create_directory(Sandbox + "folder.with.dots");
  Touch(Sandbox + "folder.with.dots/x_(new)");
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *AData, size_t ASize)
{
  if (ASize == 0) return 0;
  const size_t extLength = AData[0] & 7;
  std::string rest(reinterpret_cast<const char *>(AData + 1), ASize - 1);
  const size_t cut = rest.size() > extLength ? rest.size() - extLength : 0;
  const std::string ext = rest.substr(cut);
  const std::string input = Sandbox + rest.substr(0, cut);

  const std::string name = MakeOutputName(input, ext);
  if (name.find('\0') != std::string::npos) std::abort();
  // What the system sees of the arguments: each up to its first zero byte.
  const std::string visibleInput = input.substr(0, input.find('\0'));
  const std::string visibleExt = ext.substr(0, ext.find('\0'));
  if (name == visibleInput) std::abort();
  if (name.size() < visibleExt.size() ||
      name.compare(name.size() - visibleExt.size(), visibleExt.size(), visibleExt) != 0)
    std::abort();
  // The folder part of the input is kept as it is.
  const size_t slash = visibleInput.find_last_of('/');
  if (slash != std::string::npos && name.compare(0, slash + 1, visibleInput, 0, slash + 1) != 0) std::abort();
  if (Taken(name)) std::abort();
  return 0;
}
