// The log callback: per-thread line assembly, prefixes, routing to tasks,
// level filtering and the bounded formatting buffer.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdarg>
#include <thread>

#include "ComponentTestSupport.h"
#include "LibLoader.h"
#include "Task.h"

namespace {

using namespace qvtest;

TTester Tester;

void Log(void *AContext, int ALevel, const char *AFormat, ...)
{
  va_list args;
  va_start(args, AFormat);
  LogCallback(AContext, ALevel, AFormat, args);
  va_end(args);
}

struct TLine {
  int Index;
  TLogLevel Level;
  std::string Text;
};

class LogRoutingTest : public TComponentTest {
 protected:
  void SetUp() override
  {
    TComponentTest::SetUp();
    SetLibraryLogLevel(3);
    ClearLogLines();
    Strix->OnLog = [this](int AIndex, TLogLevel ALevel, const std::string &AMsg) {
      std::lock_guard<std::mutex> lock(Lock);
      Lines.push_back(TLine{AIndex, ALevel, AMsg});
    };
  }
  void TearDown() override
  {
    Strix->UnassignEvents();
    ClearLogLines();
    SetLibraryLogLevel(SavedLevel);
    TComponentTest::TearDown();
  }
  std::vector<std::string> Texts()
  {
    std::lock_guard<std::mutex> lock(Lock);
    std::vector<std::string> out;
    for (auto &line : Lines) out.push_back(line.Text);
    return out;
  }
  static std::string Prefix()
  {
    char buf[64];
    snprintf(buf, sizeof buf, "[tester @ %08X]",
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(TesterClass()) & 0xFFFFFFFFu));
    return buf;
  }
  using TTexts = std::vector<std::string>;
  const int SavedLevel = LibraryLogLevel.load();
  std::mutex Lock;
  std::vector<TLine> Lines;
};

TEST_F(LogRoutingTest, LinesAssembleAcrossMessagesWithPrefixOnlyAtStart)
{
  Log(&Tester, AV_LOG_ERROR, "abc");
  EXPECT_TRUE(Texts().empty());  // no line break yet
  Log(&Tester, AV_LOG_ERROR, "def%d\n", 7);
  ASSERT_EQ(Texts(), TTexts{Prefix() + "abcdef7"});
  EXPECT_EQ(Lines[0].Level, llError);
  EXPECT_EQ(Lines[0].Index, -1);  // this thread runs no task

  Log(nullptr, AV_LOG_INFO, "plain\r\n");  // no context: no prefix; the CR stays
  EXPECT_EQ(Texts().back(), "plain\r");
  EXPECT_EQ(Lines.back().Level, llInfo);

  Lines.clear();
  Log(nullptr, AV_LOG_INFO, "x\ny\nz");
  EXPECT_EQ(Texts(), (TTexts{"x", "y"}));
  Log(&Tester, AV_LOG_INFO, "!\n");  // continues z: no prefix in the middle
  EXPECT_EQ(Texts(), (TTexts{"x", "y", "z!"}));

  Log(nullptr, AV_LOG_INFO, "stale");
  ClearLogLines();  // forgets unfinished lines
  Log(nullptr, AV_LOG_INFO, "fresh\n");
  EXPECT_EQ(Texts().back(), "fresh");
}

TEST_F(LogRoutingTest, LevelsAboveTheLibraryLevelAreDropped)
{
  SetLibraryLogLevel(1);
  for (int level : {AV_LOG_DEBUG, AV_LOG_VERBOSE, AV_LOG_WARNING, AV_LOG_PANIC}) Log(nullptr, level, "%d\n", level);
  EXPECT_EQ(Texts(), (TTexts{std::to_string(AV_LOG_WARNING), std::to_string(AV_LOG_PANIC)}));
  EXPECT_EQ(Lines[1].Level, llError);
  EXPECT_EQ(LogLevelFromSystem(-1), llQuiet);
  EXPECT_EQ(LogLevelFromSystem(9), llAll);
}

TEST_F(LogRoutingTest, TwoThreadsDoNotMix)
{
  // Strict alternation of the two threads' partial messages.
  std::mutex stepLock;
  std::condition_variable stepWake;
  int step = 0;
  auto worker = [&](int AMine, const char *ATag) {
    for (int piece = 0; piece < 3; ++piece) {
      std::unique_lock<std::mutex> lock(stepLock);
      stepWake.wait(lock, [&] { return step % 2 == AMine; });
      lock.unlock();
      Log(nullptr, AV_LOG_INFO, piece < 2 ? "%s%d-" : "%s%d\n", ATag, piece);
      lock.lock();
      ++step;
      stepWake.notify_all();
    }
  };
  std::thread a(worker, 0, "a"), b(worker, 1, "b");
  a.join();
  b.join();
  EXPECT_EQ(Texts(), (TTexts{"a0-a1-a2", "b0-b1-b2"}));
}

// Regression: the formatting buffer overflowed on long messages.
TEST_F(LogRoutingTest, OverlongMessageIsCutNotOverflowed)
{
  std::string huge(3 * LogBufferSize, 'q');
  Log(&Tester, AV_LOG_INFO, "%s%s\n", huge.c_str(), huge.c_str());
  Log(nullptr, AV_LOG_INFO, "after\n");
  // The cut message never reached its line break, so it completes the next line.
  auto texts = Texts();
  ASSERT_EQ(texts.size(), 1u);
  EXPECT_LE(texts[0].size(), LogBufferSize - 1);
  EXPECT_EQ(texts[0].substr(0, Prefix().size()), Prefix());
  EXPECT_EQ(texts[0].substr(texts[0].size() - 5), "after");

  // A pending text that fills the buffer by itself still leaves room for
  // the message that ends its line.
  Log(nullptr, AV_LOG_INFO, "%s", huge.c_str());
  Log(nullptr, AV_LOG_INFO, "%s\n", huge.c_str());
  Log(nullptr, AV_LOG_INFO, "end\n");
  EXPECT_EQ(Texts().back(), std::string(LogBufferSize - 1 - 4, 'q') + "end");

  // A continued line that fits the buffer is not cut at all.
  const std::string first(1500, 'p'), second(500, 'r');
  Log(nullptr, AV_LOG_INFO, "%s", first.c_str());
  Log(nullptr, AV_LOG_INFO, "%s\n", second.c_str());
  EXPECT_EQ(Texts().back(), first + second);
}

// Library lines reach OnLog through the virtual DoLog, as the engine's own
// lines do, with the task that runs on the logging thread.
TEST_F(LogRoutingTest, LibraryLinesGoThroughTheOverridableDoLog)
{
  struct TSeen {
    TFFmpeg *Task;
    int Level;
    std::string Msg;
  };
  class TWatchingStrix : public TStrix {
   public:
    using TStrix::TStrix;
    ~TWatchingStrix() override { Shutdown(); }
    std::vector<TSeen> Seen;

   protected:
    void DoLog(TFFmpeg *ATask, int ALevel, const std::string &AMsg) override
    {
      Seen.push_back(TSeen{ATask, ALevel, AMsg});
      TStrix::DoLog(ATask, ALevel, AMsg);
    }
  };
  TWatchingStrix watching(Window);
  ASSERT_TRUE(watching.LoadLibraries(LibAVDir(), true));
  SetLibraryLogLevel(3);
  ASSERT_EQ(watching.AddTask(Sample("ruffle__dummy.flv")), 0) << watching.LastError();
  std::vector<std::string> raised;
  watching.OnLog = [&](int AIndex, TLogLevel, const std::string &AMsg) {
    raised.push_back(std::to_string(AIndex) + " " + AMsg);
  };
  watching.Seen.clear();
  Log(&Tester, AV_LOG_WARNING, "no task\n");
  watching.Tasks(0).ThreadId = ThisThread();
  Log(nullptr, AV_LOG_ERROR, "task\n");
  watching.Tasks(0).ThreadId = 0;
  ASSERT_EQ(watching.Seen.size(), 2u);
  EXPECT_EQ(watching.Seen[0].Task, nullptr);
  EXPECT_EQ(watching.Seen[0].Level, 1);
  EXPECT_EQ(watching.Seen[0].Msg, Prefix() + "no task");
  EXPECT_EQ(watching.Seen[1].Task, &watching.Tasks(0));
  EXPECT_EQ(watching.Seen[1].Level, 0);
  EXPECT_EQ(raised, (std::vector<std::string>{"-1 " + Prefix() + "no task", "0 task"}));
}

// A line belongs to the component whose task runs on the logging thread, or
// which opens a file on it; a line nobody owns reaches every component.
TEST_F(LogRoutingTest, LinesReachOnlyTheComponentWhoseThreadLoggedThem)
{
  for (int i = 0; i < 3; ++i) ASSERT_EQ(Strix->AddTask(Sample("ruffle__dummy.flv")), i) << Strix->LastError();
  TStrix other(Window);
  std::vector<TLine> seen;
  other.OnLog = [&](int AIndex, TLogLevel ALevel, const std::string &AMsg) { seen.push_back({AIndex, ALevel, AMsg}); };
  Strix->Tasks(2).ThreadId = ThisThread();
  Log(nullptr, AV_LOG_ERROR, "mine\n");
  Strix->DeleteTask(0);  // the former task 2 is now task 1
  Log(nullptr, AV_LOG_ERROR, "moved\n");
  Strix->Tasks(1).ThreadId = 0;
  std::thread([] { Log(nullptr, AV_LOG_ERROR, "elsewhere\n"); }).join();
  // Opening an input that is no media file: what the demuxer says of it
  // is the opening component's only.
  const std::string junk = Scratch.File("junk.mp4");
  WriteFile(junk, std::string("\0\0\0\x10" "ftypisom\0\0\0\0", 16));
  EXPECT_EQ(Strix->AddTask(junk), -1);
  const TTexts texts = Texts();
  ASSERT_GE(texts.size(), 4u);
  EXPECT_EQ(TTexts(texts.begin(), texts.begin() + 3), (TTexts{"mine", "moved", "elsewhere"}));
  EXPECT_EQ(Lines[0].Index, 2);
  EXPECT_EQ(Lines[1].Index, 1);
  for (size_t i = 2; i < Lines.size(); ++i) EXPECT_EQ(Lines[i].Index, -1) << Lines[i].Text;
  ASSERT_EQ(seen.size(), 1u);
  EXPECT_EQ(seen[0].Text, "elsewhere");
  EXPECT_EQ(seen[0].Index, -1);
}

// A run that gives its audio and video paths threads of their own: what the
// libraries say on those threads is the task's too.
TEST_F(LogRoutingTest, LinesFromTheRunsStageThreadsCarryTheTaskIndex)
{
  Strix->SetThreadBudget(2);
  Strix->SetLogLevel(llAll);
  const int index = Strix->AddTask(Media("in.flv", 1.0));
  ASSERT_EQ(index, 0) << Strix->LastError();
  ASSERT_TRUE(Strix->AddTaskOutput(index, Scratch.File("out.mp4"), WindowOutput())) << Strix->LastError();
  Strix->StartTasks(1);
  ASSERT_TRUE(WaitForRunEnd());
  // The resamplers are made on the run's thread (the encoder's format) and on
  // the audio path's own thread (the decoder's first block).
  int resamplerLines = 0;
  std::lock_guard<std::mutex> lock(Lock);
  for (const TLine &line : Lines)
    if (line.Text.rfind("[SWR @", 0) == 0) {
      ++resamplerLines;
      EXPECT_EQ(line.Index, 0) << line.Text;
    }
  EXPECT_GE(resamplerLines, 2);
}

}  // namespace
