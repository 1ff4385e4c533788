// End-to-end runs of the engine: stream copy, limits, stops, failures.
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <thread>

#include "FFmpeg.h"
#include "FFmpegThread.h"
#include "TestEnv.h"
#include "TestMedia.h"

namespace {

using qvtest::TMediaInfo;
using qvtest::TStreamInfo;

class TranscodeTest : public ::testing::Test {
 protected:
  void SetUp() override { qvtest::LoadLibs(); }

  // Opens AIn, applies AOptions (name, value) before the output, runs to the end.
  void Run(TCustomFFmpeg &AEngine, const std::string &AIn, const std::string &AOut,
           const std::vector<std::pair<std::string, std::string>> &AOptions)
  {
    AEngine.Prepare();
    AEngine.OnLog = [this](TCustomFFmpeg *, int level, const std::string &msg) {
      if (level <= 0) Errors += msg + "\n";
    };
    ASSERT_TRUE(AEngine.OpenInputFile(AIn)) << AEngine.LastOptionError;
    for (const auto &[name, value] : AOptions) AEngine.SetOption(name, value);
    ASSERT_TRUE(AEngine.OpenOutputFile(AOut)) << AEngine.LastOptionError;
    AEngine.Start(false);
  }

  std::string Errors;
  qvtest::TScratchDir Dir;
};

bool Mp4Takes(const TStreamInfo &AStream)
{
  static const char *const kCodecs[] = {"h264", "aac", "mp3", "mpeg4"};
  for (const char *c : kCodecs)
    if (AStream.Codec == c) return true;
  return false;
}

double FrameTime(const TStreamInfo &AStream)
{
  if (AStream.Type == AVMEDIA_TYPE_VIDEO && AStream.FrameRate.num > 0)
    return static_cast<double>(AStream.FrameRate.den) / AStream.FrameRate.num;
  return 0.1;  // audio packets are far shorter than this
}

TEST_F(TranscodeTest, StreamCopyOfEverySampleKeepsCodecsPacketsAndDuration)
{
  for (const std::string &sample : qvtest::AllSamples()) {
    TMediaInfo in;
    ASSERT_TRUE(qvtest::ProbeMedia(sample, in)) << sample;
    int64_t readable = 0;
    bool mp4Ok = !in.Streams.empty();
    for (const auto &s : in.Streams) {
      readable += s.Packets;
      mp4Ok = mp4Ok && Mp4Takes(s);
    }
    if (readable == 0) continue;  // the broken sample has its own test
    std::vector<std::string> outs = {"copy.flv"};
    if (mp4Ok) outs.push_back("copy.mp4");
    for (const std::string &name : outs) {
      SCOPED_TRACE(sample + " -> " + name);
      const std::string out = Dir.File(name);
      TCustomFFmpeg engine;
      Run(engine, sample, out, {{"vcodec", "copy"}, {"acodec", "copy"}});
      ASSERT_FALSE(engine.ExceptionRaised) << engine.LastErrorMessage;
      EXPECT_TRUE(engine.Finished);
      TMediaInfo got;
      ASSERT_TRUE(qvtest::ProbeMedia(out, got));
      ASSERT_EQ(got.Streams.size(), in.Streams.size());
      for (const auto &src : in.Streams) {
        const TStreamInfo *dst = got.Find(src.Type);
        ASSERT_NE(dst, nullptr);
        EXPECT_EQ(dst->Codec, src.Codec);
        EXPECT_EQ(dst->Packets, src.Packets - src.PacketsBeforeFirstKey);
        EXPECT_NEAR(dst->Duration, src.Duration, FrameTime(src) + 0.001);
      }
    }
  }
}

TEST_F(TranscodeTest, InputWithoutReadablePacketsFailsAndLeavesNoOutput)
{
  const std::string out = Dir.File("broken.mp4");
  TCustomFFmpeg engine;
  Run(engine, qvtest::Sample("red5-server__h264_aac.flv"), out, {{"acodec", "copy"}});
  EXPECT_TRUE(engine.ExceptionRaised);
  EXPECT_FALSE(engine.Finished);
  EXPECT_NE(engine.LastErrorMessage.find("red5-server__h264_aac.flv"), std::string::npos) << engine.LastErrorMessage;
  EXPECT_FALSE(qvtest::FileExists(out));
}

class TranscodeLimitsTest : public TranscodeTest {
 protected:
  void SetUp() override
  {
    TranscodeTest::SetUp();
    Input = Dir.File("in.flv");
    qvtest::TGenOptions opts;
    opts.Seconds = 6;
    opts.FrameRate = {25, 1};
    qvtest::MakeMedia(Input, opts);
    ASSERT_TRUE(qvtest::ProbeMedia(Input, InInfo));
  }
  std::string Input;
  TMediaInfo InInfo;
};

TEST_F(TranscodeLimitsTest, RecordingTimeFrameCountAndSizeStopTheRun)
{
  {
    const std::string out = Dir.File("t2.flv");
    TCustomFFmpeg engine;
    Run(engine, Input, out, {{"vcodec", "copy"}, {"acodec", "copy"}, {"t", "2"}});
    ASSERT_FALSE(engine.ExceptionRaised) << engine.LastErrorMessage;
    TMediaInfo got;
    ASSERT_TRUE(qvtest::ProbeMedia(out, got));
    const TStreamInfo *v = got.Find(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(v, nullptr);
    EXPECT_GE(v->Duration, 1.9);
    EXPECT_LE(v->Duration, 2.3);
  }
  {
    const std::string out = Dir.File("v10.flv");
    TCustomFFmpeg engine;
    Run(engine, Input, out, {{"vcodec", "copy"}, {"an", ""}, {"vframes", "10"}});
    ASSERT_FALSE(engine.ExceptionRaised) << engine.LastErrorMessage;
    TMediaInfo got;
    ASSERT_TRUE(qvtest::ProbeMedia(out, got));
    const TStreamInfo *v = got.Find(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(v, nullptr);
    EXPECT_EQ(v->Packets, 10);
  }
  {
    const std::string out = Dir.File("fs.flv");
    TCustomFFmpeg engine;
    Run(engine, Input, out, {{"vcodec", "copy"}, {"acodec", "copy"}, {"fs", "100000"}});
    ASSERT_FALSE(engine.ExceptionRaised) << engine.LastErrorMessage;
    const long long size = qvtest::FileSize(out);
    EXPECT_GT(size, 100000);
    // Stops at the first check past the limit: at most one packet and the trailer beyond it.
    EXPECT_LT(size, 100000 + 40000);
    EXPECT_LT(size, qvtest::FileSize(Input));
  }
}

TEST_F(TranscodeLimitsTest, StartPositionSkipsTheBeginning)
{
  const std::string out = Dir.File("ss.flv");
  TCustomFFmpeg engine;
  Run(engine, Input, out, {{"ss", "3"}, {"vcodec", "copy"}, {"acodec", "copy"}});
  ASSERT_FALSE(engine.ExceptionRaised) << engine.LastErrorMessage;
  TMediaInfo got;
  ASSERT_TRUE(qvtest::ProbeMedia(out, got));
  const TStreamInfo *v = got.Find(AVMEDIA_TYPE_VIDEO);
  ASSERT_NE(v, nullptr);
  // About three of the six seconds remain (the copy starts at a key frame at or before 3 s).
  EXPECT_GT(v->Duration, 2.5);
  EXPECT_LT(v->Duration, 4.5);
}

TEST_F(TranscodeLimitsTest, StopMidRunLeavesAShorterPlayableFile)
{
  const std::string out = Dir.File("stopped.mp4");
  TCustomFFmpeg engine;
  engine.Prepare();
  ASSERT_TRUE(engine.OpenInputFile(Input)) << engine.LastOptionError;
  engine.SetOption("vcodec", "copy");
  engine.SetOption("acodec", "copy");
  ASSERT_TRUE(engine.OpenOutputFile(out)) << engine.LastOptionError;
  std::atomic<int> packetsSeen{0};
  // Stop from the progress callback once a little output exists.
  engine.ProgressInterval = 0;
  engine.OnProgress = [&](TCustomFFmpeg *e, int, int, int ms, float, float, int64_t, int) {
    if (ms > 500 && packetsSeen++ == 0) e->Stop();
  };
  TFFmpegThread *thread = engine.Start(true);
  ASSERT_NE(thread, nullptr);
  thread->Resume();
  engine.WaitForThread();
  EXPECT_FALSE(engine.Finished);
  EXPECT_FALSE(engine.ExceptionRaised) << engine.LastErrorMessage;
  TMediaInfo got;
  ASSERT_TRUE(qvtest::ProbeMedia(out, got));
  const TStreamInfo *v = got.Find(AVMEDIA_TYPE_VIDEO);
  ASSERT_NE(v, nullptr);
  EXPECT_GT(v->Packets, 0);
  EXPECT_LT(v->Duration, InInfo.Find(AVMEDIA_TYPE_VIDEO)->Duration - 0.5);
}

TEST_F(TranscodeLimitsTest, StopBeforeResumeEndsAtTheFirstCheck)
{
  const std::string out = Dir.File("early.flv");
  TCustomFFmpeg engine;
  engine.Prepare();
  ASSERT_TRUE(engine.OpenInputFile(Input));
  engine.SetOption("vcodec", "copy");
  engine.SetOption("acodec", "copy");
  ASSERT_TRUE(engine.OpenOutputFile(out));
  int terminated = 0;
  engine.OnTerminate = [&](TCustomFFmpeg *) { ++terminated; };
  TFFmpegThread *thread = engine.Start(true);
  ASSERT_NE(thread, nullptr);
  engine.Stop();  // resumes the suspended worker so it sees the request
  engine.WaitForThread();
  EXPECT_EQ(terminated, 1);
  EXPECT_FALSE(engine.Finished);
  EXPECT_FALSE(engine.ExceptionRaised) << engine.LastErrorMessage;
}

TEST_F(TranscodeLimitsTest, MappingErrorsAreReported)
{
  {
    TCustomFFmpeg engine;
    Run(engine, Input, Dir.File("map.flv"), {{"vcodec", "copy"}, {"acodec", "copy"}, {"map", "0.5"}, {"map", "0.0"}});
    EXPECT_TRUE(engine.ExceptionRaised);
    EXPECT_EQ(engine.LastErrorMessage, "Could not find input stream #0.5");
  }
  {
    TCustomFFmpeg engine;
    Run(engine, Input, Dir.File("map1.flv"), {{"vcodec", "copy"}, {"acodec", "copy"}, {"map", "0.0"}});
    EXPECT_TRUE(engine.ExceptionRaised);
    EXPECT_EQ(engine.LastErrorMessage, "Number of stream maps must match number of output streams");
  }
  {
    TCustomFFmpeg engine;
    Run(engine, Input, Dir.File("vol.flv"), {{"vcodec", "copy"}, {"acodec", "copy"}, {"vol", "128"}});
    EXPECT_TRUE(engine.ExceptionRaised);
    EXPECT_EQ(engine.LastErrorMessage, "-acodec copy and -vol are incompatible (frames are not decoded)");
  }
}

TEST_F(TranscodeLimitsTest, TwoEnginesRunSideBySide)
{
  TCustomFFmpeg a, b;
  for (TCustomFFmpeg *e : {&a, &b}) {
    e->Prepare();
    ASSERT_TRUE(e->OpenInputFile(Input));
    e->SetOption("vcodec", "copy");
    e->SetOption("acodec", "copy");
  }
  ASSERT_TRUE(a.OpenOutputFile(Dir.File("a.flv")));
  ASSERT_TRUE(b.OpenOutputFile(Dir.File("b.mp4")));
  TFFmpegThread *ta = a.Start(true);
  TFFmpegThread *tb = b.Start(true);
  ASSERT_TRUE(ta && tb);
  ta->Resume();
  tb->Resume();
  a.WaitForThread();
  b.WaitForThread();
  EXPECT_TRUE(a.Finished) << a.LastErrorMessage;
  EXPECT_TRUE(b.Finished) << b.LastErrorMessage;
  TMediaInfo ga, gb;
  ASSERT_TRUE(qvtest::ProbeMedia(Dir.File("a.flv"), ga));
  ASSERT_TRUE(qvtest::ProbeMedia(Dir.File("b.mp4"), gb));
  EXPECT_EQ(ga.Find(AVMEDIA_TYPE_VIDEO)->Packets, gb.Find(AVMEDIA_TYPE_VIDEO)->Packets);
}

}  // namespace
