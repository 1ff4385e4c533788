// The conversion component: construction, properties, libraries, tasks and
// their records, and the event dispatchers. Running tasks: Workers.cpp.
#include "Strix.h"

#include <sys/stat.h>
#include <unistd.h>

#include <thread>

#include "AVProbe.h"
#include "AVFormatHlpr.h"
#include "AVUtilHlpr.h"
#include "LibLoader.h"
#include "LogRouting.h"
#include "StrixInternal.h"

namespace {

const char *const LibrariesNotLoaded = "The media libraries are not loaded: call LoadLibraries first";

// Marks the caller's thread as the one this component opens a file on, so
// that what the libraries say meanwhile is this component's alone.
struct TOpeningScope {
  explicit TOpeningScope(std::atomic<uint32_t> &AThread) : Thread(AThread) { Thread = static_cast<uint32_t>(gettid()); }
  ~TOpeningScope() { Thread = 0; }
  TOpeningScope(const TOpeningScope &) = delete;
  TOpeningScope &operator=(const TOpeningScope &) = delete;
  std::atomic<uint32_t> &Thread;
};

}  // namespace

thread_local int GEventDepth = 0;

TLogLevel LogLevelFromSystem(int ALevel)
{
  if (ALevel < 0) return llQuiet;
  if (ALevel >= 3) return llAll;
  return static_cast<TLogLevel>(ALevel + 1);
}

TCustomStrix::TCustomStrix(TWindowThread &AWindowThread)
    : FWindowThread(AWindowThread), FProbe(std::make_unique<TAVProbe>()), FAlive(std::make_shared<TCustomStrix *>(this))
{
  ComponentRegistry().Add(this);
}

TCustomStrix::~TCustomStrix() { Shutdown(); }

void TCustomStrix::Shutdown()
{
  if (FDestroying.exchange(true)) return;  // no more events, no more starts; once
  {
    std::lock_guard<std::recursive_mutex> lock(FEventLock);
    FPendingCount = 0;
    FRunActive = false;
  }
  ComponentRegistry().Remove(this);

  // Stop everything first so the conversions wind down side by side, then
  // wait for every thread of every task, however long it takes.
  std::vector<std::unique_ptr<TFFmpeg>> tasks = FTasks.ExtractAll();
  {
    std::lock_guard<std::recursive_mutex> lock(FGraveLock);
    for (auto &task : FGraveyard) tasks.push_back(std::move(task));
    FGraveyard.clear();
  }
  for (auto &task : tasks) task->Stop();
  tasks.clear();

  FAlive.reset();  // window-thread callbacks still queued become no-ops
  FProbe->CloseFile();
}

// ---- properties ----

void TCustomStrix::SetLogLevel(TLogLevel AValue)
{
  FLogLevel = AValue;
  // The libraries' level is the process's: it follows whichever component
  // set it last, also one that did not load them itself.
  if (AVLibsLoaded()) SetLibraryLogLevel(static_cast<int>(AValue) - 1);
}

void TCustomStrix::SetProgressInterval(int32_t AValue) { FProgressInterval = AValue <= 100 ? 100 : AValue; }

// ---- libraries and tasks ----

bool TCustomStrix::LoadLibraries(const std::string &AFolder, bool AVersionedNames)
{
  if (!LoadAVLibs(AFolder, AVersionedNames)) {
    FLastError = AVLibsLastError();
    return false;
  }
  AVUtilLib.av_log_set_callback(&LogCallback);
  FLibrariesLoaded = true;
  SetLibraryLogLevel(static_cast<int>(FLogLevel.load()) - 1);
  return true;
}

void TCustomStrix::BindTaskEvents(TFFmpeg &ATask)
{
  // A log line never throws into the engine: its own failure report is a
  // log line too, and would carry the exception out of the worker thread.
  ATask.OnLog = [this](TCustomFFmpeg *ASender, int ALevel, const std::string &AMsg) {
    try {
      DoLog(static_cast<TFFmpeg *>(ASender), ALevel, AMsg);
    } catch (...) {
    }
  };
  ATask.OnProgress = [this](TCustomFFmpeg *ASender, int AFrameNumber, int AFPS, int ACurrentDuration, float AQuality,
                            float ABitRate, int64_t ACurrentSize, int ATotalOutputDuration) {
    DoProgress(static_cast<TFFmpeg *>(ASender), AFrameNumber, AFPS, ACurrentDuration, AQuality, ABitRate,
               ACurrentSize, ATotalOutputDuration);
  };
  ATask.OnTerminate = [this](TCustomFFmpeg *ASender) { DoTerminate(static_cast<TFFmpeg *>(ASender)); };
}

int TCustomStrix::AddTask(const std::string &AInputFileName, const TInputOptions &AOptions)
{
  TInputOptions options = AOptions;
  return AddTask(AInputFileName, &options);
}

int TCustomStrix::AddTask(const std::string &AInputFileName, TInputOptions *AOptions)
{
  if (GEventDepth == 0) ReapGraveyard();
  if (!FLibrariesLoaded) {
    FLastError = LibrariesNotLoaded;
    return -1;
  }
  auto task = std::make_unique<TFFmpeg>();
  const TOpeningScope opening(FOpeningThread);
  try {
    task->Prepare();
    task->SetVerbose(static_cast<int>(FLogLevel.load()) - 1);
    if (AOptions) {
      if (AOptions->FileName.empty()) AOptions->FileName = AInputFileName;
      task->InputOptions = *AOptions;
      ApplyInputOptions(*task, *AOptions);
    } else {
      ResetInputOptions(task->InputOptions);
    }
    // Before the input is read, which may change its access time.
    task->InputKnown = stat(AInputFileName.c_str(), &task->InputStatus) == 0 && S_ISREG(task->InputStatus.st_mode);
    if (!task->OpenInputFile(AInputFileName)) {
      FLastError = task->LastOptionError;
      return -1;
    }
    task->SourceName = AInputFileName;
  } catch (const std::exception &e) {
    FLastError = e.what();
    return -1;
  }
  BindTaskEvents(*task);
  return FTasks.Add(std::move(task));
}

bool TCustomStrix::AddTaskOutput(int ATaskIndex, const std::string &AOutputFileName, const TOutputOptions &AOptions)
{
  TOutputOptions options = AOptions;
  return AddTaskOutput(ATaskIndex, AOutputFileName, &options);
}

bool TCustomStrix::AddTaskOutput(int ATaskIndex, const std::string &AOutputFileName, TOutputOptions *AOptions)
{
  // Checked before the task lookup: without libraries there can be no task,
  // and the caller should learn why rather than get an index error.
  if (!FLibrariesLoaded) {
    FLastError = LibrariesNotLoaded;
    return false;
  }
  return AddOutput(FTasks.Items(ATaskIndex), AOutputFileName, AOptions, nullptr);
}

bool TCustomStrix::AddOutput(TFFmpeg &ATask, const std::string &AOutputFileName, TOutputOptions *AOptions,
                             std::unique_ptr<TTaskOutput> AStaged)
{
  const TOpeningScope opening(FOpeningThread);
  try {
    if (AOptions) {
      if (AOptions->FileName.empty()) AOptions->FileName = AOutputFileName;
      ATask.OutputOptions = *AOptions;
      ApplyOutputOptions(ATask, *AOptions);
      if (AOptions->CustomHook) {
        ATask.OnCustomHook = [this](TCustomFFmpeg *ASender, THookBitmap *ABitmap, int AFrameNumber, int64_t APTS,
                                    bool &AUpdate, bool &AStopHook) {
          DoCustomHook(static_cast<TFFmpeg *>(ASender), ABitmap, AFrameNumber, APTS, AUpdate, AStopHook);
        };
      } else if (AOptions->BeforeHook) {
        ATask.OnBeforeHook = [this](TCustomFFmpeg *ASender, THookAction &AHookAction, int64_t APTS) {
          DoBeforeHook(static_cast<TFFmpeg *>(ASender), AHookAction, APTS);
        };
      }
    } else {
      ResetOutputOptions(ATask.OutputOptions);
    }
    // A direct output: what was under its name before the engine opens it.
    std::unique_ptr<TTaskOutput> output = AStaged ? std::move(AStaged) : std::make_unique<TTaskOutput>();
    if (!output->Staged()) output->Direct(AOutputFileName);
    if (!ATask.OpenOutputFile(AOutputFileName)) {
      FLastError = ATask.LastOptionError;
      return false;  // a temporary goes with its owner
    }
    if (!output->Staged()) output->Opened();
    ATask.TaskOutputs.push_back(std::move(output));
    return true;
  } catch (const std::exception &e) {
    FLastError = e.what();
    return false;
  }
}

bool TCustomStrix::AddTaskOutput(int ATaskIndex, const std::string &AOutputFileName, const TOutputOptions &AOptions,
                                 const TPublishOptions &APublish)
{
  if (!FLibrariesLoaded) {
    FLastError = LibrariesNotLoaded;
    return false;
  }
  TFFmpeg &task = FTasks.Items(ATaskIndex);
  // The engine sees only the temporary, whose name says nothing of the
  // format and is never the input.
  if (const std::string input = task.InputSameAs(AOutputFileName); !input.empty()) {
    FLastError = "Output file '" + AOutputFileName + "' is the same as input '" + input + "'";
    return false;
  }
  TOutputOptions options = AOptions;
  if (options.FileName.empty()) options.FileName = AOutputFileName;
  if (options.FileFormat.empty()) {
    const AVOutputFormat *format = AVFormatLib.av_guess_format(nullptr, AOutputFileName.c_str(), nullptr);
    if (!format) {
      FLastError = "Unable to find a suitable output format for '" + AOutputFileName + "'";
      return false;
    }
    options.FileFormat = format->name;
  }
  auto output = std::make_unique<TTaskOutput>();
  if (!output->Stage(AOutputFileName, task.InputKnown ? &task.InputStatus : nullptr, APublish,
                     IsMp4Family(options.FileFormat), FLastError))
    return false;
  const std::string temp = output->EngineName();
  return AddOutput(task, temp, &options, std::move(output));
}

void TCustomStrix::FinishOutputs(TFFmpeg &ATask)
{
  if (ATask.OutputsSettled.exchange(true)) return;
  // The engine spoke of the temporaries; the user knows the final names.
  for (auto &output : ATask.TaskOutputs) ATask.LastErrorMessage = output->Named(ATask.LastErrorMessage);
  // A task the caller deleted is given up; one ended by our destruction was stopped.
  const bool givenUp = ATask.Detached && !FDestroying;
  SettleOutputs(ATask.TaskOutputs, TTaskOutput::EndOf(givenUp || ATask.ExceptionRaised, ATask.Finished),
                [&](const std::string &AError) {
                  // Told as the conversion's failure.
                  ATask.LastErrorMessage = AError;
                  ATask.Finished = false;
                  ATask.ExceptionRaised = true;
                  if (FDestroying) return;
                  try {
                    DoLog(&ATask, -1, AError);
                  } catch (...) {
                  }
                });
}

void TCustomStrix::DeleteTask(int AIndex)
{
  if (GEventDepth == 0) ReapGraveyard();
  std::vector<std::unique_ptr<TFFmpeg>> gone;
  {
    std::lock_guard<std::recursive_mutex> lock(FEventLock);
    std::unique_ptr<TFFmpeg> task = FTasks.Extract(AIndex);  // out_of_range passes out
    if (FRunActive) {
      // Keep the run's counts consistent with the shorter list.
      if (AIndex < FNextTaskIndex) --FNextTaskIndex;
      if (task->Reported) --FTerminatedCount;
      // A task added since the run began is not counted until AppendToRun.
      if (task->RunState == TFFmpeg::rsWaiting && FPendingCount > 0 && AIndex < FNextTaskIndex + FPendingCount)
        --FPendingCount;
    }
    gone.push_back(std::move(task));
  }
  // The run goes on (or ends) once the task has stopped: see ReapGraveyard.
  DisposeTasks(std::move(gone));
}

void TCustomStrix::DeleteAllTasks()
{
  if (GEventDepth == 0) ReapGraveyard();
  std::vector<std::unique_ptr<TFFmpeg>> gone;
  {
    std::lock_guard<std::recursive_mutex> lock(FEventLock);
    gone = FTasks.ExtractAll();
    FRunActive = false;
    FPendingCount = 0;
    FTerminatedCount = 0;
    FConcurrency = 0;
  }
  FLastError.clear();
  DisposeTasks(std::move(gone));
}

void TCustomStrix::DisposeTasks(std::vector<std::unique_ptr<TFFmpeg>> ATasks)
{
  if (ATasks.empty()) return;
  for (auto &task : ATasks) task->Stop();
  // Listed in the graveyard until destroyed, so that no run end is reported
  // while one of them still converts.
  std::vector<TFFmpeg *> tasks;
  {
    std::lock_guard<std::recursive_mutex> lock(FGraveLock);
    for (auto &task : ATasks) {
      tasks.push_back(task.get());
      FGraveyard.push_back(std::move(task));
    }
  }
  if (GEventDepth == 0) {
    for (TFFmpeg *task : tasks) task->WaitForThread();  // none of their threads waits for us
    ReapGraveyard();
    return;
  }
  // Inside an event: the caller may be one of these tasks' own threads, or
  // hold the event lock that their threads wait for. Destroy them later on
  // the window thread.
  PostReap();
}

void TCustomStrix::PostReap()
{
  std::weak_ptr<TCustomStrix *> alive = FAlive;
  FWindowThread.Post([alive] {
    if (auto self = alive.lock()) (*self)->ReapGraveyard();
  });
}

void TCustomStrix::ReapGraveyard()
{
  std::vector<std::unique_ptr<TFFmpeg>> dead;
  {
    std::lock_guard<std::recursive_mutex> lock(FGraveLock);
    // A task whose inline run is still on this thread's stack waits for the
    // reap that follows its run.
    for (auto it = FGraveyard.begin(); it != FGraveyard.end();) {
      if ((*it)->RunningInline) {
        ++it;
      } else {
        dead.push_back(std::move(*it));
        it = FGraveyard.erase(it);
      }
    }
  }
  if (dead.empty()) return;
  dead.clear();
  ResumeRunAfterDeletion();
}

int TCustomStrix::DeletedTasksConverting()
{
  std::lock_guard<std::recursive_mutex> lock(FGraveLock);
  int count = 0;
  for (const auto &task : FGraveyard)
    if (task->Running) ++count;
  return count;
}

bool TCustomStrix::GraveyardEmpty()
{
  std::lock_guard<std::recursive_mutex> lock(FGraveLock);
  return FGraveyard.empty();
}

void TCustomStrix::UnassignEvents()
{
  std::lock_guard<std::recursive_mutex> lock(FEventLock);
  std::lock_guard<std::recursive_mutex> hookLock(FHookLock);
  OnBeforeHook = nullptr;
  OnCustomHook = nullptr;
  OnLog = nullptr;
  OnProgress = nullptr;
  OnTerminate = nullptr;
}

// ---- dispatchers ----

// A task deleted while it runs raises nothing more: it has no index left.
void TCustomStrix::DoBeforeHook(TFFmpeg *ATask, THookAction &AHookAction, int64_t APTS)
{
  if (FDestroying || (ATask && ATask->Detached)) return;
  TEventScope scope;
  TBeforeHookEvent handler;
  {
    std::lock_guard<std::recursive_mutex> lock(FHookLock);
    handler = OnBeforeHook;
  }
  if (handler) handler(ATask ? ATask->Index.load() : -1, APTS, AHookAction);
}

void TCustomStrix::DoCustomHook(TFFmpeg *ATask, THookBitmap *ABitmap, int AFrameNumber, int64_t APTS, bool &AUpdate,
                                bool &AStopHook)
{
  if (FDestroying || (ATask && ATask->Detached)) return;
  TEventScope scope;
  TCustomHookEvent handler;
  {
    std::lock_guard<std::recursive_mutex> lock(FHookLock);
    handler = OnCustomHook;
  }
  if (handler) handler(ATask ? ATask->Index.load() : -1, ABitmap, AFrameNumber, APTS, AUpdate, AStopHook);
}

void TCustomStrix::DoLog(TFFmpeg *ATask, int ALevel, const std::string &AMsg)
{
  if (FDestroying || (ATask && ATask->Detached)) return;
  TEventScope scope;
  std::lock_guard<std::recursive_mutex> lock(FEventLock);
  if (!OnLog) return;
  // Dropped: it cannot be told through the handler that raised it, and it
  // must not reach the library or the engine that logged.
  try {
    // The outputs are added before the task runs, never while it logs.
    std::string text = AMsg;
    if (ATask)
      for (const auto &output : ATask->TaskOutputs) text = output->Named(text);
    OnLog(ATask ? ATask->Index.load() : -1, LogLevelFromSystem(ALevel), text);
  } catch (...) {
  }
}

void TCustomStrix::DoProgress(TFFmpeg *ATask, int AFrameNumber, int AFPS, int ACurrentDuration, float AQuality,
                              float ABitRate, int64_t ACurrentSize, int ATotalOutputDuration)
{
  if (FDestroying || (ATask && ATask->Detached)) return;
  TEventScope scope;
  std::lock_guard<std::recursive_mutex> lock(FEventLock);
  if (OnProgress)
    OnProgress(ATask ? ATask->Index.load() : -1, AFrameNumber, AFPS, ACurrentDuration, AQuality, ABitRate,
               ACurrentSize, ATotalOutputDuration);
}
