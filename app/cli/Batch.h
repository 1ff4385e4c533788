// quenvaro-cli convert: the window's conversion workflow for many files at
// once, without a window. Each input becomes one task of a TStrix component,
// configured from an output preset exactly as the window does; the tasks run
// StartTasks(Jobs) at a time.
//
// Threads: Run is called on the main thread, which owns the component and
// pumps its window-thread queue; component events (worker threads) are
// posted to that queue and handled on the main thread only.
// Failure: a file that cannot be opened, named or converted fails alone; Run
// returns 0 when every file is done, 1 when any is not, and 128 + the signal
// number when AStopSignal was raised (130 for Ctrl-C): running files are
// stopped (their outputs get their trailer) and waiting ones are reported
// stopped.
#pragma once

#include <atomic>
#include <set>
#include <thread>
#include <string>
#include <vector>

#include "BatchReport.h"
#include "Tools.h"
#include "WindowThread.h"

struct TBatchSettings {
  std::vector<std::string> Inputs;
  const TFormat *Preset = nullptr;  // null: the window's record without a preset
  int Jobs = 1;
  std::string OutputDir;  // empty: outputs beside their inputs
  bool Overwrite = false;
  bool Json = false;
  bool Terminal = false;  // stderr is a terminal
};

class TBatch {
 public:
  // AStopSignal: set (to the signal number) by the signal handlers.
  TBatch(const TBatchSettings &ASettings, const std::atomic<int> &AStopSignal);
  int Run();

 private:
  // Adds files from FNext on until AMaxTasks tasks are configured; false
  // when a stop was asked for meanwhile.
  void ConfigureWave(TStrix &AStrix, size_t AMaxTasks);
  // Names and reserves F's output; false with F failed.
  bool PrepareOutput(TBatchFile &F, bool &ACreated);
  void Fail(TBatchFile &F, const std::string &AMessage);
  void RunWave(TStrix &AStrix);
  void TaskEnded(int AIndex, bool AFinished, bool AException, const std::string &AMessage);
  void MarkNextStarted();
  bool StopRequested() const { return FStopSignal.load() != 0; }

  const TBatchSettings &FSettings;
  const std::atomic<int> &FStopSignal;
  TPumpedWindowThread FWindowThread;
  TBatchReport FReport;
  std::vector<TBatchFile> FFiles;
  size_t FNext = 0;              // first file not yet given to the component
  std::vector<int> FTaskFiles;   // task index of this wave -> file number
  size_t FNextToStart = 0;       // task index the component starts next
  std::atomic<int> FWave{0};     // which wave of tasks the component holds
  bool FStopSent = false;
  std::set<std::string> FInputKeys;   // every input, as a resolved path
  std::set<std::string> FOutputKeys;  // every output named so far
  // Lines logged on the main thread while a file is being opened belong to
  // that file (the component knows no task for them yet).
  std::thread::id FMainThread = std::this_thread::get_id();
  std::atomic<int> FConfiguring{-1};
};
