// Faults around a conversion: an output that cannot be created, a disk that
// fills up mid-run, an input that shrinks or vanishes while it is read.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <filesystem>
#include <thread>

#include "Corpus.h"
#include "FFmpeg.h"
#include "FFmpegThread.h"
#include "TestEnv.h"
#include "TestMedia.h"

namespace {

class FaultTest : public ::testing::Test {
 protected:
  void SetUp() override { qvtest::LoadLibs(); }

  // FLV1 + MP3, long enough that the MP4 outgrows the library's write buffer.
  std::string MakeInput(double ASeconds)
  {
    qvtest::TGenOptions gen;
    gen.VideoCodec = "flv";
    gen.AudioCodec = "libmp3lame";
    gen.Seconds = ASeconds;
    gen.FrameRate = {15, 1};
    const std::string in = Dir.File("in.flv");
    qvtest::MakeMedia(in, gen);
    return in;
  }

  qvtest::TScratchDir Dir;
};

TEST_F(FaultTest, AnOutputThatCannotBeCreatedIsRefusedByName)
{
  const std::string in = MakeInput(0.5);
  qvtest::WriteFile(Dir.File("plain"), "a regular file");
  const std::string targets[] = {Dir.File("missing-folder/out.mp4"), Dir.File("plain/out.mp4")};
  for (const std::string &target : targets) {
    SCOPED_TRACE(target);
    TCustomFFmpeg engine;
    const qvrel::TOutcome o = qvrel::ConvertWithEngine(engine, in, target);
    EXPECT_FALSE(o.Ok);
    EXPECT_EQ(o.Message, "Could not open '" + target + "'");
    const qvrel::TChild r = qvrel::RunCli(qvrel::WindowArgs(in, target), Dir.File("stderr.txt"));
    EXPECT_EQ(r.ExitCode, 1) << r.StdErr;
    EXPECT_NE(r.StdErr.find("Could not open '" + target + "'"), std::string::npos) << r.StdErr;
    EXPECT_FALSE(qvtest::FileExists(target));
  }
}

TEST_F(FaultTest, AFolderWithoutWritePermissionIsRefusedByName)
{
  // The super-user writes anywhere, so only an ordinary account can see this.
  if (geteuid() == 0) GTEST_SKIP() << "running as root: permissions are not enforced";
  const std::string in = MakeInput(0.5);
  const std::string folder = Dir.File("locked");
  ASSERT_EQ(mkdir(folder.c_str(), 0555), 0);
  const std::string target = folder + "/out.mp4";
  TCustomFFmpeg engine;
  const qvrel::TOutcome o = qvrel::ConvertWithEngine(engine, in, target);
  EXPECT_FALSE(o.Ok);
  EXPECT_EQ(o.Message, "Could not open '" + target + "'");
  const qvrel::TChild r = qvrel::RunCli(qvrel::WindowArgs(in, target), Dir.File("stderr.txt"));
  EXPECT_EQ(r.ExitCode, 1);
  EXPECT_NE(r.StdErr.find("Could not open '" + target + "'"), std::string::npos) << r.StdErr;
  chmod(folder.c_str(), 0755);
}

TEST_F(FaultTest, ADiskThatFillsUpEndsWithTheWriteErrorAndSparesTheInput)
{
  const std::string in = MakeInput(10.0);
  const std::string before = qvtest::ReadFile(in);
  struct TCase {
    long long Limit;
    const char *Where;  // the call that meets the full disk
  };
  // 100 kB: packets are still being written when the disk fills up.
  // 30 kB: all of it fits the write buffer, so the trailer meets it.
  const TCase cases[] = {{100 * 1024, "av_interleaved_write_frame(): "}, {30 * 1024, nullptr}};
  for (const TCase &c : cases) {
    SCOPED_TRACE(c.Limit);
    const std::string target = Dir.File("full.mp4");
    const qvrel::TChild r = qvrel::RunCli(qvrel::WindowArgs(in, target), Dir.File("stderr.txt"), c.Limit);
    ASSERT_FALSE(r.TimedOut);
    EXPECT_EQ(r.Signal, 0);
    EXPECT_EQ(r.ExitCode, 1) << r.StdErr;
    if (c.Where) EXPECT_NE(r.StdErr.find(c.Where), std::string::npos) << r.StdErr;
    // Whichever call meets it, the message is the write error's, not a generic one.
    EXPECT_NE(r.StdErr.find("write"), std::string::npos) << r.StdErr;
    EXPECT_LE(qvtest::FileSize(target), c.Limit);
    EXPECT_EQ(qvtest::ReadFile(in), before) << "input changed";
  }
}

TEST_F(FaultTest, AnInputTruncatedWhileReadEndsCleanly)
{
  const std::string in = MakeInput(4.0);
  const std::string target = Dir.File("out.mp4");
  std::atomic<int> progressCalls{0};
  TCustomFFmpeg engine;
  qvrel::TOutcome o;
  {
    qvrel::TWatchdog dog(120, "conversion of a truncated input");
    o = qvrel::ConvertWithEngine(engine, in, target, [&](TCustomFFmpeg &e) {
      e.ProgressInterval = 0;  // a report after every packet
      e.OnProgress = [&](TCustomFFmpeg *, int, int, int, float, float, int64_t, int) {
        if (progressCalls++ == 5) std::filesystem::resize_file(in, qvtest::FileSize(in) / 3);
      };
    });
  }
  ASSERT_GT(progressCalls.load(), 5);
  if (o.Ok)
    qvrel::ExpectValidMp4(target, true, true);
  else
    EXPECT_FALSE(o.Message.empty());
  qvrel::ExpectNoEmptyOutput(target);
}

TEST_F(FaultTest, AnInputChangedByAnotherThreadMidRunEndsCleanly)
{
  enum TChange { Delete, TruncateToZero, TruncateToHalf };
  for (TChange change : {Delete, TruncateToZero, TruncateToHalf}) {
    SCOPED_TRACE(change);
    const std::string in = MakeInput(4.0);
    const std::string target = Dir.File("out.mp4");
    TCustomFFmpeg engine;
    std::atomic<bool> done{false};
    engine.Prepare();
    ASSERT_TRUE(engine.OpenInputFile(in)) << engine.LastOptionError;
    for (const auto &[name, value] : qvrel::WindowOptions()) engine.SetOption(name, value);
    ASSERT_TRUE(engine.OpenOutputFile(target)) << engine.LastOptionError;
    engine.OnTerminate = [&](TCustomFFmpeg *) { done = true; };
    qvrel::TWatchdog dog(120, "threaded conversion of a changing input");
    TFFmpegThread *thread = engine.Start(true);
    ASSERT_NE(thread, nullptr);
    thread->Resume();
    std::thread changer([&] {
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
      if (change == Delete)
        std::filesystem::remove(in);
      else
        std::filesystem::resize_file(in, change == TruncateToZero ? 0 : qvtest::FileSize(in) / 2);
    });
    changer.join();
    engine.WaitForThread();
    EXPECT_TRUE(engine.Finished || engine.ExceptionRaised);
    if (engine.Finished && !engine.ExceptionRaised)
      qvrel::ExpectValidMp4(target, true, true);
    else
      EXPECT_FALSE(engine.LastErrorMessage.empty());
    qvrel::ExpectNoEmptyOutput(target);
  }
}

}  // namespace
