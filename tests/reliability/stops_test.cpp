// Conversions stopped at random moments, through the engine from another
// thread and through Ctrl-C to the command: every output that exists keeps
// its trailer and plays.
#include <gtest/gtest.h>
#include <signal.h>

#include <chrono>
#include <random>
#include <thread>

#include "Corpus.h"
#include "FFmpeg.h"
#include "FFmpegThread.h"
#include "TestEnv.h"
#include "TestMedia.h"

namespace {

class StopTest : public ::testing::Test {
 protected:
  void SetUp() override
  {
    qvtest::LoadLibs();
    qvtest::TGenOptions gen;
    gen.VideoCodec = "flv";
    gen.AudioCodec = "libmp3lame";
    gen.Seconds = 3.0;
    gen.FrameRate = {15, 1};
    In = Dir.File("in.flv");
    qvtest::MakeMedia(In, gen);
  }

  std::string In;
  qvtest::TScratchDir Dir;
};

TEST_F(StopTest, EngineStoppedFromAnotherThreadLeavesAPlayableOutput)
{
  std::mt19937 rng(2024);
  int stopped = 0;
  for (int i = 0; i < 20; ++i) {
    SCOPED_TRACE(i);
    const std::string target = Dir.File("stop" + std::to_string(i) + ".mp4");
    // Early stops hit the set-up, later ones the packet loop or the flush.
    const int delayUs = static_cast<int>(rng() % 250000);
    TCustomFFmpeg engine;
    engine.Prepare();
    ASSERT_TRUE(engine.OpenInputFile(In)) << engine.LastOptionError;
    for (const auto &[name, value] : qvrel::WindowOptions()) engine.SetOption(name, value);
    ASSERT_TRUE(engine.OpenOutputFile(target)) << engine.LastOptionError;
    qvrel::TWatchdog dog(120, "stopped conversion");
    TFFmpegThread *thread = engine.Start(true);
    ASSERT_NE(thread, nullptr);
    thread->Resume();
    std::this_thread::sleep_for(std::chrono::microseconds(delayUs));
    engine.Stop();
    engine.WaitForThread();
    EXPECT_FALSE(engine.ExceptionRaised) << engine.LastErrorMessage;
    if (!engine.Finished) ++stopped;
    qvrel::ExpectNoEmptyOutput(target);
    if (qvtest::FileExists(target)) qvrel::ExpectValidMp4(target, true, true);
  }
  EXPECT_GT(stopped, 0) << "no run was stopped before its end";
}

// A stop that lands before the first packet leaves no output at all rather
// than an MP4 without a single stream, and the run ends as stopped.
TEST_F(StopTest, AStopBeforeTheFirstPacketLeavesNoStreamlessOutput)
{
  const std::string target = Dir.File("early.mp4");
  TCustomFFmpeg engine;
  engine.Prepare();
  ASSERT_TRUE(engine.OpenInputFile(In)) << engine.LastOptionError;
  for (const auto &[name, value] : qvrel::WindowOptions()) engine.SetOption(name, value);
  ASSERT_TRUE(engine.OpenOutputFile(target)) << engine.LastOptionError;
  qvrel::TWatchdog dog(120, "conversion stopped before it began");
  TFFmpegThread *thread = engine.Start(true);
  ASSERT_NE(thread, nullptr);
  engine.Stop();  // resumes the suspended worker, which sees the request at once
  engine.WaitForThread();
  EXPECT_FALSE(engine.Finished);
  EXPECT_FALSE(engine.ExceptionRaised) << engine.LastErrorMessage;
  EXPECT_EQ(engine.LastErrorMessage, "");
  EXPECT_FALSE(qvtest::FileExists(target)) << "size " << qvtest::FileSize(target);
}

TEST_F(StopTest, CtrlCToTheCommandLeavesAPlayableOutput)
{
  std::mt19937 rng(77);
  int interrupted = 0;
  for (int i = 0; i < 10; ++i) {
    SCOPED_TRACE(i);
    const std::string target = Dir.File("int" + std::to_string(i) + ".mp4");
    const std::string err = Dir.File("stderr" + std::to_string(i) + ".txt");
    const pid_t pid = qvrel::StartCli(qvrel::WindowArgs(In, target), err);
    ASSERT_GT(pid, 0);
    // The handler is in place before the output is created; wait for the
    // file, so the signal reaches the job rather than the library loading.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!qvtest::FileExists(target) && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    std::this_thread::sleep_for(std::chrono::microseconds(rng() % 300000));
    kill(pid, SIGINT);
    const qvrel::TChild r = qvrel::WaitCli(pid, err);
    ASSERT_FALSE(r.TimedOut);
    EXPECT_EQ(r.Signal, 0) << r.StdErr;
    // 0 when the job had already finished.
    EXPECT_TRUE(r.ExitCode == 130 || r.ExitCode == 0) << r.ExitCode << "\n" << r.StdErr;
    if (r.ExitCode == 130) ++interrupted;
    qvrel::ExpectNoEmptyOutput(target);
    if (qvtest::FileExists(target)) qvrel::ExpectValidMp4(target, true, true);
  }
  EXPECT_GT(interrupted, 0) << "no run was interrupted before its end";
}

}  // namespace
