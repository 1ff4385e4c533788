// The component's properties and task operations.
#include <gtest/gtest.h>

#include "AVProbe.h"
#include "ComponentTestSupport.h"
#include "LibLoader.h"

namespace {

using namespace qvtest;

using StrixTest = TComponentTest;

TEST_F(StrixTest, PropertiesAndDefaults)
{
  TStrix fresh(Window);
  EXPECT_EQ(fresh.LogLevel(), llInfo);
  EXPECT_EQ(fresh.ProgressInterval(), 500);
  EXPECT_EQ(fresh.ThreadPriority(), tpNormal);
  EXPECT_EQ(fresh.NextTaskIndex(), -1);
  EXPECT_EQ(fresh.Concurrency(), 0);
  EXPECT_EQ(TStrix::Version(), "2.0b");
  fresh.SetProgressInterval(50);
  EXPECT_EQ(fresh.ProgressInterval(), 100);
  fresh.SetProgressInterval(100);
  EXPECT_EQ(fresh.ProgressInterval(), 100);
  fresh.SetProgressInterval(101);
  EXPECT_EQ(fresh.ProgressInterval(), 101);
}

TEST_F(StrixTest, TasksNeedLoadedLibrariesOfTheirOwn)
{
  TStrix fresh(Window);
  EXPECT_EQ(fresh.AddTask(Sample("ruffle__dummy.flv")), -1);
  EXPECT_NE(fresh.LastError().find("LoadLibraries"), std::string::npos);
  EXPECT_EQ(fresh.TaskCount(), 0);
  // Changing the level before loading only stores it; loading applies it.
  const int saved = LibraryLogLevel.load();
  fresh.SetLogLevel(llDebug);
  EXPECT_EQ(LibraryLogLevel.load(), saved);
  ASSERT_TRUE(fresh.LoadLibraries(LibAVDir(), true));
  EXPECT_EQ(LibraryLogLevel.load(), 2);
  fresh.SetLogLevel(llQuiet);
  EXPECT_EQ(LibraryLogLevel.load(), -1);
  SetLibraryLogLevel(saved);
}

TEST_F(StrixTest, LoadingAgainSucceedsAtOnce)
{
  // The libraries are loaded for the process already: a second load succeeds at once.
  EXPECT_TRUE(Strix->LoadLibraries("/nonexistent", true));
}

TEST_F(StrixTest, AddTaskIndexesDeleteAndErrors)
{
  EXPECT_EQ(Strix->AddTask(Scratch.File("missing.flv")), -1);
  EXPECT_FALSE(Strix->LastError().empty());
  EXPECT_EQ(Strix->TaskCount(), 0);

  TInputOptions in;
  EXPECT_EQ(Strix->AddTask(Sample("ruffle__dummy.flv"), &in), 0);
  EXPECT_EQ(in.FileName, Sample("ruffle__dummy.flv"));
  EXPECT_EQ(Strix->Tasks(0).InputOptions.FileName, in.FileName);
  TInputOptions named;
  named.FileName = "label only";
  EXPECT_EQ(Strix->AddTask(Sample("ruffle__dummy.flv"), &named), 1);
  EXPECT_EQ(named.FileName, "label only");

  TFFmpeg *second = &Strix->Tasks(1);
  Strix->DeleteTask(0);
  ASSERT_EQ(Strix->TaskCount(), 1);
  EXPECT_EQ(&Strix->Tasks(0), second);
  EXPECT_EQ(second->Index, 0);
  EXPECT_THROW(Strix->Tasks(1), std::out_of_range);
  EXPECT_THROW(Strix->DeleteTask(3), std::out_of_range);
  EXPECT_THROW(Strix->AddTaskOutput(4, Scratch.File("x.mp4")), std::out_of_range);

  TOutputOptions out;
  out.FileFormat = "nosuchformat";
  EXPECT_FALSE(Strix->AddTaskOutput(0, Scratch.File("x.mp4"), &out));
  EXPECT_EQ(Strix->LastError(), "Unknown output format: nosuchformat");
  EXPECT_EQ(Strix->TaskCount(), 1);  // a failed output leaves the task

  Strix->DeleteAllTasks();
  EXPECT_EQ(Strix->TaskCount(), 0);
  EXPECT_EQ(Strix->LastError(), "");
  EXPECT_EQ(Strix->Concurrency(), 0);
}

TEST_F(StrixTest, OutputRecordIsStoredAndHooksBindOneWay)
{
  ASSERT_EQ(Strix->AddTask(Sample("ruffle__dummy.flv")), 0);
  TOutputOptions out = WindowOutput();
  out.CustomHook = true;
  out.BeforeHook = true;
  out.HookRanges = "0-1000";
  ASSERT_TRUE(Strix->AddTaskOutput(0, Scratch.File("a.mp4"), &out)) << Strix->LastError();
  TFFmpeg &task = Strix->Tasks(0);
  EXPECT_EQ(out.FileName, Scratch.File("a.mp4"));
  EXPECT_EQ(task.OutputOptions.VideoCodecName, "mpeg4");
  EXPECT_TRUE(static_cast<bool>(task.OnCustomHook));
  EXPECT_FALSE(static_cast<bool>(task.OnBeforeHook));
  EXPECT_EQ(task.HookRangeCount, 0);

  ASSERT_EQ(Strix->AddTask(Sample("ruffle__dummy.flv")), 1);
  TOutputOptions before = WindowOutput();
  before.BeforeHook = true;
  ASSERT_TRUE(Strix->AddTaskOutput(1, Scratch.File("b.mp4"), before));
  EXPECT_TRUE(static_cast<bool>(Strix->Tasks(1).OnBeforeHook));
  EXPECT_FALSE(static_cast<bool>(Strix->Tasks(1).OnCustomHook));

  // Hook events carry the task's index.
  int seenIndex = -2;
  Strix->OnBeforeHook = [&](int AIndex, int64_t, THookAction &AAction) {
    seenIndex = AIndex;
    AAction = haIgnore;
  };
  THookAction action = haContinue;
  Strix->Tasks(1).OnBeforeHook(&Strix->Tasks(1), action, 0);
  EXPECT_EQ(seenIndex, 1);
  EXPECT_EQ(action, haIgnore);
}

TEST_F(StrixTest, WithoutRecordsStoredCopiesAreDefaults)
{
  ASSERT_EQ(Strix->AddTask(Sample("ruffle__dummy.flv")), 0);
  ASSERT_TRUE(Strix->AddTaskOutput(0, Scratch.File("c.mp4")));
  EXPECT_EQ(Strix->Tasks(0).InputOptions.StartPosition, -1);
  EXPECT_EQ(Strix->Tasks(0).OutputOptions.Timestamp, -1.0);
  EXPECT_EQ(Strix->Tasks(0).OutputOptions.FileName, "");
}

TEST_F(StrixTest, ProbeIsOwnedAndUsable)
{
  ASSERT_TRUE(Strix->Probe().LoadFile(Sample("ruffle__dummy.flv")));
  EXPECT_FALSE(Strix->Probe().GetFileInfoText().empty());
}

TEST(PumpedWindowThread, RunsDueCallbacksInOrderOnTheCallingThread)
{
  TPumpedWindowThread window;
  std::vector<int> order;
  window.PostDelayed(60, [&] { order.push_back(3); });
  window.Post([&] { order.push_back(1); });
  window.Post([&] { order.push_back(2); });
  EXPECT_EQ(window.ProcessEvents(0), 2);
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  EXPECT_EQ(window.QueuedCount(), 1u);
  auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(window.ProcessEventsUntil([&] { return order.size() == 3; }, 2000));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(40));
  std::thread([&] { window.Post([&] { order.push_back(4); }); }).join();
  EXPECT_EQ(window.ProcessEvents(1000), 1);
  EXPECT_EQ(order.back(), 4);

  // A callback that posts itself again runs once per call, not forever.
  std::function<void()> again = [&] {
    order.push_back(5);
    window.Post(again);
  };
  window.Post(again);
  EXPECT_EQ(window.ProcessEvents(0), 1);
  EXPECT_EQ(window.ProcessEvents(0), 1);
  EXPECT_EQ(window.QueuedCount(), 1u);
}

}  // namespace
