// The worker thread of one engine run. Created suspended (waiting at a gate);
// Resume lets it run the engine's Run. The engine owns it and joins it before
// it goes, so the thread never outlives the state it uses.
// Priority: tpIdle -> SCHED_IDLE; tpLowest/tpLower -> this thread's nice value
// raised by 19/10 from the one it inherited (at most to 19), so "lower" is
// never higher than the starting thread's; tpNormal -> unchanged.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "FFmpeg.h"

class TFFmpegThread {
 public:
  TFFmpegThread(TCustomFFmpeg *AEngine, TConvertPriority APriority);
  ~TFFmpegThread();  // resumes a suspended thread (its run then sees the stop flag) and joins
  TFFmpegThread(const TFFmpegThread &) = delete;
  TFFmpegThread &operator=(const TFFmpegThread &) = delete;

  void Resume();
  bool Suspended() const { return !FResumed.load(); }
  void Join();
  bool IsCurrentThread() const { return std::this_thread::get_id() == FThread.get_id(); }
  // The kernel thread id once the thread has started, else 0.
  pid_t ThreadId() const { return FTid.load(); }
  TCustomFFmpeg *Engine() const { return FEngine; }

  static void ApplyPriority(TConvertPriority APriority);

 private:
  void Execute();

  TCustomFFmpeg *FEngine;
  TConvertPriority FPriority;
  std::mutex FGateLock;
  std::condition_variable FGate;
  std::atomic<bool> FResumed{false};
  std::atomic<pid_t> FTid{0};
  std::thread FThread;
};
