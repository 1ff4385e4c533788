// The conversion component: the one object through which an application
// converts media files. It loads the media libraries, holds a list of
// conversion tasks (one engine each), applies the caller's option records,
// runs the tasks on worker threads (or one after another on the window
// thread) and reports log lines, progress, frame hooks and the end of each
// task and of each run through its events. It owns a media probe.
//
// Threads: every operation is called from the window thread, the one that
// pumps the TWindowThread given at construction. Events are raised on the
// thread that produces them (a worker, a short-lived terminate thread or the
// window thread for inline runs) and are not marshalled. OnLog, OnProgress
// and OnTerminate of one component are serialised by its event lock and so
// never run at the same time; the hook events run without it.
// Assign the events while no task runs, or use UnassignEvents.
// A handler may call DeleteTask/DeleteAllTasks (typically from the -1
// report): the tasks leave the list at once and are destroyed later on the
// window thread, after their threads have ended. A task deleted while it
// runs raises no further event; a run goes on with the next waiting task,
// or ends (-1), only once the deleted task has stopped.
// Lock order: event lock, then the component registry's lock, then a task
// list's lock; the log callback raises OnLog (through DoLog) after releasing
// the registry.
// Destruction stops every conversion and waits for every thread of every
// task, however long that takes.
// Failure: LoadLibraries, AddTask and AddTaskOutput return false / -1 and
// leave the text in LastError(); a failed conversion reports AException and
// AMessage in OnTerminate and a log line at llQuiet.
// Exceptions thrown by handlers never end a worker thread:
// - OnLog: dropped (it cannot be told through the handler that threw it, and
//   must not reach the library or the engine that logged);
// - OnTerminate: the run's bookkeeping still happens, then the message is
//   raised as an llError line of that task and the exception is dropped;
// - OnProgress: passes into the conversion, which ends with it as its failure
//   (AException true, AMessage its message);
// - OnBeforeHook, OnCustomHook: caught by the engine and logged as "Error
//   occurs OnBeforeHook: ..." or "Error occurs OnCustomHook: ..." (the first
//   stops hooking for the job, the second skips that picture's update).
#pragma once

#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "FFmpeg.h"
#include "Options.h"
#include "Task.h"
#include "WindowThread.h"

class TAVProbe;

enum TLogLevel { llQuiet, llError, llInfo, llDebug, llAll };

// The level of an engine or library message (-1 quiet ... 3 everything, above
// clipped) as a TLogLevel.
TLogLevel LogLevelFromSystem(int ALevel);

using TBeforeHookEvent = std::function<void(int AIndex, int64_t APTS, THookAction &AHookAction)>;
using TCustomHookEvent = std::function<void(int AIndex, THookBitmap *ABitmap, int AFrameNumber, int64_t APTS,
                                            bool &AUpdate, bool &AStopHook)>;
using TLogEvent = std::function<void(int AIndex, TLogLevel ALogLevel, const std::string &AMsg)>;
// ACurrentDuration and ATotalOutputDuration in ms, ACurrentSize in bytes.
using TProgressEvent = std::function<void(int AIndex, int AFrameNumber, int AFPS, int ACurrentDuration, float AQuality,
                                          float ABitRate, int64_t ACurrentSize, int ATotalOutputDuration)>;
// AIndex -1: the whole run has ended (AFinished true, AException false, AMessage empty).
// A finished task that has more to say than "done" (its input ended early, a
// read error, data lost) leaves it in Tasks(AIndex).RunWarnings: read it in
// the handler, on the thread that raises it.
using TTerminateEvent = std::function<void(int AIndex, bool AFinished, bool AException, const std::string &AMessage)>;

class TCustomStrix {
 public:
  // AWindowThread must outlive the component.
  explicit TCustomStrix(TWindowThread &AWindowThread);
  virtual ~TCustomStrix();
  TCustomStrix(const TCustomStrix &) = delete;
  TCustomStrix &operator=(const TCustomStrix &) = delete;

  // ---- properties ----
  std::string About;  // free text, no effect

  TLogLevel LogLevel() const { return FLogLevel.load(); }
  // Also sets the libraries' process-wide level when they are loaded.
  void SetLogLevel(TLogLevel AValue);
  int32_t ProgressInterval() const { return FProgressInterval.load(); }  // ms
  void SetProgressInterval(int32_t AValue);                               // below 100 stored as 100
  TConvertPriority ThreadPriority() const { return FThreadPriority.load(); }
  void SetThreadPriority(TConvertPriority AValue) { FThreadPriority = AValue; }
  // Cores each running task may keep busy; 0 (the default) shares the
  // machine's cores among the tasks that run at once (at least one each).
  int32_t ThreadBudget() const { return FThreadBudget.load(); }
  void SetThreadBudget(int32_t AValue) { FThreadBudget = AValue < 0 ? 0 : AValue; }
  // Each task that ends without an error has its outputs decoded and
  // compared with its input (see Verify.h) before its end is reported; a
  // failed verification reports the task failed (AException, the reason as
  // AMessage) and removes the output, when the task created it (a file that
  // had its name before is kept). The figures: TFFmpeg::Verifications.
  bool VerifyOutput() const { return FVerifyOutput.load(); }
  void SetVerifyOutput(bool AValue) { FVerifyOutput = AValue; }
  static std::string Version() { return "2.0b"; }
  std::string LastError() const { return FLastError; }
  TAVProbe &Probe() { return *FProbe; }

  // Run state (see StartTasks).
  int32_t NextTaskIndex() const { return FNextTaskIndex.load(); }
  int32_t Concurrency() const { return FConcurrency.load(); }
  int32_t PendingCount() const { return FPendingCount.load(); }
  int32_t TerminatedCount() const { return FTerminatedCount.load(); }
  // True from StartTasks (with at least one task) until the -1 report.
  bool RunActive() const { return FRunActive.load(); }

  // ---- tasks ----
  int TaskCount() const { return FTasks.Count(); }
  // The task at AIndex; std::out_of_range outside the list.
  TFFmpeg &Tasks(int AIndex) { return FTasks.Items(AIndex); }

  // ---- operations (window thread) ----
  // Loads the libraries from AFolder (AVersionedNames: "libavcodec.so.59"),
  // installs the log callback and applies LogLevel.
  bool LoadLibraries(const std::string &AFolder, bool AVersionedNames);
  // Creates a task for AInputFileName; returns its index, or -1 with LastError.
  // AOptions, when given, is applied (and its FileName filled when empty).
  int AddTask(const std::string &AInputFileName, TInputOptions *AOptions = nullptr);
  int AddTask(const std::string &AInputFileName, const TInputOptions &AOptions);
  // Adds an output file to task ATaskIndex (std::out_of_range when there is
  // none); false with LastError on failure, the task staying in the list.
  // The engine writes that name itself; what is left of it at the end: see
  // TaskOutput.h (a direct output).
  bool AddTaskOutput(int ATaskIndex, const std::string &AOutputFileName, TOutputOptions *AOptions = nullptr);
  bool AddTaskOutput(int ATaskIndex, const std::string &AOutputFileName, const TOutputOptions &AOptions);
  // The same for an output that is published (see TPublishOptions): the
  // engine writes a locked temporary in AOutputFileName's folder, which is
  // renamed to AOutputFileName (or the next free name) when the task ends,
  // before OnTerminate reports it; TFFmpeg::PublishedName then tells where it
  // went. An output that cannot be published turns the task's end into a
  // failure with the reason. The muxer is the one AOutputFileName implies
  // unless the record names one.
  bool AddTaskOutput(int ATaskIndex, const std::string &AOutputFileName, const TOutputOptions &AOptions,
                     const TPublishOptions &APublish);
  // AConcurrency > 0: up to that many tasks at once on worker threads;
  // <= 0: one after another on the window thread, each started by a 100 ms
  // timer. No tasks: nothing happens, no event.
  void StartTasks(int AConcurrency);
  // Runs task AIndex, the last of the list, added (and given its outputs)
  // after StartTasks, as part of that run: it starts at once when fewer than
  // Concurrency tasks convert, otherwise after the tasks waiting before it.
  // When that run has ended meanwhile (every earlier task started and
  // reported), the task begins a new run of the same concurrency. So a caller
  // can open each input only when a place frees. False, and nothing happens,
  // when AIndex is not the last task or not waiting, or no run of these tasks
  // can take it (StartTasks starts it then).
  bool AppendToRun(int AIndex);
  // Stops running tasks and reports the waiting ones as ended (AFinished false).
  void StopTasks();
  void DeleteTask(int AIndex);
  // Also empties LastError and sets Concurrency to 0.
  void DeleteAllTasks();
  // Clears all five events under the locks that guard their use.
  void UnassignEvents();

  // ---- events ----
  TBeforeHookEvent OnBeforeHook;
  TCustomHookEvent OnCustomHook;
  TLogEvent OnLog;
  TProgressEvent OnProgress;
  TTerminateEvent OnTerminate;

 protected:
  // Dispatchers; ATask null means no task (AIndex -1). DoLog receives the
  // engine's messages and the libraries' lines alike. A detached (deleted)
  // task raises nothing.
  virtual void DoBeforeHook(TFFmpeg *ATask, THookAction &AHookAction, int64_t APTS);
  virtual void DoCustomHook(TFFmpeg *ATask, THookBitmap *ABitmap, int AFrameNumber, int64_t APTS, bool &AUpdate,
                            bool &AStopHook);
  // ALevel: -1 quiet ... 3 everything.
  virtual void DoLog(TFFmpeg *ATask, int ALevel, const std::string &AMsg);
  virtual void DoProgress(TFFmpeg *ATask, int AFrameNumber, int AFPS, int ACurrentDuration, float AQuality,
                          float ABitRate, int64_t ACurrentSize, int ATotalOutputDuration);
  virtual void DoTerminate(TFFmpeg *ATask);

  // What destruction does: stops every conversion, waits for every thread and
  // leaves the registry. Runs once. Workers call the virtual dispatchers above
  // until their threads end, so a class that derives from this one calls
  // Shutdown first thing in its own destructor: by the time the base
  // destructor runs, the object's dynamic type has already changed under them.
  void Shutdown();
  // What the end of construction does: from now on the log callback may
  // call the dispatchers of the object's final class (before, a line goes to
  // TCustomStrix::DoLog: the object's class is still being set up while other
  // threads log). TStrix calls it last thing in its constructor.
  void Publish() { FPublished.store(true, std::memory_order_release); }

 private:
  friend class TComponentRegistry;
  friend void LogCallback(void *AContext, int ALevel, const char *AFormat, va_list AArguments);

  void StartNextTask();
  void StartTask(int AIndex);
  void TaskTimerFired(int AIndex);
  // The thread budget of a task started now (see ThreadBudget).
  int32_t TaskThreadBudget() const;
  void BindTaskEvents(TFFmpeg &ATask);
  // Tasks leave the list at once; destroyed now, or later on the window
  // thread when called from inside an event on any thread.
  void DisposeTasks(std::vector<std::unique_ptr<TFFmpeg>> ATasks);
  void ReapGraveyard();
  void PostReap();
  bool GraveyardEmpty();
  // Deleted tasks that have not yet ended their conversion.
  int DeletedTasksConverting();
  // After deleted tasks are gone: starts the next waiting tasks in their
  // places, or reports the end of the run.
  void ResumeRunAfterDeletion();
  void CheckRunEnd();  // under FEventLock
  // Adds output AOutputFileName to ATask: the engine opens it; AStaged, when
  // given, is the owner of the temporary that name is, else the output is
  // direct (see TaskOutput.h).
  bool AddOutput(TFFmpeg &ATask, const std::string &AOutputFileName, TOutputOptions *AOptions,
                 std::unique_ptr<TTaskOutput> AStaged);
  // The one point where a task has ended and its outputs are settled: each
  // decides its fate (see TaskOutput.h), and the task's end turns into a
  // failure when a finished output cannot be published. Runs once per task, outside the event lock, on the thread
  // that reports the end (also while the component is destroyed: a stop
  // still publishes what it wrote).
  void FinishOutputs(TFFmpeg &ATask);
  // Verifies the outputs of ATask, which has just ended, on the thread that
  // ran it (see VerifyOutput); outside the event lock, as it takes a while.
  void VerifyEndedTask(TFFmpeg &ATask);

  TWindowThread &FWindowThread;
  std::unique_ptr<TAVProbe> FProbe;
  TFFmpegList FTasks;
  std::string FLastError;
  std::atomic<TLogLevel> FLogLevel{llInfo};
  std::atomic<int32_t> FProgressInterval{500};
  std::atomic<TConvertPriority> FThreadPriority{tpNormal};
  std::atomic<int32_t> FThreadBudget{0};
  std::atomic<bool> FVerifyOutput{false};
  std::atomic<int32_t> FNextTaskIndex{-1};
  std::atomic<int32_t> FConcurrency{0};
  std::atomic<int32_t> FPendingCount{0};
  std::atomic<int32_t> FTerminatedCount{0};
  std::atomic<bool> FRunActive{false};
  std::atomic<bool> FDestroying{false};
  std::atomic<bool> FLibrariesLoaded{false};  // a LoadLibraries of ours succeeded
  std::recursive_mutex FEventLock;  // OnLog, OnProgress, OnTerminate, run counters, StopTasks
  std::recursive_mutex FHookLock;   // guards reading/assigning the hook events
  // Log lines being delivered outside the registry lock; destruction waits
  // for them after leaving the registry.
  std::atomic<int> FLogUsers{0};
  std::atomic<bool> FPublished{false};  // see Publish
  // The thread AddTask or AddTaskOutput opens a file on right now; 0: none.
  std::atomic<uint32_t> FOpeningThread{0};
  // Tasks deleted from inside an event, destroyed on the window thread.
  std::recursive_mutex FGraveLock;
  std::vector<std::unique_ptr<TFFmpeg>> FGraveyard;
  // Lets window-thread callbacks outlive the component harmlessly.
  std::shared_ptr<TCustomStrix *> FAlive;
};

// The published component; it adds nothing to TCustomStrix but what its
// constructor and destructor need as the most derived class (see Publish
// and Shutdown).
class TStrix : public TCustomStrix {
 public:
  explicit TStrix(TWindowThread &AWindowThread) : TCustomStrix(AWindowThread) { Publish(); }
  ~TStrix() override { Shutdown(); }
};

// The log callback installed into the libraries by LoadLibraries: assembles
// their messages into lines per thread. A line from a thread that a
// component's task runs on (or that a component opens a file on) goes to that
// component alone, with the task's index (-1 while opening); a line nobody
// owns goes to every live component with -1.
void LogCallback(void *AContext, int ALevel, const char *AFormat, va_list AArguments);
// Forgets every thread's unfinished line (under the registry lock).
void ClearLogLines();
// Bytes of the callback's formatting buffer (longer messages are cut).
constexpr size_t LogBufferSize = 2048;
