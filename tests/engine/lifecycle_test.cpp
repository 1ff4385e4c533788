// Engine life cycle: start refusals, termination reporting, option defaults.
#include <gtest/gtest.h>

#include "FFmpeg.h"
#include "TestEnv.h"

namespace {

struct TLogRecord {
  int Level;
  std::string Msg;
};

class LifecycleTest : public ::testing::Test {
 protected:
  void SetUp() override { qvtest::LoadLibs(); }
};

TEST_F(LifecycleTest, StartWithoutFilesFailsAtLevelMinusOneAndTerminatesOnce)
{
  TCustomFFmpeg engine;
  engine.Prepare();
  std::vector<TLogRecord> log;
  int terminated = 0;
  engine.OnLog = [&](TCustomFFmpeg *, int level, const std::string &msg) { log.push_back({level, msg}); };
  engine.OnTerminate = [&](TCustomFFmpeg *) { ++terminated; };

  EXPECT_EQ(engine.Start(true), nullptr);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log[0].Level, -1);
  EXPECT_EQ(log[0].Msg, "Must supply at least one output file");
  EXPECT_TRUE(engine.ExceptionRaised);
  EXPECT_EQ(engine.LastErrorMessage, "Must supply at least one output file");
  EXPECT_EQ(terminated, 1);
  EXPECT_TRUE(engine.Terminated);
  EXPECT_FALSE(engine.Running);

  // A terminated engine refuses to start again until prepared.
  EXPECT_EQ(engine.Start(true), nullptr);
  EXPECT_EQ(terminated, 1);
  EXPECT_EQ(log.size(), 1u);

  engine.Prepare();
  EXPECT_FALSE(engine.Terminated);
  EXPECT_FALSE(engine.ExceptionRaised);
}

TEST_F(LifecycleTest, ResetOptionsRestoresEveryDefault)
{
  TCustomFFmpeg engine;
  engine.Prepare();
  engine.AudioChannels = 1;
  engine.AudioSampleRate = 8000;
  engine.AudioQScale = 3;
  engine.MuxPreload = 2;
  engine.MuxMaxDelay = 3;
  engine.AudioDriftThreshold = 5;
  engine.DtsDeltaThreshold = 1;
  engine.BitBufferSize = 5;
  engine.FrameWidth = 320;
  engine.FramePixFmt = 3;
  engine.PadColor[0] = 0;
  engine.RecordingTime = 5;
  engine.MaxFrames[0] = 10;
  engine.VideoCodecName = "mpeg4";
  engine.Title = "x";
  engine.Verbose = 3;
  engine.InputTsScales[3][4] = 2.0;
  engine.StreamMapCount = 2;
  engine.TotalDuration = 1000;
  engine.UsingVhook = true;
  engine.HookRgbPixFmt = 0;
  engine.HookFrameNumber = 5;
  engine.HookAction = haStop;
  engine.HookRanges.push_back({0, 10});
  engine.HookRangeCount = 1;
  engine.ResetOptions();

  EXPECT_EQ(engine.AudioChannels, 2);
  EXPECT_EQ(engine.AudioSampleRate, 44100);
  EXPECT_FLOAT_EQ(engine.AudioQScale, -99999.0f);
  EXPECT_FLOAT_EQ(engine.MuxPreload, 0.5f);
  EXPECT_FLOAT_EQ(engine.MuxMaxDelay, 0.7f);
  EXPECT_FLOAT_EQ(engine.AudioDriftThreshold, 0.1f);
  EXPECT_FLOAT_EQ(engine.DtsDeltaThreshold, 10.0f);
  EXPECT_EQ(engine.BitBufferSize, 262144);
  EXPECT_EQ(engine.FrameWidth, 0);
  EXPECT_EQ(engine.FramePixFmt, -1);
  EXPECT_EQ(engine.PadColor[0], 16);
  EXPECT_EQ(engine.PadColor[1], 128);
  EXPECT_EQ(engine.RecordingTime, INT64_MAX);
  EXPECT_EQ(engine.MaxFrames[0], INT32_MAX);
  EXPECT_TRUE(engine.VideoCodecName.empty());
  EXPECT_TRUE(engine.Title.empty());
  EXPECT_EQ(engine.Verbose, 1);
  EXPECT_EQ(engine.VideoSyncMethod, -1);
  EXPECT_EQ(engine.LoopOutput, -1);
  EXPECT_EQ(engine.AudioVolume, 256);
  EXPECT_EQ(engine.IntraDcPrecision, 8);
  EXPECT_EQ(engine.TopFieldFirst, -1);
  EXPECT_EQ(engine.InputTsScales[3][4], 0.0);
  EXPECT_EQ(engine.StreamMapCount, 0);
  EXPECT_EQ(engine.TotalDuration, -1);
  EXPECT_FALSE(engine.UsingVhook);
  EXPECT_EQ(engine.HookRgbPixFmt, AV_PIX_FMT_BGR24);
  EXPECT_EQ(engine.HookFrameNumber, 0);
  EXPECT_EQ(engine.HookAction, haContinue);
  EXPECT_TRUE(engine.HookRanges.empty());
  EXPECT_EQ(engine.HookRangeCount, 0);
}

}  // namespace
