#include "FFmpegThread.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

// Raises the calling thread's nice value by ASteps (at most to 19).
void NiceDown(int ASteps)
{
  const auto tid = static_cast<id_t>(gettid());
  errno = 0;
  const int current = getpriority(PRIO_PROCESS, tid);
  if (current == -1 && errno != 0) return;
  setpriority(PRIO_PROCESS, tid, std::min(current + ASteps, 19));
}

}  // namespace

TFFmpegThread::TFFmpegThread(TCustomFFmpeg *AEngine, TConvertPriority APriority)
    : FEngine(AEngine), FPriority(APriority), FThread([this] { Execute(); })
{
}

TFFmpegThread::~TFFmpegThread()
{
  Resume();
  Join();
}

void TFFmpegThread::Resume()
{
  {
    std::lock_guard<std::mutex> lock(FGateLock);
    FResumed = true;
  }
  FGate.notify_all();
}

void TFFmpegThread::Join()
{
  if (FThread.joinable() && !IsCurrentThread()) FThread.join();
}

void TFFmpegThread::ApplyPriority(TConvertPriority APriority)
{
  switch (APriority) {
    case tpIdle: {
      sched_param param{};
      pthread_setschedparam(pthread_self(), SCHED_IDLE, &param);
      break;
    }
    case tpLowest:
      NiceDown(19);
      break;
    case tpLower:
      NiceDown(10);
      break;
    case tpNormal:
      break;
  }
}

void TFFmpegThread::Execute()
{
  {
    std::unique_lock<std::mutex> lock(FGateLock);
    FGate.wait(lock, [this] { return FResumed.load(); });
  }
  FTid = gettid();
  ApplyPriority(FPriority);
  FEngine->Run();
}
