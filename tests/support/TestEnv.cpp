#include "TestEnv.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "LibLoader.h"

namespace fs = std::filesystem;

namespace qvtest {

void LoadLibs()
{
  if (AVLibsLoaded()) return;
  ASSERT_TRUE(LoadAVLibs(ExecutableDir() + "LibAV", true)) << AVLibsLastError();
}

std::string SamplesDir() { return QV_SAMPLES_DIR; }

std::string Sample(const std::string &AName) { return SamplesDir() + "/" + AName; }

std::vector<std::string> AllSamples()
{
  std::vector<std::string> out;
  for (const auto &e : fs::directory_iterator(SamplesDir()))
    if (e.path().extension() == ".flv") out.push_back(e.path().string());
  std::sort(out.begin(), out.end());
  return out;
}

TScratchDir::TScratchDir()
{
  std::string tmpl = (fs::temp_directory_path() / "qvtest-XXXXXX").string();
  char *p = mkdtemp(tmpl.data());
  if (!p) throw std::runtime_error("mkdtemp failed");
  FPath = p;
}

TScratchDir::~TScratchDir()
{
  std::error_code ec;
  fs::permissions(FPath, fs::perms::owner_all, fs::perm_options::add, ec);
  fs::remove_all(FPath, ec);
}

bool FileExists(const std::string &APath) { return fs::exists(APath); }

long long FileSize(const std::string &APath)
{
  std::error_code ec;
  auto n = fs::file_size(APath, ec);
  return ec ? -1 : static_cast<long long>(n);
}

void WriteFile(const std::string &APath, const std::string &AData)
{
  std::ofstream f(APath, std::ios::binary);
  f << AData;
}

std::string ReadFile(const std::string &APath)
{
  std::ifstream f(APath, std::ios::binary);
  std::stringstream ss;
  ss << f.rdbuf();
  return ss.str();
}

}  // namespace qvtest
