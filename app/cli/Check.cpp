#include "Check.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "FlvReader.h"
#include "Json.h"

namespace {

struct TResult {
  bool Readable = false;
  std::string Error;
  std::vector<flv::TFinding> Findings;
};

TResult Inspect(const std::string &AFile)
{
  TResult r;
  int fd = STDIN_FILENO;
  if (AFile != "-") {
    struct stat st {};
    if (stat(AFile.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
      r.Error = "it is a folder";
      return r;
    }
    fd = open(AFile.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
      r.Error = std::strerror(errno);
      return r;
    }
  }
  flv::TFdSource source(fd, AFile != "-");
  flv::TReader reader(source);
  if (!reader.Open(r.Error)) return r;
  // a pipe's findings are whole only at its end
  flv::TPacket packet;
  if (!source.CanSeek())
    while (reader.Next(packet)) {
    }
  r.Readable = true;
  r.Findings = reader.Findings();
  return r;
}

TCheckStatus Status(const TResult &AResult)
{
  if (!AResult.Readable) return csNotReadable;
  TCheckStatus s = csClean;
  for (const flv::TFinding &f : AResult.Findings)
    if (f.Level == flv::TFindingLevel::Error)
      s = csErrors;
    else if (f.Level == flv::TFindingLevel::Warning)
      s = std::max(s, csWarnings);
  return s;
}

std::string Seconds(int64_t AMs)
{
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s", static_cast<double>(AMs) / 1000.0);
  return text;
}

// "FILE: warning timestamp-jump at byte 5120, 12.000 s (3 times): converted anyway: TEXT"
void PrintText(const std::string &AFile, const TResult &AResult)
{
  if (!AResult.Readable) {
    std::printf("%s: cannot be checked: %s\n", AFile.c_str(), AResult.Error.c_str());
    return;
  }
  int notes = 0;
  for (const flv::TFinding &f : AResult.Findings) {
    std::string where;
    if (f.Offset >= 0) where += " at byte " + std::to_string(f.Offset);
    if (f.TimeMs >= 0) where += (where.empty() ? " at " : ", ") + Seconds(f.TimeMs);
    if (f.Count > 1) where += " (" + std::to_string(f.Count) + " times)";
    std::printf("%s: %s %s%s: %s: %s\n", AFile.c_str(), flv::LevelName(f.Level), f.Code.c_str(), where.c_str(),
                flv::ActionName(f.Action), f.Text.c_str());
    notes += !flv::IsProblem(f);
  }
  const std::string summary = flv::FindingsSummary(AResult.Findings);
  if (!summary.empty())
    std::printf("%s: %s\n", AFile.c_str(), summary.c_str());
  else if (notes)
    std::printf("%s: no problems found (%d %s)\n", AFile.c_str(), notes, notes == 1 ? "note" : "notes");
  else
    std::printf("%s: no problems found\n", AFile.c_str());
}

void PrintJson(const std::string &AFile, const TResult &AResult)
{
  auto line = [&AFile](const std::string &ACode, const char *ALevel, const char *AAction, int64_t AOffset,
                       int64_t AMs, int64_t ACount, const std::string &AText) {
    TJson j = TJson::object();
    j["file"] = AFile;
    j["code"] = ACode;
    j["level"] = ALevel;
    j["action"] = AAction;
    j["offset"] = AOffset >= 0 ? TJson(AOffset) : TJson(nullptr);
    j["time"] = AMs >= 0 ? TJson(static_cast<double>(AMs) / 1000.0) : TJson(nullptr);
    j["count"] = ACount;
    j["text"] = AText;
    std::printf("%s\n", JsonLine(j).c_str());
  };
  if (!AResult.Readable) {
    line("not-readable", "error", "lost", -1, -1, 1, AResult.Error);
    return;
  }
  for (const flv::TFinding &f : AResult.Findings)
    line(f.Code, flv::LevelName(f.Level), flv::ActionName(f.Action), f.Offset, f.TimeMs, f.Count, f.Text);
}

}  // namespace

int CheckFiles(const std::vector<std::string> &AArgs)
{
  bool json = false, options = true;
  std::vector<std::string> files;
  for (const std::string &a : AArgs) {
    if (options && a == "--") {
      options = false;
    } else if (options && a == "--json") {
      json = true;
    } else if (options && a.size() > 1 && a[0] == '-') {
      std::fprintf(stderr, "Unknown option '%s'\n", a.c_str());
      return csNotReadable;
    } else {
      files.push_back(a);
    }
  }
  if (files.empty()) {
    std::fprintf(stderr, "usage: quenvaro-cli check [--json] FILE...\n");
    return csNotReadable;
  }
  TCheckStatus worst = csClean;
  for (const std::string &file : files) {
    const TResult result = Inspect(file);
    if (json)
      PrintJson(file, result);
    else
      PrintText(file, result);
    if (!result.Readable) std::fprintf(stderr, "'%s' cannot be checked: %s\n", file.c_str(), result.Error.c_str());
    worst = std::max(worst, Status(result));
    std::fflush(stdout);
  }
  return worst;
}
