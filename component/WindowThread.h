// The window thread as the component sees it: a place to run work later.
// The component arms its 100 ms start timer (tasks run one after another
// inline) and hands deferred clean-up to it. A GUI host implements it with its
// own timer on the GUI thread; TPumpedWindowThread serves hosts without one
// (command line, tests): callbacks run on whichever thread calls
// ProcessEvents, which must be the thread that owns the component.
//
// Threads: Post and PostDelayed may be called from any thread; the callbacks
// run on the window thread only. Failure: an exception thrown by a callback
// passes out of ProcessEvents; the queue stays consistent.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <vector>

class TWindowThread {
 public:
  virtual ~TWindowThread() = default;
  // Runs AFn on the window thread as soon as it is idle.
  virtual void Post(std::function<void()> AFn) = 0;
  // Runs AFn once on the window thread after AMilliseconds.
  virtual void PostDelayed(int AMilliseconds, std::function<void()> AFn) = 0;
};

class TPumpedWindowThread : public TWindowThread {
 public:
  void Post(std::function<void()> AFn) override;
  void PostDelayed(int AMilliseconds, std::function<void()> AFn) override;

  // Runs every callback that is due, in due-time order (posting order for
  // equal times), waiting up to ATimeoutMs for the first one to fall due.
  // Returns how many callbacks ran.
  int ProcessEvents(int ATimeoutMs);
  // Pumps until ADone() is true or ATimeoutMs has passed; returns ADone().
  bool ProcessEventsUntil(const std::function<bool()> &ADone, int ATimeoutMs);
  // Callbacks posted and not yet run.
  size_t QueuedCount() const;

 private:
  using TClock = std::chrono::steady_clock;
  struct TEntry {
    TClock::time_point Due;
    uint64_t Seq;
    std::function<void()> Fn;
  };
  mutable std::mutex FLock;
  std::condition_variable FWake;
  std::vector<TEntry> FQueue;
  uint64_t FSeq = 0;
};
