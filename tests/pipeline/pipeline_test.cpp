// The run's pipeline: with stage threads and the codecs' own threads the
// output is the same byte for byte as on one thread, for every shipped
// preset and for the modern codecs' inputs; hooks see every picture in
// order, one at a time; a stop or a failure on a stage thread ends the run
// as on one thread.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <mutex>

#include "CodecThreads.h"
#include "ConvertRecord.h"
#include "EngineRun.h"
#include "EnhancedFlv.h"
#include "FFmpegThread.h"
#include "SourceInfo.h"
#include "Tools.h"

namespace {

using qvtest::ConvertTest;
using qvtest::kCopy;
using qvtest::TMediaInfo;
using qvtest::TOptions;
using qvtest::WindowOptions;
using qvtest::operator+;

class PipelineTest : public ConvertTest {
 protected:
  // Converts AIn with AOptions on a budget of AThreads into AOut (and, with
  // ACopyToo, a stream copy into a second output); returns the output's bytes.
  // AOutputSetUp, when given, sets the output's options once the input is open.
  std::string ConvertWith(int AThreads, const std::string &AIn, const std::string &AOut, const TOptions &AOptions,
                          const std::function<void(TCustomFFmpeg &)> &ABeforeStart = {}, bool ACopyToo = false,
                          const std::function<void(TCustomFFmpeg &)> &AOutputSetUp = {})
  {
    TCustomFFmpeg engine;
    engine.SetThreadBudget(AThreads);
    Open(engine, AIn, AOut, AOptions, AOutputSetUp);
    if (HasFatalFailure()) return {};
    // Stage threads log too.
    engine.OnLog = [this](TCustomFFmpeg *, int, const std::string &AMsg) {
      std::lock_guard<std::mutex> lock(FLinesLock);
      Lines.push_back(AMsg);
    };
    if (ACopyToo) {
      for (const auto &[name, value] : kCopy) engine.SetOption(name, value);
      EXPECT_TRUE(engine.OpenOutputFile(AOut + ".copy.flv")) << engine.LastOptionError;
    }
    if (ABeforeStart) ABeforeStart(engine);
    engine.Start(false);
    EXPECT_TRUE(engine.Finished) << engine.LastErrorMessage;
    EXPECT_FALSE(engine.ExceptionRaised) << engine.LastErrorMessage;
    Totals = {engine.VideoSize, engine.AudioSize, engine.FramesDup, engine.FramesDrop};
    LastSkipped = engine.PicturesSkipped;
    std::string bytes = qvtest::ReadFile(AOut);
    if (ACopyToo) bytes += qvtest::ReadFile(AOut + ".copy.flv");
    return bytes;
  }
  std::string Input(const std::string &AName, double ASeconds, int AVideoPtsOffsetMs = 0)
  {
    qvtest::TGenOptions gen;
    gen.Seconds = ASeconds;
    gen.FrameRate = {30, 1};
    gen.VideoPtsOffsetMs = AVideoPtsOffsetMs;
    qvtest::MakeMedia(Dir.File(AName), gen);
    return Dir.File(AName);
  }

  std::mutex FLinesLock;
  std::vector<int64_t> Totals;
  int64_t LastSkipped = 0;
};

// A preset converts as the window converts with it: the record made from
// the preset and what is read of the input.
class PresetPipelineTest : public PipelineTest, public ::testing::WithParamInterface<TFormat> {
 protected:
  std::string ConvertWithPreset(int AThreads, const std::string &AIn, const std::string &AOut)
  {
    return ConvertWith(AThreads, AIn, AOut, {}, {}, false, [&](TCustomFFmpeg &AEngine) {
      const TSourceInfo source = DescribeSource(AEngine.InputContext(0));
      ApplyOutputOptions(AEngine, ConvertOutputRecord(&GetParam(), &source));
    });
  }
};

std::vector<TFormat> ShippedPresets()
{
  LoadPresets(QV_SOURCE_DIR "/app/formats.ini");
  return Presets;
}

// x264 runs on threads of its own, as many whatever the budget.
TEST_P(PresetPipelineTest, TheOutputIsTheSameWithAnyBudget)
{
  SCOPED_TRACE(GetParam().Name);
  ASSERT_TRUE(GetParam().Problem.empty()) << GetParam().Problem;
  const std::string in = Input("in.flv", 0.5);
  const std::string one = ConvertWithPreset(1, in, Dir.File("one.mp4"));
  ASSERT_FALSE(one.empty());
  for (int threads : {2, 4}) {
    SCOPED_TRACE(threads);
    const std::string out = Dir.File("t" + std::to_string(threads) + ".mp4");
    EXPECT_TRUE(ConvertWithPreset(threads, in, out) == one) << "the outputs differ";
  }
  // x264 writes the settings it ran with into the stream.
  if (GetParam().VideoCodec == "libx264") {
    EXPECT_NE(one.find(" threads=" + std::to_string(engine::kX264FrameThreads) + " lookahead_threads="),
              std::string::npos);
  }
}

INSTANTIATE_TEST_SUITE_P(Shipped, PresetPipelineTest, ::testing::ValuesIn(ShippedPresets()),
                         [](const ::testing::TestParamInfo<TFormat> &AInfo) { return std::to_string(AInfo.index); });

// HEVC, AV1 and VP9 decode on their libraries' threads when the budget
// allows; the pictures, and so the output, stay the same.
class ModernCodecPipelineTest : public PipelineTest, public ::testing::WithParamInterface<const char *> {};

TEST_P(ModernCodecPipelineTest, TheOutputIsTheSameWithAnyBudget)
{
  const qvtest::TEnhancedRecipe *recipe = nullptr;
  for (const qvtest::TEnhancedRecipe &r : qvtest::EnhancedRecipes())
    if (r.Name == GetParam()) recipe = &r;
  ASSERT_TRUE(recipe);
  const std::string in = qvtest::MakeEnhancedFlv(Dir.Path(), *recipe).Path;
  const std::string one = ConvertWith(1, in, Dir.File("one.mp4"), WindowOptions());
  ASSERT_FALSE(one.empty());
  for (int threads : {2, 4}) {
    SCOPED_TRACE(threads);
    EXPECT_TRUE(ConvertWith(threads, in, Dir.File("t.mp4"), WindowOptions()) == one) << "the outputs differ";
  }
}

INSTANTIATE_TEST_SUITE_P(Enhanced, ModernCodecPipelineTest,
                         ::testing::Values("hvc1_opus_nano_color", "av01_flac_nano", "vp09_ac3"));

TEST_F(PipelineTest, TheOutputIsTheSameWithAnyBudget)
{
  const std::string in = Input("in.flv", 2, 200);
  const std::string one = ConvertWith(1, in, Dir.File("one.mp4"), WindowOptions(), {}, true);
  const std::vector<int64_t> totals = Totals;
  ASSERT_FALSE(one.empty());
  for (int threads : {2, 4}) {
    SCOPED_TRACE(threads);
    const std::string out = Dir.File("t" + std::to_string(threads) + ".mp4");
    EXPECT_TRUE(ConvertWith(threads, in, out, WindowOptions(), {}, true) == one) << "the outputs differ";
    EXPECT_EQ(Totals, totals);  // sizes and sync counters
  }
}

// Every picture reaches the custom hook once, in order, never two at once,
// and what the hook draws reaches the output the same way on every budget.
TEST_F(PipelineTest, HooksSeeEveryPictureInOrderOneAtATime)
{
  const std::string in = Input("in.flv", 1);
  struct TSeen {
    std::atomic<int> Inside{0};
    std::atomic<bool> Overlap{false};
    std::vector<int> Frames;
    std::vector<int64_t> Pts;
    pid_t Thread = 0;
  };
  auto withHook = [](TSeen &ASeen) {
    return [&ASeen](TCustomFFmpeg &AEngine) {
      AEngine.OnCustomHook = [&ASeen](TCustomFFmpeg *, THookBitmap *ABitmap, int AFrame, int64_t APts, bool &,
                                      bool &) {
        if (ASeen.Inside.fetch_add(1) != 0) ASeen.Overlap = true;
        ASeen.Frames.push_back(AFrame);
        ASeen.Pts.push_back(APts);
        ASeen.Thread = gettid();
        // A dark band whose place follows the frame number.
        const int y0 = (AFrame * 4) % (ABitmap->Height() - 8);
        for (int y = y0; y < y0 + 8; ++y) std::fill_n(ABitmap->ScanLine(y), ABitmap->Width() * 3, uint8_t{0});
        ASeen.Inside.fetch_sub(1);
      };
    };
  };
  TSeen one, four;
  const std::string a = ConvertWith(1, in, Dir.File("one.mp4"), WindowOptions(), withHook(one));
  const std::string b = ConvertWith(4, in, Dir.File("four.mp4"), WindowOptions(), withHook(four));
  EXPECT_TRUE(a == b) << "the outputs differ";
  EXPECT_FALSE(four.Overlap);
  EXPECT_EQ(one.Thread, gettid());  // one core: everything on the run's thread
  EXPECT_NE(four.Thread, gettid());  // four: the video path has its own
  ASSERT_EQ(four.Frames.size(), 30u);
  EXPECT_EQ(four.Frames, one.Frames);
  EXPECT_EQ(four.Pts, one.Pts);
  for (std::size_t i = 0; i < four.Frames.size(); ++i) EXPECT_EQ(four.Frames[i], static_cast<int>(i) + 1);
}

// A stop while the stages work still gives an output with its trailer.
TEST_F(PipelineTest, StopWhileStagesWorkLeavesAPlayableFile)
{
  const std::string in = Input("in.flv", 4), out = Dir.File("stopped.mp4");
  TCustomFFmpeg engine;
  engine.SetThreadBudget(4);
  Open(engine, in, out, WindowOptions());
  ASSERT_FALSE(HasFatalFailure());
  engine.OnLog = nullptr;
  const TMediaInfo got = RunAndStop(engine, out, 1000);
  ASSERT_TRUE(got.Find(AVMEDIA_TYPE_VIDEO));
  EXPECT_GT(got.Find(AVMEDIA_TYPE_VIDEO)->Packets, 0);
  EXPECT_LT(got.Find(AVMEDIA_TYPE_VIDEO)->Duration, 3.5);
}

// A job that fails on a stage thread ends the run with its message, as on
// one thread, and leaves nothing running.
TEST_F(PipelineTest, AFailureOnAStageEndsTheRun)
{
  const std::string in = Input("in.flv", 2);
  const std::string stats = Dir.File("missing/folder/vstats.log");
  for (int threads : {1, 4}) {
    SCOPED_TRACE(threads);
    TCustomFFmpeg engine;
    engine.SetThreadBudget(threads);
    Run(engine, in, Dir.File("failed.mp4"), WindowOptions({{"vstats_file", stats}}));
    EXPECT_TRUE(engine.ExceptionRaised);
    EXPECT_FALSE(engine.Finished);
    EXPECT_EQ(engine.LastErrorMessage, "fopen fail: " + stats);
  }
}

// Pictures the output drops and no other picture needs are not decoded at
// all; the output is the same as when every picture is decoded.
TEST_F(PipelineTest, DroppedPicturesNeedNotBeDecoded)
{
  // B-frames: x264 marks the middle ones of each group unreferenced.
  const std::string in = Dir.File("bframes.flv");
  {
    qvtest::TGenOptions gen;
    gen.Seconds = 3;
    gen.FrameRate = {30, 1};
    gen.BFrames = 3;
    qvtest::MakeMedia(in, gen);
  }
  int64_t skipped[2] = {};
  std::string bytes[2];
  for (bool predict : {false, true}) {
    bytes[predict] = ConvertWith(4, in, Dir.File(predict ? "predicted.mp4" : "all.mp4"), WindowOptions(),
                                 [&](TCustomFFmpeg &AEngine) { AEngine.PredictDrops = predict; });
    skipped[predict] = LastSkipped;
  }
  EXPECT_EQ(skipped[false], 0);
  EXPECT_GT(skipped[true], 20);  // of 90 pictures, 45 are dropped
  EXPECT_TRUE(bytes[true] == bytes[false]) << "the outputs differ";
}

}  // namespace
