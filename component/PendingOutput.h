// A task's output on its way to its final name: the locked temporary the
// engine writes (see AtomicOutput.h), and what became of it when the task
// ended. The component settles it before it reports the task's end.
//
// Threads: Create on the window thread before the task runs; Settle once,
// on the thread that reports the task's end; the results are read after it
// (OnTerminate is raised after Settle). Destruction discards a temporary
// that was not published.
// Failure: Create and Settle return false with the reason.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <string>

#include "AtomicOutput.h"
#include "Options.h"

class TPendingOutput {
 public:
  enum TEnd { teFinished, teStopped, teFailed };

  // Creates the locked temporary for AFinal. AInput: the input's status as
  // it was before the conversion read it, whose times KeepDates copies (null:
  // none known). ACheckMp4: the output is an MP4 (or kin), which is
  // published only when complete.
  bool Create(const std::string &AFinal, const struct stat *AInput, const TPublishOptions &AOptions, bool ACheckMp4,
              std::string &AError);
  const std::string &TempName() const { return FTemp.Name(); }
  const std::string &FinalName() const { return FFinal; }

  // Publishes the temporary after a finished task, or after a stopped one
  // (when PublishStopped) whose file is complete; removes it otherwise.
  // False with AError when an output that was to be published could not be.
  bool Settle(TEnd AEnd, std::string &AError);

  // AText with the temporary's name (which the engine speaks of) told as
  // the final name, which the user knows.
  std::string Named(std::string AText) const;

  std::string Published;    // the name it was published under; empty: none
  bool FinalTaken = false;  // not published: the final name holds another file

 private:
  TAtomicOutput FTemp;
  TPublishOptions FOptions;
  std::string FFinal;
  bool FCheckMp4 = false;
  bool FHaveTimes = false;
  struct timespec FTimes[2] {};
  std::atomic<bool> FSettled{false};
};

// Whether the muxer AFormat writes the MP4 family's boxes (IsCompleteMp4 applies).
bool IsMp4Family(const std::string &AFormat);
