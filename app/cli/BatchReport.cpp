// The batch's progress, events and summary (see BatchReport.h).
#include "BatchReport.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "Findings.h"
#include "Json.h"
#include "Tools.h"

namespace {

using TClock = TBatchFile::TClock;

const char *StatusName(TFileStatus AStatus)
{
  switch (AStatus) {
    case fsWaiting: return "waiting";
    case fsRunning: return "running";
    case fsDone: return "done";
    case fsStopped: return "stopped";
    case fsFailed: return "failed";
    case fsSkipped: return "skipped";
  }
  return "";
}

const char *LevelName(TLogLevel ALevel)
{
  switch (ALevel) {
    case llQuiet: return "quiet";
    case llError: return "error";
    case llInfo: return "info";
    case llDebug: return "debug";
    case llAll: return "all";
  }
  return "";
}

std::string BaseName(const std::string &APath)
{
  const auto slash = APath.find_last_of('/');
  return slash == std::string::npos ? APath : APath.substr(slash + 1);
}

size_t TerminalWidth()
{
  winsize ws{};
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 20) return ws.ws_col;
  return 80;
}

// Cuts AText to at most AWidth bytes without splitting a UTF-8 sequence.
std::string Fit(const std::string &AText, size_t AWidth)
{
  if (AText.size() <= AWidth) return AText;
  size_t n = AWidth;
  while (n > 0 && (static_cast<unsigned char>(AText[n]) & 0xC0) == 0x80) --n;
  return AText.substr(0, n);
}

// ", verified" after a file whose output passed its verification.
const char *VerifiedText(const TBatchFile &AFile)
{
  return AFile.Status == fsDone && AFile.Verification.Checked && AFile.Verification.Passed ? ", verified" : "";
}

int64_t Millis(double ASeconds) { return static_cast<int64_t>(ASeconds * 1000.0 + 0.5); }

// Elapsed and projected total seconds of a running file, the window's way.
void Times(const TBatchFile &AFile, double &AElapsed, double &AEstimate)
{
  AElapsed = AFile.ElapsedSeconds(TClock::now());
  AEstimate = EstimatedTotalTime(AFile.CurrentDuration, AFile.TotalDuration, AElapsed);
}

}  // namespace

double TBatchFile::ElapsedSeconds(TClock::time_point ANow) const
{
  if (StartedAt == TClock::time_point{}) return 0.0;
  const auto end = EndedAt == TClock::time_point{} ? ANow : EndedAt;
  return std::chrono::duration<double>(end - StartedAt).count();
}

TJson WarningsJson(const std::vector<TRunWarning> &AWarnings)
{
  TJson list = TJson::array();
  for (const TRunWarning &w : AWarnings) list.push_back({{"code", w.Code}, {"text", w.Text}});
  return list;
}

int ProgressPercent(int ACurrentDuration, int ATotalDuration)
{
  if (ATotalDuration <= 0) return 0;
  // 64-bit product: durations of hours overflow 32 bits when multiplied by 100.
  return static_cast<int>(std::clamp<int64_t>(static_cast<int64_t>(ACurrentDuration) * 100 / ATotalDuration, 0, 100));
}

std::string SizeText(int64_t ASize)
{
  char buf[64];
  if (ASize > 1048576)
    std::snprintf(buf, sizeof buf, "%.2f Mbytes", static_cast<double>(ASize) / 1048576.0);
  else if (ASize > 1024)
    std::snprintf(buf, sizeof buf, "%.2f Kbytes", static_cast<double>(ASize) / 1024.0);
  else
    std::snprintf(buf, sizeof buf, "%lld bytes", static_cast<long long>(ASize));
  return buf;
}

std::string DurationText(double ASeconds)
{
  const long long s = ASeconds > 0 ? static_cast<long long>(ASeconds) : 0;
  char buf[32];
  std::snprintf(buf, sizeof buf, "%02lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
  return buf;
}

TBatchReport::TBatchReport(bool ATerminal, bool AJson, bool AResumable)
    : FTerminal(ATerminal && !AJson), FJson(AJson), FResumable(AResumable)
{
}

void TBatchReport::Json(const TJson &AEvent)
{
  const std::string line = JsonLine(AEvent);
  std::fputs(line.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);  // scripts read events as they happen
}

void TBatchReport::FileQueued(const TBatchFile &AFile)
{
  if (FJson) {
    Json({{"event", "queued"}, {"file", AFile.Number}, {"input", AFile.Input}, {"output", AFile.Output}});
  } else if (!FTerminal) {
    std::fprintf(stderr, "%s -> %s\n", AFile.Input.c_str(), AFile.Output.c_str());
  }
}

void TBatchReport::Progress(const TBatchFile &AFile)
{
  double elapsed, estimate;
  Times(AFile, elapsed, estimate);
  const int percent = ProgressPercent(AFile.CurrentDuration, AFile.TotalDuration);
  if (FJson) {
    Json({{"event", "progress"},
          {"file", AFile.Number},
          {"input", AFile.Input},
          {"frame", AFile.FrameNumber},
          {"fps", AFile.FPS},
          {"time_ms", AFile.CurrentDuration},
          {"total_ms", AFile.TotalDuration},
          {"percent", percent},
          {"size", AFile.CurrentSize},
          {"elapsed_ms", Millis(elapsed)},
          {"estimated_ms", Millis(estimate)}});
    return;
  }
  if (FTerminal) {
    FDirty = true;
    return;
  }
  // Plain lines: at most one per file per second, so logs stay readable.
  if (FLastPlain.size() <= static_cast<size_t>(AFile.Number)) FLastPlain.resize(AFile.Number + 1);
  auto &last = FLastPlain[AFile.Number];
  const auto now = TClock::now();
  if (last != TClock::time_point{} && now - last < std::chrono::seconds(1)) return;
  last = now;
  std::fprintf(stderr, "%s: %d%% %s %s / %s\n", AFile.Input.c_str(), percent, SizeText(AFile.CurrentSize).c_str(),
               DurationText(elapsed).c_str(), DurationText(estimate).c_str());
}

void TBatchReport::Log(const TBatchFile *AFile, TLogLevel ALevel, const std::string &AMsg)
{
  std::string msg = AMsg;
  while (!msg.empty() && (msg.back() == '\n' || msg.back() == '\r')) msg.pop_back();
  if (FJson) {
    Json({{"event", "log"},
          {"file", AFile ? TJson(AFile->Number) : TJson(nullptr)},
          {"level", LevelName(ALevel)},
          {"message", msg}});
    return;
  }
  // Errors only: a failure's own message (level quiet) comes with its summary.
  if (ALevel != llError || msg.empty()) return;
  Erase();
  if (AFile)
    std::fprintf(stderr, "%s: %s\n", AFile->Input.c_str(), msg.c_str());
  else
    std::fprintf(stderr, "%s\n", msg.c_str());
  FDirty = true;
}

void TBatchReport::FileEnded(const TBatchFile &AFile)
{
  if (FJson) {
    Json({{"event", "end"},
          {"file", AFile.Number},
          {"input", AFile.Input},
          {"output", AFile.Output.empty() ? TJson(nullptr) : TJson(AFile.Output)},
          {"status", StatusName(AFile.Status)},
          {"message", AFile.Message},
          {"warnings", WarningsJson(AFile.Warnings)},
          {"size", AFile.OutputSize < 0 ? TJson(nullptr) : TJson(AFile.OutputSize)},
          {"elapsed_ms", Millis(AFile.ElapsedSeconds(TClock::now()))},
          {"verified", AFile.Verification.Checked ? TJson(AFile.Verification.Passed) : TJson(nullptr)}});
    return;
  }
  if (FTerminal) {
    FDirty = true;
    return;
  }
  const std::string why = AFile.Message.empty() ? RunWarningsText(AFile.Warnings) : AFile.Message;
  std::fprintf(stderr, "%s: %s%s%s%s\n", AFile.Input.c_str(), StatusName(AFile.Status), VerifiedText(AFile),
               why.empty() ? "" : ": ", why.c_str());
}

void TBatchReport::Note(const TBatchFile &AFile, const std::string &AMsg)
{
  if (FJson) {
    Json({{"event", "note"}, {"file", AFile.Number}, {"input", AFile.Input}, {"message", AMsg}});
    return;
  }
  Erase();
  std::fprintf(stderr, "%s: %s\n", AFile.Input.c_str(), AMsg.c_str());
  FDirty = true;
}

void TBatchReport::Estimate(const TBatchFile &AFile, TRewrapKind AKind, const std::string &APreset,
                            const TSizeEstimate &AEstimate)
{
  const char *how = AKind == rkCopyAll ? "copy" : AKind == rkCopyVideo ? "copy video" : "preset";
  if (FJson) {
    Json({{"event", "estimate"},
          {"file", AFile.Number},
          {"input", AFile.Input},
          {"output", AFile.Output},
          {"conversion", how},
          {"preset", AKind == rkNone ? TJson(APreset) : TJson(nullptr)},
          {"expected_size", AEstimate.Bytes < 0 ? TJson(nullptr) : TJson(AEstimate.Bytes)},
          {"at_most", AEstimate.AtMost}});
    return;
  }
  const std::string text = AEstimate.Bytes < 0 ? "Expected size unknown" : ExpectedSizeText(AEstimate);
  const std::string way = AKind == rkNone ? (APreset.empty() ? "mpeg4 and AAC" : "preset: " + APreset) : RewrapName(AKind);
  std::fprintf(stderr, "%s -> %s: %s [%s]\n", AFile.Input.c_str(), AFile.Output.c_str(), text.c_str(), way.c_str());
}

void TBatchReport::DryRunEnded(size_t AFiles, const TSizeEstimate &ATotal, int AUnknown, int AFailed, int ASkipped,
                               int AExitCode)
{
  std::string line = std::to_string(AFiles) + (AFiles == 1 ? " file: " : " files: ");
  line += ATotal.Bytes > 0 ? ExpectedSizeText(ATotal) + " in all" : std::string("nothing to convert");
  if (AUnknown > 0) line += ", " + std::to_string(AUnknown) + " of unknown size";
  if (FResumable) line += ", " + std::to_string(ASkipped) + " skipped";
  line += ", " + std::to_string(AFailed) + " failed";
  std::fprintf(stderr, "%s\n", line.c_str());
  if (FJson)
    Json({{"event", "dry_run_end"},
          {"files", AFiles},
          {"expected_size", ATotal.Bytes},
          {"at_most", ATotal.AtMost},
          {"unknown", AUnknown},
          {"skipped", ASkipped},
          {"failed", AFailed},
          {"exit_code", AExitCode}});
}

std::string TBatchReport::ProgressLine(const TBatchFile &AFile, size_t AWidth) const
{
  double elapsed, estimate;
  Times(AFile, elapsed, estimate);
  const int percent = ProgressPercent(AFile.CurrentDuration, AFile.TotalDuration);
  constexpr int BarWidth = 20;
  std::string bar = "[";
  const int filled = percent * BarWidth / 100;
  bar.append(filled, '#');
  bar.append(BarWidth - filled, '-');
  bar += "]";
  char tail[128];
  std::snprintf(tail, sizeof tail, " %s %3d%%  %s  %s / %s", bar.c_str(), percent, SizeText(AFile.CurrentSize).c_str(),
                DurationText(elapsed).c_str(), DurationText(estimate).c_str());
  // A wrapped line would break the cursor arithmetic of the redraw.
  const size_t room = AWidth > std::strlen(tail) + 1 ? AWidth - std::strlen(tail) - 1 : 0;
  if (room < 8) return Fit(tail + 1, AWidth - 1);
  return Fit(BaseName(AFile.Input), room) + tail;
}

void TBatchReport::Erase()
{
  if (!FTerminal || FDrawnLines == 0) return;
  std::fprintf(stderr, "\x1b[%dA\r\x1b[J", FDrawnLines);
  FDrawnLines = 0;
}

void TBatchReport::Draw(const std::vector<TBatchFile> &AFiles)
{
  Erase();
  const size_t width = TerminalWidth();
  for (const auto &f : AFiles) {
    if (f.Status != fsRunning) continue;
    std::fprintf(stderr, "%s\n", ProgressLine(f, width).c_str());
    ++FDrawnLines;
  }
  std::fflush(stderr);
  FDirty = false;
  FLastDraw = TClock::now();
}

void TBatchReport::Tick(const std::vector<TBatchFile> &AFiles)
{
  if (!FTerminal) return;
  const auto now = TClock::now();
  // Once a second anyway, so the elapsed time moves between reports.
  if ((FDirty && now - FLastDraw >= std::chrono::milliseconds(200)) || now - FLastDraw >= std::chrono::seconds(1))
    Draw(AFiles);
}

void TBatchReport::RunEnded(const std::vector<TBatchFile> &AFiles, int AExitCode)
{
  Erase();
  int done = 0, stopped = 0, failed = 0, skipped = 0;
  for (const auto &f : AFiles) {
    const std::string time = DurationText(f.ElapsedSeconds(TClock::now()));
    switch (f.Status) {
      case fsDone: ++done; break;
      case fsFailed: ++failed; break;
      case fsSkipped: ++skipped; break;
      default: ++stopped; break;
    }
    std::string line = std::string(StatusName(f.Status == fsWaiting || f.Status == fsRunning ? fsStopped : f.Status));
    line.resize(8, ' ');
    line += f.Input;
    if (!f.Output.empty() && f.OutputSize >= 0)
      line += " -> " + f.Output + " (" + SizeText(f.OutputSize) + ", " + time + ")";
    line += VerifiedText(f);
    if (f.Status == fsFailed) line += ": " + f.Message;
    if (f.Status == fsDone && !f.Warnings.empty()) line += ": " + RunWarningsText(f.Warnings);
    std::fprintf(stderr, "%s\n", line.c_str());
  }
  std::fprintf(stderr, "%zu file%s: %d done, %d stopped, %d failed", AFiles.size(), AFiles.size() == 1 ? "" : "s",
               done, stopped, failed);
  if (FResumable) std::fprintf(stderr, ", %d skipped", skipped);
  std::fputc('\n', stderr);
  if (FJson) {
    TJson event = {{"event", "run_end"},
                   {"files", AFiles.size()},
                   {"done", done},
                   {"stopped", stopped},
                   {"failed", failed}};
    if (FResumable) event["skipped"] = skipped;
    event["exit_code"] = AExitCode;
    Json(event);
  }
}
