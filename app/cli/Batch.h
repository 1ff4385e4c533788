// quenvaro-cli convert: the window's conversion workflow for many files at
// once, without a window. Each input becomes one task of a TStrix component,
// configured from an output preset exactly as the window does; the tasks run
// StartTasks(Jobs) at a time.
//
// Threads: Run is called on the main thread, which owns the component and
// pumps its window-thread queue; component events (worker threads) are
// posted to that queue and handled on the main thread only.
// Every output is written under a temporary name and renamed into place once
// it is complete (see AtomicOutput.h; the component publishes it, see
// TPublishOptions): a failed or killed conversion leaves nothing under a
// final name. Beside the input a name of the rule taken meanwhile gives the
// next one (said in a note); in an output folder it is kept unless Overwrite.
// A stopped file is published with what it holds.
// Resumable batches (a manifest or a shard) name every output by a fixed rule
// (NAME_(new).mp4 beside the input, or NAME.mp4 in the output folder); a
// complete output of an earlier run is skipped unless Overwrite, and a
// stopped one is removed, being unfinished. The
// whole list is read by every shard, so the naming and clash rules give the
// same answer whichever process applies them.
// A file whose input ended before the length known when it was opened, was
// cut by a read error or lost data is done with warnings (TBatchFile::
// Warnings, the record's "warnings"); its exit status is a done file's. A
// resumable rerun converts it again once its input has changed (see
// InputStamp.h).
// An input is opened only when one of the Jobs places frees, and an ended
// task leaves the component at once: what a waiting file costs is its name.
// A dry run names every output and estimates its size the same way, changing
// nothing on disk; its files fail (exit codes as below) only when a real run
// would refuse them before converting.
// Failure: a file that cannot be opened, named or converted fails alone; Run
// returns 0 when every file is done (or skipped); 1 when the libraries or the
// report fail, or any file failed in a batch that is not resumable; 2 when a
// resumable batch ran to its end but some files failed (rerunning will not
// mend them: see the report); and 128 + the signal number when AStopSignal
// was raised (130 for Ctrl-C): running files are stopped (their outputs get
// their trailer; a resumable batch removes them, being unfinished) and
// waiting ones are reported stopped.
#pragma once

#include <atomic>
#include <map>
#include <set>
#include <thread>
#include <string>
#include <vector>

#include "AtomicOutput.h"
#include "BatchReport.h"
#include "ConvertRecord.h"
#include "Manifest.h"
#include "RunRecord.h"
#include "Tools.h"
#include "WindowThread.h"

struct TBatchSettings {
  std::vector<std::string> Inputs;  // the whole list; Shard picks this process's part
  const TFormat *Preset = nullptr;  // null: the window's record without a preset
  // Copy what MP4 can carry as it is (--preset copy); files whose video
  // cannot be copied are converted with Preset, which the user is told.
  bool Rewrap = false;
  // Names each output and tells its expected size; converts nothing and
  // writes nothing (--dry-run).
  bool DryRun = false;
  int Jobs = 1;
  int Threads = 0;  // cores each conversion may use; 0: the cores shared among the jobs
  std::string OutputDir;  // empty: outputs beside their inputs
  bool Overwrite = false;
  bool KeepDates = false;  // outputs get their inputs' access and modification times
  // Each finished output is decoded and compared with its input before it
  // counts as done (--verify); one that fails is a failed file, removed.
  bool Verify = false;
  bool Json = false;
  bool Terminal = false;  // stderr is a terminal
  bool Resumable = false;
  TShard Shard;
  bool Sharded = false;    // a shard was asked for: say which at the start
  std::string ReportFile;  // the operator's record (see RunRecord.h); empty: none
  bool Summary = true;     // false: no summary at the end (a watch runs one batch per file)
};

// The fixed name of AInput's output in a resumable batch: NAME.mp4 in
// AOutputDir, or NAME_(new).mp4 beside the input when AOutputDir is empty.
std::string ResumableOutputName(const std::string &AInput, const std::string &AOutputDir);

class TBatch {
 public:
  // AStopSignal: set (to the signal number) by the signal handlers.
  TBatch(const TBatchSettings &ASettings, const std::atomic<int> &AStopSignal);
  int Run();

 private:
  // Configures the task of file FNext (opening its input); false when the
  // file ended instead (failed, or skipped as done before).
  bool ConfigureNext(TStrix &AStrix);
  // The input AName is (by device and inode), or empty.
  std::string InputNamed(const std::string &AName) const;
  // Fails F when its input is no regular file, which would hold up the rest.
  bool RefuseSpecialInput(TBatchFile &F);
  // Names F's output (not resumable); false with F failed.
  bool PrepareOutput(TBatchFile &F);
  // The same for a resumable batch, before the input is opened: F's fixed
  // name, or the end of F (skipped: done before; failed). APosition: F's
  // place in FFiles.
  bool PrepareAtomicOutput(TBatchFile &F, size_t APosition);
  // How F's output is published by the component (see TPublishOptions).
  TPublishOptions PublishOptionsFor(const TBatchFile &F) const;
  // F's output after its task ended: where it was published (empty: not),
  // and whether its final name held another file.
  void Published(TBatchFile &F, const std::string &APublished, bool AFinalTaken);
  std::string OutputFolderName(const std::string &AInput) const;
  void Fail(TBatchFile &F, const std::string &AMessage);
  // Reports F's end and records it.
  void Finish(TBatchFile &F);
  // Runs the files as tasks of one component run, each input opened only
  // when one of the Jobs places is free.
  void RunTasks(TStrix &AStrix);
  // The task at AIndex of the component (an event's index), or null.
  const TFFmpeg *TaskAt(int AIndex) const;
  // The output record of F, whose input is open as task AIndex: a rewrap
  // when one was asked for and its streams allow it, else the preset's;
  // false with AError when the preset's encoder is missing. AKind: the rewrap
  // taken, rkNone for the preset.
  bool OutputRecordFor(TStrix &AStrix, int AIndex, TBatchFile &F, TOutputOptions &ARecord, TSourceInfo &ASource,
                       TRewrapKind &AKind, std::string &AError);
  int DryRun(TStrix &AStrix);
  // A dry run's name for F's output, or F ended (skipped or failed).
  bool DryRunOutput(TBatchFile &F, size_t APosition);
  void TaskEnded(const TFFmpeg *ATask, bool AFinished, bool AException, const std::string &AMessage,
                 const std::vector<TRunWarning> &AWarnings);
  void MarkStarted(TBatchFile &F);
  bool StopRequested() const { return FStopSignal.load() != 0; }

  const TBatchSettings &FSettings;
  const std::atomic<int> &FStopSignal;
  TPumpedWindowThread FWindowThread;
  TBatchReport FReport;
  TRunRecord FRecord;
  std::vector<TBatchFile> FFiles;  // this process's files, Number: place in the whole list
  size_t FNext = 0;              // first file not yet given to the component
  // The component's tasks (files converting, or configured to) -> place in
  // FFiles; main thread only.
  std::map<const TFFmpeg *, int> FTaskFiles;
  TStrix *FStrix = nullptr;  // during Run
  bool FStopSent = false;
  std::set<std::string> FInputKeys;   // every input, as a resolved path
  // Every input that exists, by device and inode: a link or another name of
  // an input is that input.
  std::map<std::pair<uint64_t, uint64_t>, size_t> FInputIds;  // -> place in Inputs
  std::set<std::string> FOutputKeys;  // every output named so far
  // Resumable batches: per file of FFiles, its output's fixed name and, when
  // that name cannot be used, why.
  std::vector<std::string> FFinalNames, FNameErrors;
  // Removes what earlier runs left of the outputs' temporaries.
  TTempSweeper FSweeper;
  // Lines logged on the main thread while a file is being opened belong to
  // that file (the component knows no task for them yet).
  std::thread::id FMainThread = std::this_thread::get_id();
  std::atomic<int> FConfiguring{-1};  // place in FFiles
};
