// The pumped window thread used where no GUI event loop exists.
#include "WindowThread.h"

#include <algorithm>

void TPumpedWindowThread::Post(std::function<void()> AFn) { PostDelayed(0, std::move(AFn)); }

void TPumpedWindowThread::PostDelayed(int AMilliseconds, std::function<void()> AFn)
{
  {
    std::lock_guard<std::mutex> lock(FLock);
    FQueue.push_back(TEntry{TClock::now() + std::chrono::milliseconds(std::max(AMilliseconds, 0)), FSeq++,
                            std::move(AFn)});
  }
  FWake.notify_all();
}

int TPumpedWindowThread::ProcessEvents(int ATimeoutMs)
{
  const auto deadline = TClock::now() + std::chrono::milliseconds(std::max(ATimeoutMs, 0));
  int ran = 0;
  // Once something ran, only callbacks posted before that run in this call:
  // a callback that posts itself again cannot keep the call from returning.
  uint64_t seqLimit = UINT64_MAX;
  for (;;) {
    std::function<void()> fn;
    {
      std::unique_lock<std::mutex> lock(FLock);
      for (;;) {
        auto due = FQueue.end();
        for (auto it = FQueue.begin(); it != FQueue.end(); ++it) {
          if (it->Seq >= seqLimit) continue;
          if (due == FQueue.end() || it->Due < due->Due || (it->Due == due->Due && it->Seq < due->Seq)) due = it;
        }
        auto now = TClock::now();
        if (due != FQueue.end() && due->Due <= now) {
          if (ran == 0) seqLimit = FSeq;
          fn = std::move(due->Fn);
          FQueue.erase(due);
          break;
        }
        if (ran > 0 || now >= deadline) return ran;
        auto wakeAt = deadline;
        if (due != FQueue.end()) wakeAt = std::min(wakeAt, due->Due);
        FWake.wait_until(lock, wakeAt);
      }
    }
    ++ran;
    fn();  // outside the lock: a callback may post again
  }
}

bool TPumpedWindowThread::ProcessEventsUntil(const std::function<bool()> &ADone, int ATimeoutMs)
{
  const auto deadline = TClock::now() + std::chrono::milliseconds(std::max(ATimeoutMs, 0));
  while (!ADone()) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - TClock::now()).count();
    if (left <= 0) return ADone();
    ProcessEvents(static_cast<int>(std::min<long long>(left, 20)));
  }
  return true;
}

size_t TPumpedWindowThread::QueuedCount() const
{
  std::lock_guard<std::mutex> lock(FLock);
  return FQueue.size();
}
