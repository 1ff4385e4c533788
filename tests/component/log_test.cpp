// The log callback: per-thread line assembly, prefixes, routing to tasks,
// level filtering and the bounded formatting buffer.
#include <gtest/gtest.h>
#include <unistd.h>

#include <condition_variable>
#include <cstdarg>
#include <thread>

#include "ComponentTestSupport.h"
#include "LibLoader.h"
#include "Task.h"

namespace {

using namespace qvtest;

// A library object as the callback sees one: its first member is the class.
const char *TesterName(void *) { return "tester"; }
const AVClass TesterClass = {"Tester", &TesterName, nullptr, LIBAVUTIL_VERSION_INT};
struct TTester {
  const AVClass *Class = &TesterClass;
};

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
    SavedLevel = LibraryLogLevel.load();
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
  std::string Prefix() const
  {
    char buf[64];
    snprintf(buf, sizeof buf, "[tester @ %08X]",
             static_cast<unsigned>(reinterpret_cast<uintptr_t>(&TesterClass) & 0xFFFFFFFFu));
    return buf;
  }
  int SavedLevel = 1;
  std::mutex Lock;
  std::vector<TLine> Lines;
  TTester Tester;
};

TEST_F(LogRoutingTest, LinesAssembleAcrossMessagesWithPrefixOnlyAtStart)
{
  Log(&Tester, AV_LOG_ERROR, "abc");
  EXPECT_TRUE(Texts().empty());  // no line break yet
  Log(&Tester, AV_LOG_ERROR, "def%d\n", 7);
  ASSERT_EQ(Texts(), std::vector<std::string>{Prefix() + "abcdef7"});
  EXPECT_EQ(Lines[0].Level, llError);
  EXPECT_EQ(Lines[0].Index, -1);

  Log(nullptr, AV_LOG_INFO, "plain\r\n");  // no context: no prefix; the CR stays
  EXPECT_EQ(Texts().back(), "plain\r");
  EXPECT_EQ(Lines.back().Level, llInfo);
}

TEST_F(LogRoutingTest, SeveralBreaksGiveSeveralLinesAndKeepTheRest)
{
  Log(nullptr, AV_LOG_INFO, "x\ny\nz");
  EXPECT_EQ(Texts(), (std::vector<std::string>{"x", "y"}));
  Log(&Tester, AV_LOG_INFO, "!\n");  // continues z: no prefix in the middle
  EXPECT_EQ(Texts(), (std::vector<std::string>{"x", "y", "z!"}));
}

TEST_F(LogRoutingTest, ClearingForgetsUnfinishedLines)
{
  Log(nullptr, AV_LOG_INFO, "stale");
  ClearLogLines();
  Log(nullptr, AV_LOG_INFO, "fresh\n");
  EXPECT_EQ(Texts(), std::vector<std::string>{"fresh"});
}

TEST_F(LogRoutingTest, LevelsAboveTheLibraryLevelAreDropped)
{
  SetLibraryLogLevel(1);
  Log(nullptr, AV_LOG_DEBUG, "debug\n");
  Log(nullptr, AV_LOG_VERBOSE, "verbose\n");
  Log(nullptr, AV_LOG_WARNING, "warning\n");
  Log(nullptr, AV_LOG_PANIC, "panic\n");
  EXPECT_EQ(Texts(), (std::vector<std::string>{"warning", "panic"}));
  EXPECT_EQ(Lines[1].Level, llError);
}

TEST_F(LogRoutingTest, TwoThreadsDoNotMix)
{
  // Strict alternation of the two threads' partial messages.
  std::mutex stepLock;
  std::condition_variable stepWake;
  int step = 0;
  auto worker = [&](int AMine, const char *ATag) {
    for (int part = 0; part < 3; ++part) {
      std::unique_lock<std::mutex> lock(stepLock);
      stepWake.wait(lock, [&] { return step % 2 == AMine; });
      lock.unlock();
      Log(nullptr, AV_LOG_INFO, part < 2 ? "%s%d-" : "%s%d\n", ATag, part);
      lock.lock();
      ++step;
      stepWake.notify_all();
    }
  };
  std::thread a(worker, 0, "a"), b(worker, 1, "b");
  a.join();
  b.join();
  EXPECT_EQ(Texts(), (std::vector<std::string>{"a0-a1-a2", "b0-b1-b2"}));
}

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

  // A pending text that fills the buffer by itself still leaves room.
  Log(nullptr, AV_LOG_INFO, "%s", huge.c_str());
  Log(nullptr, AV_LOG_INFO, "%s\n", huge.c_str());
  Log(nullptr, AV_LOG_INFO, "end\n");
  EXPECT_EQ(Texts().back(), std::string(LogBufferSize / 2 - 1, 'q') + "end");
}

TEST_F(LogRoutingTest, LinesReachTheTaskOnTheLoggingThread)
{
  for (int i = 0; i < 3; ++i) ASSERT_EQ(Strix->AddTask(Sample("ruffle__dummy.flv")), i) << Strix->LastError();
  const auto me = static_cast<uint32_t>(gettid());
  Strix->Tasks(2).ThreadId = me;
  Log(nullptr, AV_LOG_ERROR, "mine\n");
  Strix->DeleteTask(0);  // the former task 2 is now task 1
  Log(nullptr, AV_LOG_ERROR, "moved\n");
  std::thread([] { Log(nullptr, AV_LOG_ERROR, "elsewhere\n"); }).join();
  ASSERT_EQ(Lines.size(), 3u);
  EXPECT_EQ(Lines[0].Index, 2);
  EXPECT_EQ(Lines[1].Index, 1);
  EXPECT_EQ(Lines[2].Index, -1);
  Strix->Tasks(1).ThreadId = 0;
}

TEST_F(LogRoutingTest, EveryComponentSeesEveryLine)
{
  TStrix other(Window);
  std::vector<std::string> seen;
  other.OnLog = [&](int, TLogLevel, const std::string &AMsg) { seen.push_back(AMsg); };
  Log(nullptr, AV_LOG_ERROR, "both\n");
  EXPECT_EQ(seen, std::vector<std::string>{"both"});
  EXPECT_EQ(Texts(), std::vector<std::string>{"both"});
}

TEST(LogLevels, SystemLevelsMapToComponentLevels)
{
  EXPECT_EQ(LogLevelFromSystem(-1), llQuiet);
  EXPECT_EQ(LogLevelFromSystem(0), llError);
  EXPECT_EQ(LogLevelFromSystem(1), llInfo);
  EXPECT_EQ(LogLevelFromSystem(2), llDebug);
  EXPECT_EQ(LogLevelFromSystem(3), llAll);
  EXPECT_EQ(LogLevelFromSystem(9), llAll);
}

TEST(LogList, HeadIsReusedAndNewThreadsChainUntilCleared)
{
  TLogList list;
  TLogItem &head = list.FindOrAdd(5);
  head.Pending = "p";
  EXPECT_EQ(&list.FindOrAdd(5), &head);
  TLogItem &second = list.FindOrAdd(6);
  EXPECT_NE(&second, &head);
  EXPECT_EQ(second.Pending, "");
  EXPECT_EQ(&list.FindOrAdd(6), &second);
  EXPECT_EQ(list.ItemCount(), 2u);
  list.Clear();
  EXPECT_EQ(list.ItemCount(), 0u);
  TLogItem &again = list.FindOrAdd(7);
  EXPECT_EQ(again.ThreadId, 7u);
  EXPECT_EQ(again.Pending, "");
}

}  // namespace
