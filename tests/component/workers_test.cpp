// Running tasks on worker threads and inline, stopping them, and the order
// and content of their end reports. Run under ThreadSanitizer as well.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>

#include "ComponentTestSupport.h"

namespace {

using namespace qvtest;
using TIndexes = std::vector<int>;

class WorkersTest : public TComponentTest {
 protected:
  // ACount conversions named APrefix0.. of one generated input.
  void AddConversions(const std::string &APrefix, int ACount, double ASeconds = 1.0, int AWidth = 160)
  {
    const std::string input = Media(APrefix + ".flv", ASeconds, AWidth, AWidth * 3 / 4);
    for (int i = 0; i < ACount; ++i) AddConversion(input, Scratch.File(APrefix + std::to_string(i) + ".mp4"));
  }
  // Counts progress events, and notes those of tasks 0 and 1.
  void WatchProgress()
  {
    Strix->SetProgressInterval(100);
    Strix->OnProgress = [this](int AIndex, int, int, int, float, float, int64_t, int) {
      ++Progress;
      if (AIndex < 2) Seen[AIndex] = true;
    };
  }
  std::atomic<int> Progress{0};
  std::atomic<bool> Seen[2]{};
};

TEST_F(WorkersTest, NoTasksRaiseNothing)
{
  Strix->StartTasks(1);
  Strix->StartTasks(0);
  Window.ProcessEvents(300);
  EXPECT_TRUE(Rec.Reports().empty());
  EXPECT_FALSE(Strix->RunActive());
}

// Task 1 has no output and fails; the others convert, one after the other.
TEST_F(WorkersTest, OneAtATimeReportsEachTaskThenTheRun)
{
  std::mutex seenLock;
  TIndexes progressOrder;
  std::vector<std::pair<int, TLogLevel>> logs;
  Strix->OnProgress = [&](int AIndex, int, int, int, float, float, int64_t, int) {
    std::lock_guard<std::mutex> lock(seenLock);
    if (progressOrder.empty() || progressOrder.back() != AIndex) progressOrder.push_back(AIndex);
  };
  Strix->OnLog = [&](int AIndex, TLogLevel ALevel, const std::string &) {
    std::lock_guard<std::mutex> lock(seenLock);
    logs.emplace_back(AIndex, ALevel);
  };
  AddConversions("one", 1);
  ASSERT_EQ(Strix->AddTask(Sample("ruffle__dummy.flv")), 1);
  AddConversion(Media("one.flv", 1.0), Scratch.File("one2.mp4"));
  Strix->StartTasks(1);
  EXPECT_EQ(Strix->Tasks(0).ProgressInterval, 500000);
  EXPECT_EQ(Strix->PendingCount(), 2);
  ASSERT_TRUE(WaitForRunEnd());
  auto r = Rec.Reports();
  ASSERT_EQ(Rec.Indexes(), (TIndexes{0, 1, 2, -1}));
  for (const auto &report : r) {
    EXPECT_EQ(report.Finished, report.Index != 1) << report.Message;
    EXPECT_EQ(report.Exception, report.Index == 1);
    EXPECT_NE(report.Thread, ThisThread());  // raised on the worker
  }
  EXPECT_EQ(r[1].Message, "Must supply at least one output file");
  EXPECT_EQ(r[3].Message, "");
  Strix->UnassignEvents();
  EXPECT_TRUE(std::is_sorted(progressOrder.begin(), progressOrder.end()));
  // The failure also arrives as a quiet-level line of its task.
  EXPECT_NE(std::find(logs.begin(), logs.end(), std::make_pair(1, llQuiet)), logs.end());
  EXPECT_GT(FileSize(Scratch.File("one0.mp4")), 0);
  EXPECT_GT(FileSize(Scratch.File("one2.mp4")), 0);
}

TEST_F(WorkersTest, TwoAtOnceStartTogetherAndTheThirdFollows)
{
  AddConversions("two", 3, 3.0, 320);
  Strix->StartTasks(2);
  EXPECT_EQ(Strix->Tasks(0).RunState, TFFmpeg::rsStarted);
  EXPECT_EQ(Strix->Tasks(1).RunState, TFFmpeg::rsStarted);
  EXPECT_EQ(Strix->Tasks(2).RunState, TFFmpeg::rsWaiting);
  EXPECT_EQ(Strix->NextTaskIndex(), 2);
  ASSERT_TRUE(WaitForRunEnd());
  auto idx = Rec.Indexes();
  ASSERT_EQ(idx.size(), 4u);
  EXPECT_EQ(idx.back(), -1);
  EXPECT_NE(idx[0], 2);  // task 2 only starts once one of the first two has ended
  for (const auto &r : Rec.Reports()) EXPECT_TRUE(r.Finished) << r.Message;
}

// Tasks that run at once share the cores; a budget set on the component wins.
TEST_F(WorkersTest, RunningTasksShareTheCores)
{
  const int cores = std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
  AddConversions("share", 3);
  Strix->StartTasks(2);
  EXPECT_EQ(Strix->Tasks(0).ThreadBudget(), std::max(1, cores / 2));
  EXPECT_EQ(Strix->Tasks(1).ThreadBudget(), std::max(1, cores / 2));
  ASSERT_TRUE(WaitForRunEnd());
  EXPECT_EQ(Strix->Tasks(2).ThreadBudget(), std::max(1, cores / 2));  // started by the run, in its share

  Strix->DeleteAllTasks();
  AddConversions("alone", 1);
  Strix->StartTasks(4);  // one task: the whole machine
  EXPECT_EQ(Strix->Tasks(0).ThreadBudget(), cores);
  ASSERT_TRUE(WaitForRunEnd(2));

  Strix->DeleteAllTasks();
  AddConversions("fixed", 1);
  Strix->SetThreadBudget(3);
  Strix->StartTasks(1);
  EXPECT_EQ(Strix->Tasks(0).ThreadBudget(), 3);
  ASSERT_TRUE(WaitForRunEnd(3));
}

TEST_F(WorkersTest, ZeroConcurrencyRunsInlineThroughTheTimer)
{
  AddConversions("in", 2);
  const auto start = std::chrono::steady_clock::now();
  Strix->StartTasks(0);
  EXPECT_EQ(Strix->Tasks(0).RunState, TFFmpeg::rsWaiting);  // waits for the timer
  EXPECT_EQ(Window.QueuedCount(), 1u);
  ASSERT_TRUE(WaitForRunEnd());
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));  // two timers
  ASSERT_EQ(Rec.Indexes(), (TIndexes{0, 1, -1}));
  for (const auto &r : Rec.Reports()) {
    EXPECT_EQ(r.Thread, ThisThread());
    EXPECT_TRUE(r.Finished) << r.Message;
  }
}

// Also a regression: ended tasks are never started again.
TEST_F(WorkersTest, StopWithOneRunningAndTwoWaiting)
{
  WatchProgress();
  AddConversions("stop", 3, 20.0, 320);
  Strix->StartTasks(1);
  ASSERT_TRUE(Window.ProcessEventsUntil([&] { return Seen[0].load() || Rec.RunEnds > 0; }, 60000));
  Strix->StopTasks();
  ASSERT_TRUE(WaitForRunEnd());
  auto r = Rec.Reports();
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[3].Index, -1);
  TIndexes tasks{r[0].Index, r[1].Index, r[2].Index};
  std::sort(tasks.begin(), tasks.end());
  EXPECT_EQ(tasks, (TIndexes{0, 1, 2}));
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(r[i].Finished);
    EXPECT_FALSE(r[i].Exception) << r[i].Message;
  }
  Strix->StopTasks();  // all ended: nothing happens
  Window.ProcessEvents(200);
  EXPECT_EQ(Rec.Reports().size(), 4u);
}

// Regression: a stop before the start timer fired still started the task.
TEST_F(WorkersTest, StopBeforeTheStartTimerFiresNeverStartsTheTask)
{
  WatchProgress();
  AddConversions("t", 2);
  Strix->StartTasks(0);  // arms the timer for task 0
  Strix->StopTasks();
  ASSERT_TRUE(WaitForRunEnd(1, 10000));
  Window.ProcessEvents(400);  // the timer fires now
  Window.ProcessEvents(200);
  auto r = Rec.Reports();
  // Each task that never ran reports from its own short-lived thread, so the
  // two may arrive in either order; the run's end comes last.
  TIndexes got = Rec.Indexes();
  ASSERT_EQ(got.size(), 3u);
  std::sort(got.begin(), got.begin() + 2);
  EXPECT_EQ(got, (TIndexes{0, 1, -1}));
  EXPECT_FALSE(r[0].Finished || r[1].Finished);
  EXPECT_EQ(Progress.load(), 0);
  EXPECT_FALSE(Strix->Tasks(0).Running);
}

// Regression: tasks deleted from an event were destroyed on their own thread.
TEST_F(WorkersTest, DeletingAllTasksFromTheRunEndHandlerIsSafe)
{
  std::atomic<int> runEnds{0}, countInHandler{-1};
  std::atomic<uint32_t> handlerThread{0};
  Strix->OnTerminate = [&](int AIndex, bool, bool, const std::string &) {
    if (AIndex != -1) return;
    handlerThread = ThisThread();
    Strix->DeleteAllTasks();
    countInHandler = Strix->TaskCount();
    ++runEnds;
  };
  AddConversions("d", 2);
  Strix->StartTasks(2);
  ASSERT_TRUE(Window.ProcessEventsUntil([&] { return runEnds.load() == 1; }, 60000));
  EXPECT_NE(handlerThread.load(), ThisThread());
  EXPECT_EQ(countInHandler.load(), 0);
  Window.ProcessEvents(100);  // the deferred destruction runs here

  AddConversion(Media("d.flv", 1.0), Scratch.File("again.mp4"));  // ready for the next run
  Strix->StartTasks(1);
  ASSERT_TRUE(Window.ProcessEventsUntil([&] { return runEnds.load() == 2; }, 60000));
  Window.ProcessEvents(100);
  EXPECT_EQ(Strix->TaskCount(), 0);
  EXPECT_GT(FileSize(Scratch.File("again.mp4")), 0);
}

// A task deleted while it converts raises nothing more (no event with index
// -1), leaves its place to the next waiting task, and the run ends only once
// the deleted tasks have stopped: by then their outputs are complete.
TEST_F(WorkersTest, DeletingARunningTaskSilencesItAndTheRunGoesOnAfterItStopped)
{
  std::mutex lock;
  std::vector<int> indexes;
  std::vector<bool> completeAtRunEnd;
  Strix->SetProgressInterval(100);
  Strix->OnProgress = [&](int AIndex, int, int, int, float, float, int64_t, int) {
    std::lock_guard<std::mutex> guard(lock);
    indexes.push_back(AIndex);
  };
  Strix->OnCustomHook = [&](int AIndex, THookBitmap *, int, int64_t, bool &, bool &) {
    std::lock_guard<std::mutex> guard(lock);
    indexes.push_back(AIndex);
  };
  Strix->OnTerminate = [&](int AIndex, bool, bool, const std::string &) {
    if (AIndex != -1) return;
    for (const char *name : {"del0.mp4", "del1.mp4"}) {
      TMediaInfo info;
      completeAtRunEnd.push_back(ProbeMedia(Scratch.File(name), info));
    }
    ++Rec.RunEnds;
  };
  const std::string input = Media("del.flv", 20.0, 320, 240);
  for (int i = 0; i < 2; ++i) {
    TOutputOptions out = WindowOutput();
    out.CustomHook = true;
    ASSERT_EQ(Strix->AddTask(input), i);
    ASSERT_TRUE(Strix->AddTaskOutput(i, Scratch.File("del" + std::to_string(i) + ".mp4"), out)) << Strix->LastError();
  }
  Strix->StartTasks(1);
  const auto progressOfFirst = [&] {
    std::lock_guard<std::mutex> guard(lock);
    return std::count(indexes.begin(), indexes.end(), 0) > 0;
  };
  ASSERT_TRUE(Window.ProcessEventsUntil(progressOfFirst, 60000));
  Strix->DeleteTask(0);  // the waiting task takes its place, as task 0
  {
    std::lock_guard<std::mutex> guard(lock);
    indexes.clear();
  }
  ASSERT_TRUE(Window.ProcessEventsUntil(progressOfFirst, 60000)) << "the waiting task never started";
  EXPECT_EQ(Rec.RunEnds.load(), 0);
  Strix->DeleteTask(0);
  ASSERT_TRUE(WaitForRunEnd(1, 60000));
  EXPECT_EQ(completeAtRunEnd, (std::vector<bool>{true, true}));
  std::lock_guard<std::mutex> guard(lock);
  EXPECT_EQ(std::count(indexes.begin(), indexes.end(), -1), 0);
}

// Handlers that throw never reach the conversion: a throwing OnLog is
// dropped, a throwing OnTerminate is told as an error line of its task.
TEST_F(WorkersTest, ThrowingLogAndEndHandlersLeaveTheRunIntact)
{
  std::mutex lock;
  std::vector<std::pair<int, std::string>> lines;
  std::vector<TEndReport> ends;
  Strix->SetLogLevel(llInfo);  // the engine's summary line goes to OnLog too
  Strix->OnLog = [&](int AIndex, TLogLevel ALevel, const std::string &AMsg) {
    {
      std::lock_guard<std::mutex> guard(lock);
      if (ALevel <= llError) lines.emplace_back(AIndex, AMsg);
    }
    throw std::runtime_error("log handler failed");
  };
  Strix->OnTerminate = [&](int AIndex, bool AFinished, bool AException, const std::string &AMessage) {
    {
      std::lock_guard<std::mutex> guard(lock);
      ends.push_back(TEndReport{AIndex, AFinished, AException, AMessage, 0});
    }
    if (AIndex == -1) ++Rec.RunEnds;
    if (AIndex == 0) throw std::runtime_error("end handler failed");
  };
  AddConversions("throw", 2);
  Strix->StartTasks(1);
  ASSERT_TRUE(WaitForRunEnd());
  std::lock_guard<std::mutex> guard(lock);
  ASSERT_EQ(ends.size(), 3u);
  for (const TEndReport &end : ends) {
    EXPECT_TRUE(end.Finished) << end.Message;
    EXPECT_FALSE(end.Exception);
  }
  EXPECT_EQ(ends[2].Index, -1);
  EXPECT_EQ(lines, (std::vector<std::pair<int, std::string>>{{0, "end handler failed"}}));
  EXPECT_GT(FileSize(Scratch.File("throw1.mp4")), 0);
}

// Regression: destruction returned before the workers had ended.
TEST_F(WorkersTest, DestroyingTheComponentWaitsForRunningConversions)
{
  WatchProgress();
  AddConversions("kill", 2, 20.0, 320);
  Strix->StartTasks(2);
  ASSERT_TRUE(Window.ProcessEventsUntil([&] { return Seen[0].load() && Seen[1].load(); }, 60000));
  Strix.reset();  // returns only when both workers have ended
  ExpectPlayable(Scratch.File("kill0.mp4"));
  ExpectPlayable(Scratch.File("kill1.mp4"));
}

}  // namespace
