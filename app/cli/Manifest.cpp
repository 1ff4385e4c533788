// Manifests and shards (see Manifest.h).
#include "Manifest.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

// A whole non-negative decimal number within int; -1 otherwise.
long long Decimal(const std::string &AText)
{
  if (AText.empty() || AText.size() > 10 || AText.find_first_not_of("0123456789") != std::string::npos) return -1;
  const long long v = std::strtoll(AText.c_str(), nullptr, 10);
  return v <= INT_MAX ? v : -1;
}

}  // namespace

bool ReadManifest(const std::string &AFileName, std::vector<std::string> &AInputs, std::string &AError)
{
  const bool standardInput = AFileName == "-";
  const std::string shown = standardInput ? "standard input" : "'" + AFileName + "'";
  FILE *f = standardInput ? stdin : std::fopen(AFileName.c_str(), "rb");
  if (!f) {
    AError = "Could not read the manifest " + shown + ": " + std::strerror(errno);
    return false;
  }
  std::string text;
  char buf[65536];
  for (size_t n; (n = std::fread(buf, 1, sizeof buf, f)) > 0;) text.append(buf, n);
  const bool failed = std::ferror(f) != 0;
  const int readError = errno;
  if (!standardInput) std::fclose(f);
  if (failed) {
    AError = "Could not read the manifest " + shown + ": " + std::strerror(readError);
    return false;
  }

  AInputs.clear();
  size_t lineNumber = 0;
  for (size_t pos = 0; pos < text.size();) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    std::string line = text.substr(pos, end - pos);
    pos = end + 1;
    ++lineNumber;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.empty()) continue;
    // The system would see the path only up to the zero byte: another file.
    if (line.find('\0') != std::string::npos) {
      AError = "The manifest " + shown + " holds a zero byte on line " + std::to_string(lineNumber);
      return false;
    }
    AInputs.push_back(std::move(line));
  }
  if (AInputs.empty()) {
    AError = "The manifest " + shown + " lists no files";
    return false;
  }
  return true;
}

bool ParseShard(const std::string &AText, TShard &AShard, std::string &AError)
{
  const auto slash = AText.find('/');
  const long long k = slash == std::string::npos ? -1 : Decimal(AText.substr(0, slash));
  const long long n = slash == std::string::npos ? -1 : Decimal(AText.substr(slash + 1));
  if (k < 0 || n <= 0 || k >= n) {
    AError = "'" + AText + "' is not a shard: give K/N with 0 <= K < N, or auto";
    return false;
  }
  AShard.Index = static_cast<int>(k);
  AShard.Count = static_cast<int>(n);
  return true;
}

bool ShardFromEnvironment(int AShards, const TGetEnv &AGetEnv, TShard &AShard, std::string &AError)
{
  // The variable's value as a number; -1 when unset or not a number (with AError).
  auto number = [&](const char *AName, bool ARequired) -> long long {
    const char *v = AGetEnv(AName);
    if (!v) {
      if (ARequired) AError = std::string("--shard auto: ") + AName + " is not set";
      return -1;
    }
    const long long n = Decimal(v);
    if (n < 0) AError = std::string("--shard auto: ") + AName + "='" + v + "' is not a number";
    return n;
  };

  if (AGetEnv("JOB_COMPLETION_INDEX")) {
    const long long index = number("JOB_COMPLETION_INDEX", true);
    if (index < 0) return false;
    if (AShards <= 0) {
      AError = "--shard auto: JOB_COMPLETION_INDEX is set; give the Job's completions with --shards N";
      return false;
    }
    if (index >= AShards) {
      AError = "--shard auto: JOB_COMPLETION_INDEX=" + std::to_string(index) + " is not below --shards " +
               std::to_string(AShards);
      return false;
    }
    AShard.Index = static_cast<int>(index);
    AShard.Count = AShards;
    return true;
  }

  if (AGetEnv("SLURM_ARRAY_TASK_ID")) {
    const long long id = number("SLURM_ARRAY_TASK_ID", true);
    const long long count = number("SLURM_ARRAY_TASK_COUNT", true);
    if (id < 0 || count < 0) return false;
    const long long min = AGetEnv("SLURM_ARRAY_TASK_MIN") ? number("SLURM_ARRAY_TASK_MIN", true) : 0;
    const long long step = AGetEnv("SLURM_ARRAY_TASK_STEP") ? number("SLURM_ARRAY_TASK_STEP", true) : 1;
    if (min < 0 || step < 0) return false;
    if (count == 0) {
      AError = "--shard auto: SLURM_ARRAY_TASK_COUNT is 0";
      return false;
    }
    if (AShards > 0 && AShards != count) {
      AError = "--shard auto: --shards " + std::to_string(AShards) + " differs from SLURM_ARRAY_TASK_COUNT=" +
               std::to_string(count);
      return false;
    }
    const long long offset = id - min, stride = step > 0 ? step : 1;
    if (offset < 0 || offset % stride != 0 || offset / stride >= count) {
      AError = "--shard auto: array task " + std::to_string(id) + " is not one of " + std::to_string(count) +
               " evenly spaced tasks from " + std::to_string(min) + "; submit the array as --array=0-" +
               std::to_string(count - 1);
      return false;
    }
    AShard.Index = static_cast<int>(offset / stride);
    AShard.Count = static_cast<int>(count);
    return true;
  }

  AError = "--shard auto: neither JOB_COMPLETION_INDEX (Kubernetes Indexed Job) nor SLURM_ARRAY_TASK_ID "
           "(Slurm array job) is set; give --shard K/N";
  return false;
}
