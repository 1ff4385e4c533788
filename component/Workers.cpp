// Running tasks: starting them on worker threads or inline through the
// window thread's timer, stopping them, and reporting their ends.
//
// Run counters (PendingCount, TerminatedCount, NextTaskIndex) and each
// task's RunState change under the event lock, except in StartTasks before
// any task of the run is running. A task is started only from rsWaiting, so a
// start timer that fires after StopTasks never starts an ended task.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <exception>
#include <thread>

#include "FFmpegThread.h"
#include "LogRouting.h"
#include "Strix.h"
#include "StrixInternal.h"
#include "SysFormat.h"

void TCustomStrix::StartTasks(int AConcurrency)
{
  if (GEventDepth == 0) ReapGraveyard();
  ClearLogLines();
  std::lock_guard<std::recursive_mutex> lock(FEventLock);
  FNextTaskIndex = 0;
  FTerminatedCount = 0;
  FConcurrency = AConcurrency;
  FPendingCount = FTasks.Count();
  FRunActive = FPendingCount > 0;
  int n = AConcurrency;
  while (FPendingCount > 0) {
    StartNextTask();
    if (--n <= 0) break;
  }
}

void TCustomStrix::StartNextTask()
{
  std::lock_guard<std::recursive_mutex> lock(FEventLock);
  if (FPendingCount <= 0 || FDestroying) return;
  --FPendingCount;
  int index = FNextTaskIndex++;
  if (FConcurrency > 0) {
    StartTask(index);
  } else {
    std::weak_ptr<TCustomStrix *> alive = FAlive;
    FWindowThread.PostDelayed(100, [alive, index] {
      if (auto self = alive.lock()) (*self)->TaskTimerFired(index);
    });
  }
}

void TCustomStrix::TaskTimerFired(int AIndex) { StartTask(AIndex); }

int32_t TCustomStrix::TaskThreadBudget() const
{
  if (const int32_t fixed = FThreadBudget.load(); fixed > 0) return fixed;
  // Tasks that run at once share the cores, so they do not fight for them.
  const int cores = std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
  const int running = std::max(1, std::min(FConcurrency.load() > 0 ? FConcurrency.load() : 1, FTasks.Count()));
  return std::max(1, cores / running);
}

void TCustomStrix::StartTask(int AIndex)
{
  std::unique_lock<std::recursive_mutex> lock(FEventLock);
  if (FDestroying) return;
  TFFmpeg *task = FTasks.ItemOrNull(AIndex);
  if (!task) return;  // deleted since; DeleteTask settled the counts
  if (task->RunState == TFFmpeg::rsStoppedBeforeStart) return;  // its terminate thread reports it
  if (task->RunState != TFFmpeg::rsWaiting || task->Running || task->Terminated) {
    // Ran in an earlier run: it cannot run again and will not report, so
    // count it as ended here, or the run would never end.
    task->Reported = true;
    ++FTerminatedCount;
    if (FPendingCount > 0)
      StartNextTask();
    else
      CheckRunEnd();
    return;
  }
  task->RunState = TFFmpeg::rsStarted;
  task->Reported = false;
  task->ProgressInterval = static_cast<int64_t>(FProgressInterval.load()) * 1000;
  task->SetThreadBudget(TaskThreadBudget());
  task->SetVerbose(static_cast<int>(FLogLevel.load()) - 1);

  if (FConcurrency > 0) {
    // Start with the lock held: StopTasks then always sees the engine either
    // waiting or running. A start that fails reports through DoTerminate on
    // this thread (the lock is re-entrant).
    TFFmpegThread *thread = task->Start(true, FThreadPriority.load());
    if (!thread) {
      task->ThreadId = 0;
      return;
    }
    thread->Resume();
    while (thread->ThreadId() == 0) std::this_thread::yield();  // set first thing on the new thread
    task->ThreadId = static_cast<uint32_t>(thread->ThreadId());
    return;
  }

  // Inline on the window thread: the whole conversion runs inside this call.
  task->ThreadId = static_cast<uint32_t>(gettid());
  task->RunningInline = true;
  lock.unlock();
  task->Start(false, FThreadPriority.load());
  task->RunningInline = false;
  task->ThreadId = 0;
  if (!GraveyardEmpty()) PostReap();  // it may have been deleted during its own run
}

bool TCustomStrix::AppendToRun(int AIndex)
{
  std::lock_guard<std::recursive_mutex> lock(FEventLock);
  TFFmpeg *task = FTasks.ItemOrNull(AIndex);
  if (FDestroying || !task || AIndex != FTasks.Count() - 1 || task->RunState != TFFmpeg::rsWaiting) return false;
  if (!FRunActive) {
    // An ended run starts again only when every task before this one has run
    // and been reported (the counts may predate tasks deleted since).
    for (TFFmpeg *t : FTasks.Snapshot())
      if (t->Index < AIndex && !t->Reported) return false;
    FNextTaskIndex = AIndex;
    FTerminatedCount = AIndex;
    FPendingCount = 0;
  }
  // The pending tasks are the ones from FNextTaskIndex on; this one joins them.
  if (FNextTaskIndex + FPendingCount != AIndex) return false;
  FRunActive = true;
  ++FPendingCount;
  int inFlight = DeletedTasksConverting();
  for (TFFmpeg *t : FTasks.Snapshot())
    if (t->Index < FNextTaskIndex && !t->Reported) ++inFlight;
  if (inFlight < (FConcurrency > 0 ? FConcurrency.load() : 1)) StartNextTask();
  return true;
}

void TCustomStrix::StopTasks()
{
  std::lock_guard<std::recursive_mutex> lock(FEventLock);
  FPendingCount = 0;
  for (TFFmpeg *task : FTasks.Snapshot()) {
    switch (task->RunState.load()) {
      case TFFmpeg::rsWaiting:
        task->RunState = TFFmpeg::rsStoppedBeforeStart;
        task->StopOrTerminate();  // never ran: reported from a short-lived idle thread
        break;
      case TFFmpeg::rsStarted:
        if (task->Running) task->Stop();
        break;
      case TFFmpeg::rsStoppedBeforeStart:
        break;
    }
  }
}

void TCustomStrix::CheckRunEnd()
{
  std::lock_guard<std::recursive_mutex> lock(FEventLock);
  if (!FRunActive || FPendingCount > 0 || FTerminatedCount < FTasks.Count()) return;
  if (DeletedTasksConverting() > 0) return;  // their disposal settles the run
  FRunActive = false;
  ClearLogLines();
  if (OnTerminate) OnTerminate(-1, true, false, std::string());
}

void TCustomStrix::ResumeRunAfterDeletion()
{
  std::lock_guard<std::recursive_mutex> lock(FEventLock);
  if (FDestroying || !FRunActive) return;
  // A deleted task that was converting leaves its place to the next one.
  int inFlight = DeletedTasksConverting();  // and those started (or armed) and not yet reported:
  for (TFFmpeg *task : FTasks.Snapshot())
    if (task->Index < FNextTaskIndex && !task->Reported) ++inFlight;
  const int places = FConcurrency > 0 ? FConcurrency.load() : 1;
  for (; FPendingCount > 0 && inFlight < places; ++inFlight) StartNextTask();
  CheckRunEnd();
}

void TCustomStrix::VerifyEndedTask(TFFmpeg &ATask)
{
  ATask.Verifications.clear();
  // Only what a run wrote and did not fail on; a stopped run is checked for
  // what it holds, being short on purpose.
  if (ATask.RunState != TFFmpeg::rsStarted || ATask.ExceptionRaised || ATask.Detached) return;
  const bool complete = ATask.Finished.load();
  for (const auto &owner : ATask.TaskOutputs) {
    const std::string &output = owner->EngineName();
    struct stat st {};
    if (!complete && (stat(output.c_str(), &st) != 0 || st.st_size == 0)) continue;  // stopped before writing
    TVerifyRequest request;
    request.Input = ATask.SourceName;
    request.Output = output;
    request.Complete = complete;
    request.VideoExpected = !ATask.OutputOptions.VideoDisable;
    request.AudioExpected = !ATask.OutputOptions.AudioDisable;
    request.VideoCopied = ATask.OutputOptions.VideoCodecName == "copy";
    request.StartMs = ATask.InputOptions.StartPosition;
    request.DurationMs = ATask.OutputOptions.RecordingDuration;
    request.Threads = ATask.ThreadBudget();
    // Given up when the task or the component goes away meanwhile.
    request.Cancelled = [this, &ATask] { return FDestroying.load() || ATask.Detached.load(); };
    ATask.Verifications.push_back(VerifyConversion(request));
    const TVerification &v = ATask.Verifications.back();
    if (!v.Checked) return;
    if (v.Passed) {
      DoLog(&ATask, 1, avbind::Format("Output verified: '%s' (%.1f s)", {output, v.Seconds}));
      continue;
    }
    // No result: a failed verification is a failed conversion, and its
    // output goes when it is settled.
    owner->Reject();
    if (!ATask.ExceptionRaised) {
      ATask.LastErrorMessage = v.Reason;
      ATask.Finished = false;
      ATask.ExceptionRaised = true;
      DoLog(&ATask, -1, v.Reason);
    }
  }
}

void TCustomStrix::DoTerminate(TFFmpeg *ATask)
{
  // Before anyone hears of the end, and outside the event lock: decoding the
  // output again and syncing a large file to disk take a while. A temporary
  // that fails its verification is not published.
  if (ATask && FVerifyOutput && !FDestroying && !ATask->Reported) VerifyEndedTask(*ATask);
  if (ATask) FinishOutputs(*ATask);
  if (FDestroying) return;
  TEventScope scope;
  std::lock_guard<std::recursive_mutex> lock(FEventLock);
  if (!ATask) {
    if (OnTerminate) OnTerminate(-1, true, false, std::string());
    ClearLogLines();
    return;
  }
  if (ATask->Detached || ATask->Reported.exchange(true)) return;
  ATask->ThreadId = 0;

  // A throwing handler must not skip the run's bookkeeping, and must not
  // unwind into the engine's thread, where nothing could catch it.
  std::string handlerError;
  try {
    if (OnTerminate)
      OnTerminate(ATask->Index.load(), ATask->Finished.load(), ATask->ExceptionRaised.load(), ATask->LastErrorMessage);
  } catch (const std::exception &e) {
    handlerError = e.what();
  } catch (...) {
    handlerError = "Unknown error";
  }
  ++FTerminatedCount;
  try {
    if (FPendingCount > 0)
      StartNextTask();
    else
      CheckRunEnd();
  } catch (const std::exception &e) {
    if (handlerError.empty()) handlerError = e.what();
  }
  if (!handlerError.empty()) {
    try {
      DoLog(ATask, 0, handlerError);
    } catch (...) {
    }
  }
}
