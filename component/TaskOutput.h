// One output of a conversion, from the name the caller asks for to what is
// left under that name: the one place above the engine that decides whether
// the file the engine wrote becomes the user's output.
//
// Its life:
//   staged     Stage: a locked temporary in the final folder (see
//              AtomicOutput.h) that the engine writes instead of the name;
//   direct     Direct before the engine opens the name itself (pipes,
//              protocols, callers that ask for no publishing), Opened after:
//              noted are whether a file had the name before and which file
//              the engine opened;
//   rejected   Reject: its verification failed; it is no result;
//   settled    Settle, once, when the conversion has ended:
//     finished          staged: published (a cut MP4 is removed instead, and
//                       the conversion fails); direct: left as the engine
//                       left it;
//     stopped           staged: published when PublishStopped and the file
//                       holds something (a whole MP4 when one), removed
//                       otherwise; direct: left as the engine left it;
//     failed            staged: removed; direct: left as the engine left it;
//     rejected          staged: removed; direct: removed only when this
//                       conversion created it and the name still names the
//                       file it wrote, so a file the user had is never lost;
//     final name taken  staged: replaced when Replace, else the next free
//                       name when there is a rule for one, else not published
//                       (FinalTaken), removed, and the conversion fails;
//   dropped    destroyed unsettled (its task was deleted): a staged
//              temporary is removed; a direct file is the engine's.
//
// The engine decides what happens to the file it writes while its job lives
// (engine/OutputFate.h: created, withdrawn, unwritten, written, released);
// for a direct output that file is the user's name, for a staged one the
// temporary. Leftovers of killed runs are swept where outputs are named
// (TTempSweeper). Stamps that the command line keeps beside an output (see
// InputStamp.h) are records about it, not outputs.
//
// Threads: Stage, Direct and Opened on the caller's thread before the
// conversion runs; Reject and Settle on the thread that reports its end
// (Settle once); Published and FinalTaken are read after Settle.
// Failure: Stage and Settle return false with the reason; nothing throws.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "AtomicOutput.h"
#include "Options.h"

class TTaskOutput {
 public:
  enum TEnd { teFinished, teStopped, teFailed };
  static TEnd EndOf(bool AFailed, bool AFinished) { return AFailed ? teFailed : AFinished ? teFinished : teStopped; }

  // Staged: creates the locked temporary for AFinal. AInput: the input's
  // status as it was before the conversion read it, whose times KeepDates
  // copies (null: none known). ACheckMp4: the output is an MP4 (or kin),
  // which is published only when complete.
  bool Stage(const std::string &AFinal, const struct stat *AInput, const TPublishOptions &AOptions, bool ACheckMp4,
             std::string &AError);
  // Direct: the engine is about to open AName itself; Opened once it has.
  void Direct(const std::string &AName);
  void Opened();

  bool Staged() const { return FStaged; }
  // The file the engine writes: the temporary, or the final name.
  const std::string &EngineName() const { return Staged() ? FTemp.Name() : FFinal; }
  const std::string &FinalName() const { return FFinal; }

  void Reject() { FRejected = true; }
  // Publishes, keeps or removes the output as its life above says. False
  // with AError when an output that was to be published could not be.
  bool Settle(TEnd AEnd, std::string &AError);

  // AText with the temporary's name (which the engine speaks of) told as
  // the final name, which the user knows.
  std::string Named(std::string AText) const;

  std::string Published;    // the name it was published under; empty: none
  bool FinalTaken = false;  // not published: the final name holds another file

 private:
  void RemoveDirect() const;

  TAtomicOutput FTemp;
  TPublishOptions FOptions;
  std::string FFinal;
  bool FStaged = false;
  bool FCheckMp4 = false;
  bool FHaveTimes = false;
  struct timespec FTimes[2] {};
  // Direct: no file had the name before, and the one the engine opened.
  bool FCreated = false, FIdentified = false;
  uint64_t FDevice = 0, FInode = 0;
  std::atomic<bool> FRejected{false};
  std::atomic<bool> FSettled{false};
};

using TTaskOutputs = std::vector<std::unique_ptr<TTaskOutput>>;

// Settles every output of one conversion that ended as AEnd. When one that
// was to be published cannot be, AOnError hears why and the rest are settled
// as failed: a conversion's outputs are one result. False after an error.
bool SettleOutputs(const TTaskOutputs &AOutputs, TTaskOutput::TEnd AEnd,
                   const std::function<void(const std::string &)> &AOnError);

// Whether the muxer AFormat writes the MP4 family's boxes (IsCompleteMp4 applies).
bool IsMp4Family(const std::string &AFormat);
