// The engine's two halves seen from outside: the job description the
// options and files make (Job(), FlvInput), and the run made from it, which
// takes the decoders for its streams and hands its report back.
#include <numeric>

#include "EngineRun.h"

namespace {

using qvtest::ConvertTest;

TEST_F(ConvertTest, FlvInputDescribesOnlyOpenFlvInputs)
{
  qvtest::TGenOptions mkv;
  mkv.Container = "matroska";
  mkv.Seconds = 0.5;
  qvtest::MakeMedia(Dir.File("in.mkv"), mkv);
  const std::string flv = Generated("in.flv", 0.5);
  TCustomFFmpeg engine;
  engine.Prepare();
  ASSERT_TRUE(engine.OpenInputFile(flv)) << engine.LastOptionError;
  ASSERT_TRUE(engine.OpenInputFile(Dir.File("in.mkv"))) << engine.LastOptionError;
  struct TCase {
    int Index;
    bool Flv;
  };
  for (const TCase &c : {TCase{0, true}, TCase{1, false}, TCase{2, false}, TCase{-1, false}}) {
    const flv::TFlvSource *source = engine.FlvInput(c.Index);
    EXPECT_EQ(source != nullptr, c.Flv) << c.Index;
    if (source) {
      EXPECT_EQ(source, engine.Job().FlvInputs[c.Index].get());
    }
  }
  engine.ReleaseJob();
  EXPECT_EQ(engine.FlvInput(0), nullptr);  // the job's sources go with it
}

TEST_F(ConvertTest, TheRunOwnsTheDecodersAndReportsEachRunOnItsOwn)
{
  const std::string in = Generated("in.flv", 1.0);
  TCustomFFmpeg engine;
  struct TSeen {
    std::size_t Decoders = 0, HeldByJob = 0;
    int LastFrame = -1;
  };
  std::vector<TSeen> runs;
  std::vector<int32_t> histogramTotals;
  for (int run = 0; run < 2; ++run) {
    Open(engine, in, Dir.File("out" + std::to_string(run) + ".mp4"), qvtest::WindowOptions({{"qphist", ""}}));
    ASSERT_FALSE(HasFatalFailure());
    TSeen seen;
    seen.Decoders = engine.Job().InputSetups[0].Dec.size();
    engine.ProgressInterval = 0;
    engine.OnProgress = [&](TCustomFFmpeg *e, int AFrame, int, int, float, float, int64_t, int) {
      seen.HeldByJob = 0;
      for (const auto &dec : e->Job().InputSetups[0].Dec) seen.HeldByJob += dec != nullptr;
      seen.LastFrame = AFrame;
    };
    engine.Start(false);
    ASSERT_TRUE(engine.Finished) << engine.LastErrorMessage;
    runs.push_back(seen);
    histogramTotals.push_back(std::accumulate(engine.QpHistogram.begin(), engine.QpHistogram.end(), 0));
    // 25 pictures a second become 15: the sync counts tell the difference.
    const qvtest::TMediaInfo out = Probe(Dir.File("out" + std::to_string(run) + ".mp4"));
    const qvtest::TStreamInfo *video = out.Find(AVMEDIA_TYPE_VIDEO);
    ASSERT_NE(video, nullptr);
    EXPECT_EQ(video->Packets, 25 + engine.FramesDup - engine.FramesDrop);
    EXPECT_EQ(seen.LastFrame, video->Packets);
    EXPECT_GT(engine.VideoSize, 0);
    EXPECT_GT(engine.AudioSize, 0);
    EXPECT_TRUE(engine.RunWarnings.empty());
  }
  for (const TSeen &seen : runs) {
    EXPECT_EQ(seen.Decoders, 2u);
    EXPECT_EQ(seen.HeldByJob, 0u) << "the decoders are the run's streams' while it lasts";
  }
  // Each run counts its own sizes, but the quantiser histogram runs on over the engine's reports.
  EXPECT_EQ(runs[0].LastFrame, runs[1].LastFrame);
  EXPECT_GT(histogramTotals[0], 0);
  EXPECT_GT(histogramTotals[1], histogramTotals[0] * 3 / 2);
}

TEST_F(ConvertTest, BitBufferSizeFollowsTheLargestVideoPicture)
{
  const std::string in = Generated("in.flv", 0.2);
  struct TCase {
    const char *Size;
    int32_t Expected;
  };
  // 4 bytes a pixel when that is more than 256 KiB: 320x240 needs 307200.
  for (const TCase &c : {TCase{"1920x1088", 8355840}, TCase{"320x240", 307200}, TCase{"176x144", 262144}}) {
    TCustomFFmpeg engine;
    Open(engine, in, Dir.File(std::string(c.Size) + ".mp4"), qvtest::WindowOptions({{"s", c.Size}}));
    ASSERT_FALSE(HasFatalFailure());
    engine.Start(false);
    ASSERT_TRUE(engine.Finished) << engine.LastErrorMessage;
    EXPECT_EQ(engine.BitBufferSize, c.Expected) << c.Size;
  }
}

}  // namespace
