// quenvaro-cli watch: converts each FLV that its writer finishes in a folder
// (and, when recursive, below it), for recording servers that write one FLV
// per broadcast. When a file is finished is TFolderWatch's answer: closed
// after writing and unchanged for the settle time, or moved in whole.
//
// Each settled file is converted as a resumable batch of its own (see
// Batch.h), so its output is named by the same fixed rule (NAME.mp4 in the
// output folder, in the same subfolder as the input; else NAME_(new).mp4
// beside it), published atomically, and skipped when an earlier run made it.
// A restart converts what is missing and nothing twice. A file that failed
// is not tried again until its size or modification time changes: its stamp
// is kept beside where its output would be (see InputStamp.h), so that holds
// across restarts too. Files converted before and files that failed before
// are passed over without a line; one line at the start counts them.
//
// What a settled file costs while it waits for one of the Jobs places is
// its path; Jobs worker threads each run one file's batch at a time, with
// its share of the cores.
//
// Threads: Run on the main thread, which owns the folder watch and the
// queue's producer side; workers take paths under FLock.
// Failure: Run returns 1 when the watch cannot start (the folder, the
// libraries, the preset, the report), when the report can no longer be
// written or the watched folder goes away; 0 after AStopSignal was raised
// (SIGTERM, SIGINT): running files are stopped as convert stops them
// (nothing unfinished is left under a final name; they are converted again
// on the next start) and the files still waiting are left for that start.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <set>
#include <string>

#include "Batch.h"

struct TWatchSettings {
  std::string Folder;
  bool Recursive = false;
  std::chrono::milliseconds Settle{5000};
  // What each file's conversion takes (preset, threads, output folder,
  // dates, verification, report); Jobs: files converted at once.
  TBatchSettings Batch;
};

class TWatch {
 public:
  TWatch(const TWatchSettings &ASettings, const std::atomic<int> &AStopSignal);
  int Run();

 private:
  enum TVerdict { wvConvert, wvDone, wvFailedBefore };
  // Whether AInput needs converting; not when its output is complete (and
  // its input unchanged since, if that output had warnings), nor when it
  // failed before and has not changed.
  TVerdict VerdictOf(const std::string &AInput) const;
  // The folder AInput's output goes to; empty: beside the input.
  std::string OutputFolderFor(const std::string &AInput) const;
  // Checks what would make every file fail before watching; false after a message.
  bool CanStart();
  void Enqueue(const std::string &AInput);
  void Work();
  // Converts AInput on a worker; the batch's exit code.
  int ConvertOne(const std::string &AInput);

  const TWatchSettings &FSettings;
  const std::atomic<int> &FStopSignal;
  // Raised for every file's batch: the stop signal, or SIGTERM when the
  // watch ends for a failure of its own.
  std::atomic<int> FStop{0};
  std::mutex FLock;
  std::condition_variable FWake;
  std::deque<std::string> FQueue;  // settled, waiting for a place
  std::set<std::string> FBusy;     // queued or converting
  bool FReportFailed = false;      // a batch could not write the report
};
