// The component's properties and task operations.
#include <gtest/gtest.h>

#include "ComponentTestSupport.h"
#include "LibLoader.h"

namespace {

using namespace qvtest;

using StrixTest = TComponentTest;

TEST_F(StrixTest, PropertiesAndLibraries)
{
  TStrix fresh(Window);
  EXPECT_EQ(fresh.ProgressInterval(), 500);
  EXPECT_EQ(TStrix::Version(), "2.0b");
  for (auto [set, read] : std::vector<std::pair<int, int>>{{50, 100}, {100, 100}, {101, 101}}) {
    fresh.SetProgressInterval(set);
    EXPECT_EQ(fresh.ProgressInterval(), read) << set;
  }

  // No tasks before the component loaded the libraries itself.
  EXPECT_EQ(fresh.AddTask(Sample("ruffle__dummy.flv")), -1);
  EXPECT_NE(fresh.LastError().find("LoadLibraries"), std::string::npos);
  EXPECT_EQ(fresh.TaskCount(), 0);
  EXPECT_FALSE(fresh.AddTaskOutput(0, Scratch.File("x.mp4")));
  EXPECT_NE(fresh.LastError().find("LoadLibraries"), std::string::npos);
  EXPECT_FALSE(qvtest::FileExists(Scratch.File("x.mp4")));

  // The libraries are loaded for the process (by the fixture's component):
  // the level reaches them from a component that has not loaded them itself.
  const int saved = LibraryLogLevel.load();
  fresh.SetLogLevel(llDebug);
  EXPECT_EQ(LibraryLogLevel.load(), 2);
  EXPECT_EQ(AVUtilLib.av_log_get_level(), AV_LOG_DEBUG);
  fresh.SetLogLevel(llQuiet);
  EXPECT_EQ(AVUtilLib.av_log_get_level(), AV_LOG_QUIET);
  ASSERT_TRUE(fresh.LoadLibraries(LibAVDir(), true));
  EXPECT_EQ(LibraryLogLevel.load(), -1);  // loading applies the stored level again
  SetLibraryLogLevel(saved);
  EXPECT_TRUE(Strix->LoadLibraries("/nonexistent", true));  // loaded for the process already
}

TEST_F(StrixTest, AddTaskIndexesDeleteAndErrors)
{
  EXPECT_EQ(Strix->AddTask(Scratch.File("missing.flv")), -1);
  EXPECT_FALSE(Strix->LastError().empty());
  EXPECT_EQ(Strix->TaskCount(), 0);

  TInputOptions in, named;
  named.FileName = "label only";
  EXPECT_EQ(Strix->AddTask(Sample("ruffle__dummy.flv"), &in), 0);
  EXPECT_EQ(in.FileName, Sample("ruffle__dummy.flv"));  // filled in when empty
  EXPECT_EQ(Strix->Tasks(0).InputOptions.FileName, in.FileName);
  EXPECT_EQ(Strix->AddTask(Sample("ruffle__dummy.flv"), &named), 1);
  EXPECT_EQ(named.FileName, "label only");
  ASSERT_TRUE(Strix->AddTaskOutput(1, Scratch.File("c.mp4")));  // without a record: defaults stored
  EXPECT_EQ(Strix->Tasks(1).OutputOptions.Timestamp, -1.0);

  TFFmpeg *second = &Strix->Tasks(1);
  Strix->DeleteTask(0);
  ASSERT_EQ(Strix->TaskCount(), 1);
  EXPECT_EQ(&Strix->Tasks(0), second);
  EXPECT_EQ(second->Index, 0);
  EXPECT_THROW(Strix->Tasks(1), std::out_of_range);
  EXPECT_THROW(Strix->DeleteTask(3), std::out_of_range);

  TOutputOptions out;
  out.FileFormat = "nosuchformat";
  EXPECT_FALSE(Strix->AddTaskOutput(0, Scratch.File("x.mp4"), &out));
  EXPECT_EQ(Strix->LastError(), "Unknown output format: nosuchformat");
  EXPECT_EQ(Strix->TaskCount(), 1);  // a failed output leaves the task

  Strix->DeleteAllTasks();
  EXPECT_EQ(Strix->TaskCount(), 0);
}

TEST_F(StrixTest, CustomHookWinsOverBeforeHookAndEventsCarryTheIndex)
{
  ASSERT_EQ(Strix->AddTask(Sample("ruffle__dummy.flv")), 0);
  TOutputOptions out = WindowOutput();
  out.CustomHook = out.BeforeHook = true;
  out.HookRanges = "0-1000";
  ASSERT_TRUE(Strix->AddTaskOutput(0, Scratch.File("a.mp4"), &out)) << Strix->LastError();
  TFFmpeg &task = Strix->Tasks(0);
  EXPECT_EQ(out.FileName, Scratch.File("a.mp4"));
  EXPECT_EQ(task.OutputOptions.VideoCodecName, "mpeg4");
  EXPECT_TRUE(static_cast<bool>(task.OnCustomHook));
  EXPECT_FALSE(static_cast<bool>(task.OnBeforeHook));
  EXPECT_EQ(task.HookRangeCount, 0);

  ASSERT_EQ(Strix->AddTask(Sample("ruffle__dummy.flv")), 1);
  out = WindowOutput();
  out.BeforeHook = true;
  ASSERT_TRUE(Strix->AddTaskOutput(1, Scratch.File("b.mp4"), out));
  EXPECT_FALSE(static_cast<bool>(Strix->Tasks(1).OnCustomHook));
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

TEST(PumpedWindowThread, RunsDueCallbacksInOrderOnTheCallingThread)
{
  TPumpedWindowThread window;
  std::vector<int> order;
  window.PostDelayed(60, [&] { order.push_back(3); });
  window.Post([&] { order.push_back(1); });
  window.Post([&] { order.push_back(2); });
  EXPECT_EQ(window.ProcessEvents(0), 2);
  EXPECT_EQ(order, (std::vector<int>{1, 2}));
  const auto start = std::chrono::steady_clock::now();
  EXPECT_TRUE(window.ProcessEventsUntil([&] { return order.size() == 3; }, 2000));
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(40));
  std::thread([&] { window.Post([&] { order.push_back(4); }); }).join();
  EXPECT_EQ(window.ProcessEvents(1000), 1);
  EXPECT_EQ(order.back(), 4);

  // A callback that posts itself again runs once per call, not forever.
  std::function<void()> again = [&] { window.Post(again); };
  window.Post(again);
  EXPECT_EQ(window.ProcessEvents(0), 1);
  EXPECT_EQ(window.ProcessEvents(0), 1);
  EXPECT_EQ(window.QueuedCount(), 1u);
}

}  // namespace
