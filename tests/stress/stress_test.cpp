// Stress on the component's threads. Inputs are one-second FLVs so the whole
// file stays fast under the sanitizers.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <set>
#include <thread>

#include "AVUtilHlpr.h"
#include "ComponentTestSupport.h"
#include "LibLoader.h"

namespace {

using namespace qvtest;

constexpr int TaskCount = 8;
constexpr int Concurrency = 3;

class StressTest : public TComponentTest {
 protected:
  // Replaces the task list with TaskCount conversions of round ARound and starts them.
  void StartRound(int ARound)
  {
    Strix->DeleteAllTasks();
    const std::string input = Media("short.flv", 1.0);
    for (int i = 0; i < TaskCount; ++i) ASSERT_EQ(AddConversion(input, Output(ARound, i)), i) << Strix->LastError();
    Strix->StartTasks(Concurrency);
  }
  std::string Output(int ARound, int ATask) const
  {
    return Scratch.File("r" + std::to_string(ARound) + "_" + std::to_string(ATask) + ".mp4");
  }
  // Every task of the run from report AFrom on ended once, then the run;
  // AFinished: each one finished. Returns where the next run's reports start.
  size_t ExpectRunReports(size_t AFrom, bool AFinished)
  {
    auto reports = Rec.Reports();
    EXPECT_EQ(reports.size(), AFrom + TaskCount + 1);
    if (reports.size() != AFrom + TaskCount + 1) return reports.size();
    std::multiset<int> tasks;
    for (size_t i = AFrom; i + 1 < reports.size(); ++i) {
      tasks.insert(reports[i].Index);
      EXPECT_FALSE(reports[i].Exception) << reports[i].Message;
      EXPECT_TRUE(reports[i].Finished || !AFinished) << reports[i].Message;
    }
    for (int i = 0; i < TaskCount; ++i) EXPECT_EQ(tasks.count(i), 1u) << "task " << i;
    EXPECT_EQ(reports.back().Index, -1);
    return reports.size();
  }
};

TEST_F(StressTest, EightTasksThreeAtATimeStoppedAndRestartedInLoops)
{
  std::atomic<int> progress{0};  // progress events race with the stops
  Strix->SetProgressInterval(100);
  Strix->OnProgress = [&](int, int, int, int, float, float, int64_t, int) { ++progress; };
  int maxRunning = 0;
  auto countRunning = [&] {
    int running = 0;
    for (int i = 0; i < Strix->TaskCount(); ++i) running += Strix->Tasks(i).Running ? 1 : 0;
    maxRunning = std::max(maxRunning, running);
  };
  // Stops at growing delays: before any worker got far, mid-way, late.
  const int stopAfterMs[] = {0, 5, 40, 150, 400};
  const int last = static_cast<int>(std::size(stopAfterMs));
  size_t seen = 0;
  for (int round = 0; round < last; ++round) {
    StartRound(round);
    const auto stopAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(stopAfterMs[round]);
    Window.ProcessEventsUntil(
        [&] {
          countRunning();
          return std::chrono::steady_clock::now() >= stopAt || Rec.RunEnds.load() > round;
        },
        60000);
    Strix->StopTasks();
    ASSERT_TRUE(WaitForRunEnd(round + 1)) << "round " << round;
    seen = ExpectRunReports(seen, false);
    EXPECT_FALSE(Strix->RunActive());
  }

  // After all that, a run left alone converts every task.
  StartRound(last);
  ASSERT_TRUE(Window.ProcessEventsUntil(
      [&] {
        countRunning();
        return Rec.RunEnds.load() > last;
      },
      120000));
  ExpectRunReports(seen, true);
  EXPECT_LE(maxRunning, Concurrency);
  for (int i = 0; i < TaskCount; ++i) ExpectPlayable(Output(last, i));
}

// Regression: destroying a component raced with its running conversions.
TEST_F(StressTest, ComponentsComeAndGoWhileOthersConvert)
{
  StartRound(0);  // the long-lived component converts all the while
  // Short-lived components on the same window thread: destroyed while their
  // conversions run on workers, before their inline start, or never loaded.
  const std::string input = Media("short.flv", 1.0);
  for (int cycle = 0; cycle < 6; ++cycle) {
    auto other = std::make_unique<TStrix>(Window);
    std::atomic<int> otherProgress{0};
    if (cycle % 3 != 2) {
      ASSERT_TRUE(other->LoadLibraries(LibAVDir(), true)) << other->LastError();
      other->SetLogLevel(llError);
      other->SetProgressInterval(100);
      other->OnProgress = [&](int, int, int, int, float, float, int64_t, int) { ++otherProgress; };
      for (int i = 0; i < 3; ++i) {
        const std::string output = Scratch.File("c" + std::to_string(cycle) + "_" + std::to_string(i) + ".mp4");
        ASSERT_EQ(other->AddTask(input), i) << other->LastError();
        ASSERT_TRUE(other->AddTaskOutput(i, output, WindowOutput())) << other->LastError();
      }
      other->StartTasks(cycle % 3 == 0 ? 2 : 0);
      if (cycle % 3 == 0) Window.ProcessEventsUntil([&] { return otherProgress.load() > 0; }, 30000);
    }
    other.reset();  // waits for its own workers; the other component's run goes on
    Window.ProcessEvents(10);
  }
  ASSERT_TRUE(WaitForRunEnd(1, 120000));
  ExpectRunReports(0, true);
  for (int i = 0; i < TaskCount; ++i) EXPECT_GT(FileSize(Output(0, i)), 0) << "task " << i;
}

TEST_F(StressTest, LogLinesFromManyThreadsArriveWholeAndOnce)
{
  constexpr int Threads = 6, LinesPerThread = 1500;
  std::mutex lock;
  std::map<std::string, int> lines;  // text after the prefix -> times seen
  std::atomic<int> fromNoTask{0};
  Strix->OnLog = [&](int AIndex, TLogLevel, const std::string &AMsg) {
    const auto mark = AMsg.find("stress-line ");
    if (mark == std::string::npos) return;  // the conversions' own lines
    if (AIndex == -1) ++fromNoTask;
    std::lock_guard<std::mutex> guard(lock);
    ++lines[AMsg.substr(mark)];
  };
  auto sendFromThreads = [](auto ASend) {
    std::vector<std::thread> senders;
    for (int t = 0; t < Threads; ++t) senders.emplace_back(ASend, t);
    for (auto &s : senders) s.join();
  };

  // Whole lines while conversions log on their own threads and components
  // join and leave the registry. (Runs starting and ending forget unfinished
  // lines, so each line is one call here.) The passing components' events
  // stay unassigned: lines from other threads may reach them at any moment.
  StartRound(0);
  std::atomic<bool> sending{true};
  std::thread churn([&] {
    while (sending.load()) {
      TPumpedWindowThread window;
      TStrix passing(window);
    }
  });
  sendFromThreads([](int AThread) {
    TTester object;
    for (int i = 0; i < LinesPerThread; ++i)
      AVUtilLib.av_log(i % 2 ? &object : nullptr, AV_LOG_ERROR, "stress-line %d %d\n", AThread, i);
  });
  sending = false;
  churn.join();
  ASSERT_TRUE(WaitForRunEnd(1, 120000));

  // Lines in pieces, once no run is active: assembled per thread, never mixed.
  sendFromThreads([](int AThread) {
    TTester object;
    for (int i = 0; i < LinesPerThread; ++i) {
      AVUtilLib.av_log(&object, AV_LOG_ERROR, "stress-line %d", Threads + AThread);
      AVUtilLib.av_log(nullptr, AV_LOG_ERROR, " %d", i);
      AVUtilLib.av_log(&object, AV_LOG_ERROR, "\n");
    }
  });
  Strix->UnassignEvents();

  std::lock_guard<std::mutex> guard(lock);
  EXPECT_EQ(lines.size(), static_cast<size_t>(2 * Threads * LinesPerThread));
  for (int t = 0; t < 2 * Threads; ++t)
    for (int i = 0; i < LinesPerThread; ++i) {
      auto it = lines.find("stress-line " + std::to_string(t) + " " + std::to_string(i));
      ASSERT_NE(it, lines.end()) << t << " " << i;
      EXPECT_EQ(it->second, 1) << t << " " << i;
    }
  EXPECT_EQ(fromNoTask.load(), 2 * Threads * LinesPerThread);
}

}  // namespace
