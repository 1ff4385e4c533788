// What a batch conversion tells its user: the state of each file, progress
// on the terminal (one line per running file, redrawn in place), plain lines
// when stderr is not a terminal, JSON events on stdout for scripts, and the
// summary at the end.
//
// Threads: main thread only; the batch hands every component event over to
// it before calling in here.
// Failure: output errors (a closed pipe) are ignored; the conversions go on.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "InputStamp.h"
#include "Json.h"
#include "SizeEstimate.h"
#include "SourceInfo.h"
#include "Strix.h"

// fsSkipped: a resumable batch found the file's complete output of an
// earlier run.
enum TFileStatus { fsWaiting, fsRunning, fsDone, fsStopped, fsFailed, fsSkipped };

// One input file of the batch and what became of it.
struct TBatchFile {
  using TClock = std::chrono::steady_clock;
  int Number = 0;  // position among the inputs, from 0
  std::string Input;
  std::string Output;  // empty until named
  TFileStatus Status = fsWaiting;
  std::string Message;  // why it failed
  TClock::time_point StartedAt{}, EndedAt{};
  // The last progress report.
  int FrameNumber = 0, FPS = 0, CurrentDuration = 0, TotalDuration = 0;
  int64_t CurrentSize = 0;
  int64_t OutputSize = -1;  // bytes on disk at the end; -1 when there is none
  // A done file whose input ended early, was cut by a read error or lost
  // data: it stays done (its output plays), and says so.
  std::vector<TRunWarning> Warnings;
  TInputStamp InputStamp;      // the input when it was opened (resumable reruns compare)
  bool ReplaceOutput = false;  // a rerun converts it again over its earlier output
  TVerification Verification;  // of the output, when the batch verifies (Checked)

  double ElapsedSeconds(TClock::time_point ANow) const;
};

// The warnings as a JSON array of {"code", "text"}.
TJson WarningsJson(const std::vector<TRunWarning> &AWarnings);

// The window's bar position: current * 100 / total, within 0..100; 0 when
// the total is unknown.
int ProgressPercent(int ACurrentDuration, int ATotalDuration);
// The window's size text without its padding: "1024 bytes", "1.00 Kbytes", "2.50 Mbytes".
std::string SizeText(int64_t ASize);
// Whole seconds as hh:mm:ss; hours go past 24.
std::string DurationText(double ASeconds);

class TBatchReport {
 public:
  // ATerminal: stderr is a terminal (redraw in place); AJson: events on stdout;
  // AResumable: the summary counts skipped files too.
  TBatchReport(bool ATerminal, bool AJson, bool AResumable = false);

  void FileQueued(const TBatchFile &AFile);
  void Progress(const TBatchFile &AFile);
  // AFile null: a line of no file.
  void Log(const TBatchFile *AFile, TLogLevel ALevel, const std::string &AMsg);
  void FileEnded(const TBatchFile &AFile);
  // Something the user must know of a file that still converts (a rewrap
  // that falls back to the preset): always shown, a "note" event in JSON.
  void Note(const TBatchFile &AFile, const std::string &AMsg);
  // A dry run's answer for a file: its output, how it would be converted
  // (AKind, or the preset APreset) and the expected size.
  void Estimate(const TBatchFile &AFile, TRewrapKind AKind, const std::string &APreset, const TSizeEstimate &AEstimate);
  // A dry run's total (AUnknown files without an estimate left out).
  void DryRunEnded(size_t AFiles, const TSizeEstimate &ATotal, int AUnknown, int AFailed, int ASkipped, int AExitCode);
  // Redraws the terminal's progress lines when they changed (at most a few
  // times a second).
  void Tick(const std::vector<TBatchFile> &AFiles);
  // The summary per file and the end-of-run event.
  void RunEnded(const std::vector<TBatchFile> &AFiles, int AExitCode);

 private:
  void Erase();  // removes the drawn progress lines
  void Draw(const std::vector<TBatchFile> &AFiles);
  void Json(const TJson &AEvent);
  std::string ProgressLine(const TBatchFile &AFile, size_t AWidth) const;

  bool FTerminal;
  bool FJson;
  bool FResumable;
  bool FDirty = false;
  int FDrawnLines = 0;
  TBatchFile::TClock::time_point FLastDraw{};
  std::vector<TBatchFile::TClock::time_point> FLastPlain;  // per file number
};
