// Test support: loading the libraries from bin/LibAV, sample paths and
// scratch folders that clean themselves up.
#pragma once

#include <string>
#include <vector>

namespace qvtest {

// Loads the media libraries from the LibAV folder beside the test binary;
// fails the calling test when they cannot be loaded.
void LoadLibs();
std::string SamplesDir();
std::string Sample(const std::string &AName);
// All real sample files, full paths, sorted.
std::vector<std::string> AllSamples();

// A fresh temporary folder, removed with everything in it on destruction.
class TScratchDir {
 public:
  TScratchDir();
  ~TScratchDir();
  TScratchDir(const TScratchDir &) = delete;
  TScratchDir &operator=(const TScratchDir &) = delete;
  const std::string &Path() const { return FPath; }
  std::string File(const std::string &AName) const { return FPath + "/" + AName; }

 private:
  std::string FPath;
};

bool FileExists(const std::string &APath);
long long FileSize(const std::string &APath);  // -1 when missing
void WriteFile(const std::string &APath, const std::string &AData);
std::string ReadFile(const std::string &APath);

}  // namespace qvtest
