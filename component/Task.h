// TFFmpeg: one conversion task (an engine plus its position in the task list,
// the thread that runs it and the last records applied); TFFmpegList: the
// component's ordered, owning task list; TLogList: the per-thread store of
// unfinished library log lines.
//
// Threads: the task list is changed on the window thread; worker threads and
// the log callback look tasks up concurrently, so every list access takes the
// list's own lock (a leaf lock: nothing else is taken while it is held, and
// no task is destroyed under it). Index and ThreadId are atomics read by
// other threads. TLogList is guarded by the component registry's lock.
// Failure: Items and Delete raise std::out_of_range for a bad position.
#pragma once

#include <sys/stat.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "FFmpeg.h"
#include "Options.h"
#include "TaskOutput.h"
#include "Verify.h"

class TFFmpeg : public TCustomFFmpeg {
 public:
  TFFmpeg();
  // Stops and waits for the task's threads while this object is whole, so
  // the end report of a run never sees a half-destroyed task.
  ~TFFmpeg() override;

  void ApplyOptionText(const std::string &AText) { ::ApplyOptionText(*this, AText); }

  std::atomic<int32_t> Index{-1};     // position in the task list; -1 when in none
  std::atomic<uint32_t> ThreadId{0};  // thread running the conversion; 0 when none
  TInputOptions InputOptions;         // last input record applied
  TOutputOptions OutputOptions;       // last output record applied
  // The input's status before AddTask opened (and read) it; InputKnown false
  // when it could not be had (a pipe's is of no use either).
  struct stat InputStatus {};
  bool InputKnown = false;
  // Every output the task was given (AddTaskOutput), each deciding its own
  // fate (see TaskOutput.h); settled once, before the end is reported.
  TTaskOutputs TaskOutputs;
  std::atomic<bool> OutputsSettled{false};
  // The name the first published output went to; empty when none was.
  std::string PublishedName() const;
  // The first published output was not published: its final name holds another file.
  bool FinalNameTaken() const;
  // The input the task was given (AddTask), for the verification after its
  // run, which closes it.
  std::string SourceName;
  // One per output after a verified run (see TCustomStrix::VerifyOutput);
  // written on the run's thread before its end is reported.
  std::vector<TVerification> Verifications;

  // Where the task stands in a run; changed under the component's event lock.
  enum TRunState { rsWaiting, rsStarted, rsStoppedBeforeStart };
  std::atomic<TRunState> RunState{rsWaiting};
  std::atomic<bool> Reported{false};  // its end has been raised once
  std::atomic<bool> Detached{false};  // removed from its list; raises no more events
  std::atomic<bool> RunningInline{false};  // its run is on the window thread's stack right now

  // True when ATid is the thread that runs this task's conversion.
  bool RunsOnThread(uint32_t ATid) const;
};

class TFFmpegList {
 public:
  TFFmpegList() = default;
  ~TFFmpegList();
  TFFmpegList(const TFFmpegList &) = delete;
  TFFmpegList &operator=(const TFFmpegList &) = delete;

  TFFmpeg &Items(int AIndex) const;
  TFFmpeg *ItemOrNull(int AIndex) const;
  int Count() const;
  // Takes ownership, sets ATask's Index and returns it.
  int Add(std::unique_ptr<TFFmpeg> ATask);
  // Destroys the task at AIndex; later tasks move down one place.
  void Delete(int AIndex);
  void Clear();
  // Removes without destroying (Index -1, Detached), renumbering the rest.
  std::unique_ptr<TFFmpeg> Extract(int AIndex);
  std::vector<std::unique_ptr<TFFmpeg>> ExtractAll();
  // The first task whose conversion runs on ATid, or null.
  TFFmpeg *FindByThreadId(uint32_t ATid) const;
  // A snapshot of the tasks in list order (pointers stay valid while the
  // window thread does not delete tasks).
  std::vector<TFFmpeg *> Snapshot() const;

 private:
  mutable std::recursive_mutex FLock;
  std::vector<std::unique_ptr<TFFmpeg>> FItems;
};

struct TLogItem {
  uint32_t ThreadId = 0;  // 0: the head item is free
  std::string Pending;    // text since the thread's last line break
};

class TLogList {
 public:
  TLogItem &FindOrAdd(uint32_t AId);
  void Clear();
  size_t ItemCount() const;  // items in use, head included when taken

 private:
  TLogItem FHead;
  std::vector<std::unique_ptr<TLogItem>> FChain;  // newest first
};
