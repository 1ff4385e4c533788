// Running tasks on worker threads and inline, stopping them, and the order
// and content of their end reports. Run under ThreadSanitizer as well.
#include <gtest/gtest.h>
#include <unistd.h>

#include <thread>

#include "ComponentTestSupport.h"

namespace {

using namespace qvtest;

using WorkersTest = TComponentTest;

std::vector<int> Ends(std::initializer_list<int> AIndexes) { return std::vector<int>(AIndexes); }

TEST_F(WorkersTest, NoTasksRaiseNothing)
{
  TEndRecorder rec;
  rec.Attach(*Strix);
  Strix->StartTasks(1);
  Strix->StartTasks(0);
  Window.ProcessEvents(300);
  EXPECT_TRUE(rec.Reports().empty());
  EXPECT_FALSE(Strix->RunActive());
}

TEST_F(WorkersTest, TaskWithoutOutputReportsItsFailure)
{
  TEndRecorder rec;
  rec.Attach(*Strix);
  std::vector<std::pair<int, TLogLevel>> logs;
  Strix->OnLog = [&](int AIndex, TLogLevel ALevel, const std::string &) { logs.emplace_back(AIndex, ALevel); };
  ASSERT_EQ(Strix->AddTask(Sample("ruffle__dummy.flv")), 0);
  AddConversion(Media("short.flv", 1.0), Scratch.File("short.mp4"));
  Strix->StartTasks(1);
  ASSERT_TRUE(WaitForRunEnd(rec));
  auto r = rec.Reports();
  ASSERT_EQ(rec.Indexes(), Ends({0, 1, -1}));
  EXPECT_FALSE(r[0].Finished);
  EXPECT_TRUE(r[0].Exception);
  EXPECT_EQ(r[0].Message, "Must supply at least one output file");
  EXPECT_TRUE(r[1].Finished);
  EXPECT_FALSE(r[1].Exception);
  EXPECT_TRUE(r[2].Finished);
  EXPECT_FALSE(r[2].Exception);
  EXPECT_EQ(r[2].Message, "");
  // The failure also arrives as a quiet-level line of task 0.
  Strix->UnassignEvents();
  EXPECT_NE(std::find(logs.begin(), logs.end(), std::make_pair(0, llQuiet)), logs.end());
}

TEST_F(WorkersTest, OneAtATimeReportsEachTaskThenTheRun)
{
  TEndRecorder rec;
  rec.Attach(*Strix);
  std::atomic<int> running{0}, maxRunning{0};
  std::mutex seenLock;
  std::vector<int> progressOrder;
  Strix->OnProgress = [&](int AIndex, int, int, int, float, float, int64_t, int) {
    std::lock_guard<std::mutex> lock(seenLock);
    if (progressOrder.empty() || progressOrder.back() != AIndex) progressOrder.push_back(AIndex);
  };
  for (int i = 0; i < 3; ++i)
    AddConversion(Media("one" + std::to_string(i) + ".flv", 1.0), Scratch.File("one" + std::to_string(i) + ".mp4"));
  Strix->StartTasks(1);
  EXPECT_EQ(Strix->Tasks(0).ProgressInterval, 500000);
  EXPECT_EQ(Strix->PendingCount(), 2);
  ASSERT_TRUE(WaitForRunEnd(rec));
  auto r = rec.Reports();
  ASSERT_EQ(rec.Indexes(), Ends({0, 1, 2, -1}));
  const auto window = static_cast<uint32_t>(gettid());
  for (int i = 0; i < 3; ++i) {
    EXPECT_TRUE(r[i].Finished) << r[i].Message;
    EXPECT_FALSE(r[i].Exception);
    EXPECT_NE(r[i].Thread, window);  // raised on the worker
  }
  EXPECT_TRUE(r[3].Finished);
  EXPECT_FALSE(r[3].Exception);
  EXPECT_EQ(r[3].Message, "");
  {
    std::lock_guard<std::mutex> lock(seenLock);
    for (size_t i = 1; i < progressOrder.size(); ++i) EXPECT_LT(progressOrder[i - 1], progressOrder[i]);
  }
  Strix->UnassignEvents();
  for (int i = 0; i < 3; ++i) EXPECT_GT(FileSize(Scratch.File("one" + std::to_string(i) + ".mp4")), 0);
}

TEST_F(WorkersTest, TwoAtOnceStartTogetherAndTheThirdFollows)
{
  TEndRecorder rec;
  rec.Attach(*Strix);
  for (int i = 0; i < 3; ++i)
    AddConversion(Media("two" + std::to_string(i) + ".flv", 3.0, 320, 240),
                  Scratch.File("two" + std::to_string(i) + ".mp4"));
  Strix->StartTasks(2);
  EXPECT_EQ(Strix->Tasks(0).RunState, TFFmpeg::rsStarted);
  EXPECT_EQ(Strix->Tasks(1).RunState, TFFmpeg::rsStarted);
  EXPECT_EQ(Strix->Tasks(2).RunState, TFFmpeg::rsWaiting);
  EXPECT_EQ(Strix->PendingCount(), 1);
  EXPECT_EQ(Strix->NextTaskIndex(), 2);
  ASSERT_TRUE(WaitForRunEnd(rec));
  auto idx = rec.Indexes();
  ASSERT_EQ(idx.size(), 4u);
  EXPECT_EQ(idx.back(), -1);
  EXPECT_NE(idx[0], 2);  // task 2 only starts once one of the first two has ended
  for (const auto &r : rec.Reports()) EXPECT_TRUE(r.Finished) << r.Message;
}

TEST_F(WorkersTest, ZeroConcurrencyRunsInlineThroughTheTimer)
{
  TEndRecorder rec;
  rec.Attach(*Strix);
  AddConversion(Media("in0.flv", 1.0), Scratch.File("in0.mp4"));
  AddConversion(Media("in1.flv", 1.0), Scratch.File("in1.mp4"));
  const auto start = std::chrono::steady_clock::now();
  Strix->StartTasks(0);
  EXPECT_EQ(Strix->Tasks(0).RunState, TFFmpeg::rsWaiting);  // waits for the timer
  EXPECT_EQ(Strix->PendingCount(), 1);
  EXPECT_EQ(Window.QueuedCount(), 1u);
  ASSERT_TRUE(WaitForRunEnd(rec));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(200));  // two timers
  ASSERT_EQ(rec.Indexes(), Ends({0, 1, -1}));
  const auto me = static_cast<uint32_t>(gettid());
  for (const auto &r : rec.Reports()) {
    EXPECT_EQ(r.Thread, me);
    EXPECT_TRUE(r.Finished) << r.Message;
  }
}

TEST_F(WorkersTest, StopWithOneRunningAndTwoWaiting)
{
  TEndRecorder rec;
  rec.Attach(*Strix);
  std::atomic<bool> firstProgress{false};
  Strix->OnProgress = [&](int AIndex, int, int, int, float, float, int64_t, int) {
    if (AIndex == 0) firstProgress = true;
  };
  Strix->SetProgressInterval(100);
  const std::string input = Media("long.flv", 20.0, 320, 240);
  for (int i = 0; i < 3; ++i) AddConversion(input, Scratch.File("stop" + std::to_string(i) + ".mp4"));
  Strix->StartTasks(1);
  ASSERT_TRUE(Window.ProcessEventsUntil([&] { return firstProgress.load() || rec.RunEnds > 0; }, 60000));
  Strix->StopTasks();
  ASSERT_TRUE(WaitForRunEnd(rec));
  auto r = rec.Reports();
  ASSERT_EQ(r.size(), 4u);
  EXPECT_EQ(r[3].Index, -1);
  std::vector<int> tasks{r[0].Index, r[1].Index, r[2].Index};
  std::sort(tasks.begin(), tasks.end());
  EXPECT_EQ(tasks, Ends({0, 1, 2}));
  for (int i = 0; i < 3; ++i) {
    EXPECT_FALSE(r[i].Finished);
    EXPECT_FALSE(r[i].Exception) << r[i].Message;
  }
  Strix->StopTasks();  // all ended: nothing happens
  Window.ProcessEvents(200);
  EXPECT_EQ(rec.Reports().size(), 4u);
}

TEST_F(WorkersTest, StopBeforeTheStartTimerFiresNeverStartsTheTask)
{
  TEndRecorder rec;
  rec.Attach(*Strix);
  std::atomic<int> progress{0};
  Strix->OnProgress = [&](int, int, int, int, float, float, int64_t, int) { ++progress; };
  AddConversion(Media("t0.flv", 1.0), Scratch.File("t0.mp4"));
  AddConversion(Media("t1.flv", 1.0), Scratch.File("t1.mp4"));
  Strix->StartTasks(0);  // arms the timer for task 0
  Strix->StopTasks();
  ASSERT_TRUE(WaitForRunEnd(rec, 1, 10000));
  Window.ProcessEvents(400);  // the timer fires now
  Window.ProcessEvents(200);
  auto r = rec.Reports();
  ASSERT_EQ(r.size(), 3u);
  EXPECT_EQ(r[2].Index, -1);
  EXPECT_FALSE(r[0].Finished);
  EXPECT_FALSE(r[1].Finished);
  EXPECT_EQ(progress.load(), 0);
  EXPECT_FALSE(Strix->Tasks(0).Running);
}

TEST_F(WorkersTest, DeletingAllTasksFromTheRunEndHandlerIsSafe)
{
  std::atomic<int> runEnds{0};
  std::atomic<int> countInHandler{-1};
  std::atomic<uint32_t> handlerThread{0};
  Strix->OnTerminate = [&](int AIndex, bool, bool, const std::string &) {
    if (AIndex != -1) return;
    handlerThread = static_cast<uint32_t>(gettid());
    Strix->DeleteAllTasks();
    countInHandler = Strix->TaskCount();
    ++runEnds;
  };
  AddConversion(Media("d0.flv", 1.0), Scratch.File("d0.mp4"));
  AddConversion(Media("d1.flv", 1.0), Scratch.File("d1.mp4"));
  Strix->StartTasks(2);
  ASSERT_TRUE(Window.ProcessEventsUntil([&] { return runEnds.load() == 1; }, 60000));
  EXPECT_NE(handlerThread.load(), static_cast<uint32_t>(gettid()));
  EXPECT_EQ(countInHandler.load(), 0);
  Window.ProcessEvents(100);  // the deferred destruction runs here

  // The component is ready for the next run.
  AddConversion(Media("d0.flv", 1.0), Scratch.File("d2.mp4"));
  Strix->StartTasks(1);
  ASSERT_TRUE(Window.ProcessEventsUntil([&] { return runEnds.load() == 2; }, 60000));
  Window.ProcessEvents(100);
  EXPECT_EQ(Strix->TaskCount(), 0);
  EXPECT_GT(FileSize(Scratch.File("d2.mp4")), 0);
}

TEST_F(WorkersTest, DestroyingTheComponentWaitsForRunningConversions)
{
  std::atomic<int> progressed{0};
  std::atomic<bool> seen0{false}, seen1{false};
  Strix->SetProgressInterval(100);
  Strix->OnProgress = [&](int AIndex, int, int, int, float, float, int64_t, int) {
    (AIndex == 0 ? seen0 : seen1) = true;
  };
  const std::string input = Media("long.flv", 20.0, 320, 240);
  AddConversion(input, Scratch.File("kill0.mp4"));
  AddConversion(input, Scratch.File("kill1.mp4"));
  Strix->StartTasks(2);
  ASSERT_TRUE(Window.ProcessEventsUntil([&] { return seen0.load() && seen1.load(); }, 60000));
  Strix.reset();  // returns only when both workers have ended
  for (const char *name : {"kill0.mp4", "kill1.mp4"}) {
    TMediaInfo info;
    std::string error;
    ASSERT_TRUE(ProbeMedia(Scratch.File(name), info, &error)) << name << ": " << error;
    const TStreamInfo *video = info.Find(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(video, nullptr) << name;
    EXPECT_GT(video->Packets, 0) << name;
  }
  (void)progressed;
}

}  // namespace
