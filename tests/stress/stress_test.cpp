// Stress on the component's threads: eight tasks three at a time stopped at
// varying points and started again, components created and destroyed while
// conversions run, and library log lines from many threads at once. Inputs
// are one-second FLVs so the whole file stays fast under the sanitizers.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <map>
#include <mutex>
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
  // Replaces the task list with TaskCount conversions of one short input,
  // each to its own output of round ARound.
  void AddRound(int ARound)
  {
    Strix->DeleteAllTasks();
    const std::string input = Media("short.flv", 1.0);
    for (int i = 0; i < TaskCount; ++i)
      ASSERT_EQ(AddConversion(input, Output(ARound, i)), i) << Strix->LastError();
  }
  std::string Output(int ARound, int ATask) const
  {
    return Scratch.File("r" + std::to_string(ARound) + "_" + std::to_string(ATask) + ".mp4");
  }
  int RunningTasks()
  {
    int running = 0;
    for (int i = 0; i < Strix->TaskCount(); ++i) running += Strix->Tasks(i).Running ? 1 : 0;
    return running;
  }
};

// Every task ends exactly once and the run's own end comes last.
void ExpectEachTaskEndsOnceThenTheRun(const std::vector<TEndReport> &AReports, size_t AFrom)
{
  ASSERT_EQ(AReports.size(), AFrom + TaskCount + 1);
  std::multiset<int> tasks;
  for (size_t i = AFrom; i < AFrom + TaskCount; ++i) tasks.insert(AReports[i].Index);
  for (int i = 0; i < TaskCount; ++i) EXPECT_EQ(tasks.count(i), 1u) << "task " << i;
  EXPECT_EQ(AReports.back().Index, -1);
}

TEST_F(StressTest, EightTasksThreeAtATimeStoppedAndRestartedInLoops)
{
  TEndRecorder rec;
  rec.Attach(*Strix);
  std::atomic<int> progress{0};
  Strix->SetProgressInterval(100);
  Strix->OnProgress = [&](int, int, int, int, float, float, int64_t, int) { ++progress; };

  // Stops at growing delays: before any worker got far, mid-way, late.
  const int stopAfterMs[] = {0, 5, 40, 150, 400};
  int maxRunning = 0;
  size_t seen = 0;
  for (int round = 0; round < static_cast<int>(std::size(stopAfterMs)); ++round) {
    AddRound(round);
    Strix->StartTasks(Concurrency);
    const auto stopAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(stopAfterMs[round]);
    Window.ProcessEventsUntil(
        [&] {
          maxRunning = std::max(maxRunning, RunningTasks());
          return std::chrono::steady_clock::now() >= stopAt || rec.RunEnds.load() > round;
        },
        60000);
    Strix->StopTasks();
    ASSERT_TRUE(WaitForRunEnd(rec, round + 1)) << "round " << round;
    auto reports = rec.Reports();
    ExpectEachTaskEndsOnceThenTheRun(reports, seen);
    for (size_t i = seen; i + 1 < reports.size(); ++i) EXPECT_FALSE(reports[i].Exception) << reports[i].Message;
    seen = reports.size();
    EXPECT_FALSE(Strix->RunActive());
  }

  // After all that, a run left alone converts every task.
  const int last = static_cast<int>(std::size(stopAfterMs));
  AddRound(last);
  Strix->StartTasks(Concurrency);
  ASSERT_TRUE(Window.ProcessEventsUntil(
      [&] {
        maxRunning = std::max(maxRunning, RunningTasks());
        return rec.RunEnds.load() > last;
      },
      120000));
  auto reports = rec.Reports();
  ExpectEachTaskEndsOnceThenTheRun(reports, seen);
  for (size_t i = seen; i + 1 < reports.size(); ++i) EXPECT_TRUE(reports[i].Finished) << reports[i].Message;
  EXPECT_LE(maxRunning, Concurrency);
  for (int i = 0; i < TaskCount; ++i) {
    TMediaInfo info;
    std::string error;
    ASSERT_TRUE(ProbeMedia(Output(last, i), info, &error)) << error;
    ASSERT_NE(info.Find(AVMEDIA_TYPE_VIDEO), nullptr);
    EXPECT_GT(info.Find(AVMEDIA_TYPE_VIDEO)->Packets, 0);
  }
  Strix->UnassignEvents();
}

TEST_F(StressTest, ComponentsComeAndGoWhileOthersConvert)
{
  // The long-lived component converts all the while.
  TEndRecorder rec;
  rec.Attach(*Strix);
  AddRound(0);
  Strix->StartTasks(Concurrency);

  // Short-lived components on the same window thread: some destroyed while
  // their conversions run, some before they started, some never loaded.
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
        const int index = other->AddTask(input);
        ASSERT_EQ(index, i) << other->LastError();
        ASSERT_TRUE(other->AddTaskOutput(index, Scratch.File("c" + std::to_string(cycle) + "_" +
                                                             std::to_string(i) + ".mp4"),
                                         WindowOutput()))
            << other->LastError();
      }
      other->StartTasks(cycle % 3 == 0 ? 2 : 0);  // on workers, or inline through the timer
      if (cycle % 3 == 0) Window.ProcessEventsUntil([&] { return otherProgress.load() > 0; }, 30000);
    }
    other.reset();  // waits for its own workers; the other component's run goes on
    Window.ProcessEvents(10);
  }

  ASSERT_TRUE(WaitForRunEnd(rec, 1, 120000));
  auto reports = rec.Reports();
  ExpectEachTaskEndsOnceThenTheRun(reports, 0);
  for (size_t i = 0; i + 1 < reports.size(); ++i) EXPECT_TRUE(reports[i].Finished) << reports[i].Message;
  for (int i = 0; i < TaskCount; ++i) EXPECT_GT(FileSize(Output(0, i)), 0) << "task " << i;
}

// A library object as the log callback sees one: its first member is the class.
const char *StressName(void *) { return "stress"; }
AVClass MakeStressClass()
{
  AVClass c{};
  c.class_name = "Stress";
  c.item_name = &StressName;
  c.version = LIBAVUTIL_VERSION_INT;
  return c;
}
const AVClass StressClass = MakeStressClass();
struct TStressObject {
  const AVClass *Class = &StressClass;
};

TEST_F(StressTest, LogLinesFromManyThreadsArriveWholeAndOnce)
{
  constexpr int Threads = 6;
  constexpr int LinesPerThread = 1500;
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

  // Conversions run (and log on their own threads) while the lines arrive.
  // Runs start and end meanwhile, which forget unfinished lines, so every
  // line here is sent in one call; the split lines below come once no run
  // is active.
  TEndRecorder rec;
  rec.Attach(*Strix);
  AddRound(0);
  Strix->StartTasks(Concurrency);

  auto sendWhole = [](int AThread) {
    TStressObject object;
    for (int i = 0; i < LinesPerThread; ++i)
      AVUtilLib.av_log(i % 2 ? &object : nullptr, AV_LOG_ERROR, "stress-line %d %d\n", AThread, i);
  };
  std::vector<std::thread> senders;
  for (int t = 0; t < Threads; ++t) senders.emplace_back(sendWhole, t);
  // Components join and leave the registry while the callback delivers.
  // (Their events stay unassigned: once a component exists, lines from other
  // threads may reach it at any moment, so assigning OnLog would race.)
  std::atomic<bool> sending{true};
  std::thread churn([&] {
    while (sending.load()) {
      TPumpedWindowThread window;
      TStrix passing(window);
    }
  });
  for (auto &s : senders) s.join();
  sending = false;
  churn.join();
  ASSERT_TRUE(WaitForRunEnd(rec, 1, 120000));

  // Lines in pieces from many threads: assembled per thread, never mixed.
  auto sendPieces = [](int AThread) {
    TStressObject object;
    for (int i = 0; i < LinesPerThread; ++i) {
      AVUtilLib.av_log(&object, AV_LOG_ERROR, "stress-line %d", Threads + AThread);
      AVUtilLib.av_log(nullptr, AV_LOG_ERROR, " %d", i);
      AVUtilLib.av_log(&object, AV_LOG_ERROR, "\n");
    }
  };
  senders.clear();
  for (int t = 0; t < Threads; ++t) senders.emplace_back(sendPieces, t);
  for (auto &s : senders) s.join();
  Strix->UnassignEvents();

  std::lock_guard<std::mutex> guard(lock);
  ASSERT_EQ(lines.size(), static_cast<size_t>(2 * Threads * LinesPerThread));
  for (int t = 0; t < 2 * Threads; ++t)
    for (int i = 0; i < LinesPerThread; ++i) {
      const std::string text = "stress-line " + std::to_string(t) + " " + std::to_string(i);
      auto it = lines.find(text);
      ASSERT_NE(it, lines.end()) << text;
      EXPECT_EQ(it->second, 1) << text;
    }
  EXPECT_EQ(fromNoTask.load(), 2 * Threads * LinesPerThread);
}

}  // namespace
