// Frame hooks in whole conversions: what the decoded output pictures hold
// when the fill-rectangle hook runs always, within time ranges, or as an
// OnBeforeHook handler steers it, and when an OnCustomHook handler paints
// the picture's bitmap.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <memory>
#include <stdexcept>

#include "FFmpeg.h"
#include "TestEnv.h"
#include "TestMedia.h"

namespace {

const std::string FillRect = QV_FILLRECT_HOOK;
// The red rectangle the conversions paint, in luma pixels: x, y, width, height.
const std::string RectArgs = "|16|16|64|32|81|90|240";
constexpr int X0 = 16, Y0 = 16, X1 = 80, Y1 = 48, Red[3] = {81, 90, 240}, Fps = 25;

using TPicture = std::shared_ptr<const AVFrame>;

std::vector<TPicture> Decode(const std::string &APath)
{
  std::vector<TPicture> frames;
  qvtest::DecodeVideo(APath, [&](const AVFrame &f) {
    if (f.format != AV_PIX_FMT_YUV420P) throw std::runtime_error("unexpected pixel format");
    AVFrame *copy = AVUtilLib.av_frame_alloc();
    frames.emplace_back(copy, [](AVFrame *p) { AVUtilLib.av_frame_free(&p); });
    copy->format = f.format;
    copy->width = f.width;
    copy->height = f.height;
    if (AVUtilLib.av_frame_get_buffer(copy, 0) < 0 || AVUtilLib.av_frame_copy(copy, &f) < 0)
      throw std::runtime_error("cannot copy picture");
  });
  return frames;
}

int At(const TPicture &APic, int APlane, int AX, int AY) { return APic->data[APlane][AY * APic->linesize[APlane] + AX]; }

// Mean absolute difference over all three planes, inside (or, AInside false,
// outside) the luma box [AX0, AX1) x [AY0, AY1), against a reference picture
// or, without one, red.
double MeanDiff(const TPicture &AGot, const TPicture *ARef, int AX0, int AY0, int AX1, int AY1, bool AInside)
{
  double sum = 0;
  long n = 0;
  for (int pl = 0; pl < 3; ++pl) {
    const int s = pl ? 1 : 0;
    for (int y = 0; y < AGot->height >> s; ++y)
      for (int x = 0; x < AGot->width >> s; ++x) {
        if ((x >= AX0 >> s && x < AX1 >> s && y >= AY0 >> s && y < AY1 >> s) != AInside) continue;
        sum += std::abs(At(AGot, pl, x, y) - (ARef ? At(*ARef, pl, x, y) : Red[pl]));
        ++n;
      }
  }
  return n ? sum / n : 0;
}

enum TLook { lkHooked, lkUntouched, lkOther };

// The rectangle (less a 4-pixel rim, where the encoder blurs the edge) red or
// as in the source; everything outside it (plus a rim) as in the source,
// within AOutsideTolerance (a round trip through RGB costs a little more).
TLook Look(const TPicture &AOut, const TPicture &ASrc, double AOutsideTolerance)
{
  constexpr double Tolerance = 6.0;
  if (MeanDiff(AOut, &ASrc, X0 - 8, Y0 - 8, X1 + 8, Y1 + 8, false) > AOutsideTolerance) return lkOther;
  if (MeanDiff(AOut, nullptr, X0 + 4, Y0 + 4, X1 - 4, Y1 - 4, true) < Tolerance) return lkHooked;
  if (MeanDiff(AOut, &ASrc, X0 + 4, Y0 + 4, X1 - 4, Y1 - 4, true) < Tolerance) return lkUntouched;
  return lkOther;
}

class HookConvertTest : public ::testing::Test {
 protected:
  void SetUp() override
  {
    qvtest::LoadLibs();
    qvtest::TGenOptions gen;
    gen.VideoCodec = "flv";
    gen.AudioCodec = "";
    gen.Width = 160;
    gen.Height = 120;
    gen.FrameRate = {Fps, 1};
    gen.Seconds = 4.0;
    Source = Dir.File("source.flv");
    qvtest::MakeMedia(Source, gen);
    SourceFrames = Decode(Source);
    ASSERT_EQ(SourceFrames.size(), 100u);
    // The pattern must differ from red inside the rectangle, or a missing
    // hook could not be told from a working one.
    for (const TPicture &f : SourceFrames) ASSERT_GT(MeanDiff(f, nullptr, X0, Y0, X1, Y1, true), 20.0);
    Engine.Prepare();
    Engine.OnLog = [this](TCustomFFmpeg *, int level, const std::string &msg) {
      if (level <= 0) Errors.push_back(msg);
    };
    ASSERT_TRUE(Engine.OpenInputFile(Source)) << Engine.LastOptionError;
    Engine.SetOption("vhook", FillRect + RectArgs);
  }

  // Converts to MPEG-4 and checks each output picture against AExpect(ms)
  // except those within one frame of a boundary, whose side depends on
  // timestamp rounding.
  void ConvertAndExpect(std::initializer_list<int> ABoundariesMs, const std::function<TLook(double)> &AExpect,
                        double AOutsideTolerance = 6.0)
  {
    Engine.SetOption("vcodec", "mpeg4");
    Engine.SetOption("qscale", "2");
    const std::string output = Dir.File("hooked.mp4");
    ASSERT_TRUE(Engine.OpenOutputFile(output)) << Engine.LastOptionError;
    Engine.Start(false);
    EXPECT_FALSE(Engine.ExceptionRaised) << Engine.LastErrorMessage;
    const std::vector<TPicture> out = Decode(output);
    ASSERT_EQ(out.size(), SourceFrames.size());
    for (size_t i = 0; i < out.size(); ++i) {
      const double ms = i * 1000.0 / Fps;
      const bool nearBoundary = std::any_of(ABoundariesMs.begin(), ABoundariesMs.end(),
                                            [&](int b) { return std::fabs(ms - b) <= 1000.0 / Fps; });
      if (!nearBoundary) {
        EXPECT_EQ(Look(out[i], SourceFrames[i], AOutsideTolerance), AExpect(ms)) << "picture " << i;
      }
    }
  }

  qvtest::TScratchDir Dir;
  std::string Source;
  std::vector<TPicture> SourceFrames;
  std::vector<std::string> Errors;  // before Engine: its log handler writes here
  TCustomFFmpeg Engine;
};

TEST_F(HookConvertTest, FillRectPaintsEveryPictureAndLeavesTheRest)
{
  ConvertAndExpect({}, [](double) { return lkHooked; });
  EXPECT_TRUE(Errors.empty()) << Errors.front();
}

TEST_F(HookConvertTest, RangesHookOnlyPicturesInsideThemAndStopAfterTheLast)
{
  Engine.HookRanges = {{0, 1000000}, {2000000, 3000000}};
  Engine.HookRangeCount = 2;
  Engine.HookRangeIndex = 0;
  ConvertAndExpect({1000, 2000, 3000},
                   [](double ms) { return ms < 1000 || (ms > 2000 && ms < 3000) ? lkHooked : lkUntouched; });
  EXPECT_EQ(Engine.HookAction, haStop);
  EXPECT_FALSE(Engine.UsingVhook);
}

TEST_F(HookConvertTest, BeforeHookSteersAndOneThatThrowsStopsHookingForTheRestOfTheJob)
{
  int calls = 0;
  Engine.OnBeforeHook = [&](TCustomFFmpeg *, THookAction &action, int64_t pts) {
    ++calls;
    if (pts >= 2000000) throw std::runtime_error("no more");
    action = pts >= 1000000 ? haIgnore : haContinue;
  };
  ConvertAndExpect({1000}, [](double ms) { return ms < 1000 ? lkHooked : lkUntouched; });
  // Asked for every picture until it threw, never again.
  EXPECT_GE(calls, 2 * Fps);
  EXPECT_LE(calls, 2 * Fps + 2);
  EXPECT_EQ(Errors, std::vector<std::string>{"Error occurs OnBeforeHook: no more"});
  EXPECT_EQ(Engine.HookAction, haStop);
}

// The handler paints the rectangle red into the 24-bit bitmap; what it
// paints reaches the output unless it declines the update or throws, and
// after it asks to stop it is never called again (the library hook set up
// for the job does not take over either).
TEST_F(HookConvertTest, CustomHookPaintsThroughItsBitmapUntilItAsksToStop)
{
  std::vector<int> frames;
  Engine.OnCustomHook = [&](TCustomFFmpeg *, THookBitmap *ABitmap, int AFrame, int64_t APts, bool &AUpdate,
                            bool &AStop) {
    frames.push_back(AFrame);
    ASSERT_EQ(ABitmap->Width() * 1000 + ABitmap->Height(), 160120);
    for (int y = Y0; y < Y1; ++y)
      for (int x = X0; x < X1; ++x) {
        uint8_t *bgr = ABitmap->ScanLine(y) + 3 * x;
        bgr[0] = 0;
        bgr[1] = 0;
        bgr[2] = 255;
      }
    if (APts >= 1000000 && APts < 1500000) AUpdate = false;
    if (APts >= 1500000 && APts < 2000000) throw std::runtime_error("busy");
    if (APts >= 3000000) AStop = true;  // this picture is still taken
  };
  ConvertAndExpect(
      {1000, 2000, 3000}, [](double ms) { return ms < 1000 || (ms > 2000 && ms < 3000) ? lkHooked : lkUntouched; },
      10.0);
  ASSERT_EQ(frames.size(), 3u * Fps + 1);  // up to the picture at 3 s, which asked to stop
  EXPECT_EQ(frames.front(), 1);
  EXPECT_EQ(frames.back(), 3 * Fps + 1);
  EXPECT_FALSE(static_cast<bool>(Engine.OnCustomHook));
  EXPECT_EQ(Engine.HookAction, haStop);
  EXPECT_EQ(Errors, std::vector<std::string>(Fps / 2, "Error occurs OnCustomHook: busy"));
}

TEST_F(HookConvertTest, VideoStreamCopyRefusesHooks)
{
  Engine.SetOption("vcodec", "copy");
  ASSERT_TRUE(Engine.OpenOutputFile(Dir.File("copy.flv"))) << Engine.LastOptionError;
  Engine.Start(false);
  EXPECT_TRUE(Engine.ExceptionRaised);
  EXPECT_EQ(Engine.LastErrorMessage, "-vcodec copy and -vhook are incompatible (frames are not decoded)");
}

}  // namespace
