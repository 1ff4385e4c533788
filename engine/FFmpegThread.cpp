#include "FFmpegThread.h"

#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

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
      setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 19);
      break;
    case tpLower:
      setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), 10);
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
