// Frame hooks in whole conversions: what the decoded output pictures hold
// when the fill-rectangle hook runs always, within time ranges, or as an
// OnBeforeHook handler steers it.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <stdexcept>

#include "FFmpeg.h"
#include "HookTestSupport.h"
#include "TestEnv.h"
#include "TestMedia.h"

namespace {

const std::string FillRect = QV_FILLRECT_HOOK;

// The red rectangle the conversions paint, in luma pixels, and its colour.
constexpr int RectX = 16, RectY = 16, RectW = 64, RectH = 32;
constexpr int Red[3] = {81, 90, 240};
constexpr int Fps = 25;

struct TPlanes {
  int Width = 0, Height = 0;
  std::vector<uint8_t> P[3];  // tightly packed Y, U, V (4:2:0)
  int At(int APlane, int AX, int AY) const { return P[APlane][AY * (APlane ? Width / 2 : Width) + AX]; }
};

std::vector<TPlanes> Decode(const std::string &APath)
{
  std::vector<TPlanes> frames;
  qvtest::DecodeVideo(APath, [&](const AVFrame &f) {
    if (f.format != AV_PIX_FMT_YUV420P) throw std::runtime_error("unexpected pixel format");
    TPlanes p;
    p.Width = f.width;
    p.Height = f.height;
    for (int i = 0; i < 3; ++i) {
      const int w = i ? f.width / 2 : f.width, h = i ? f.height / 2 : f.height;
      for (int y = 0; y < h; ++y) p.P[i].insert(p.P[i].end(), f.data[i] + y * f.linesize[i], f.data[i] + y * f.linesize[i] + w);
    }
    frames.push_back(std::move(p));
  });
  return frames;
}

// Mean absolute difference over a region of all three planes, in luma
// coordinates [AX0, AX1) x [AY0, AY1), either inside it or outside it
// (AInside false), against a reference picture or a flat colour.
double MeanDiff(const TPlanes &AGot, const TPlanes *ARef, const int *AColour, int AX0, int AY0, int AX1, int AY1,
                bool AInside)
{
  double sum = 0;
  long n = 0;
  for (int pl = 0; pl < 3; ++pl) {
    const int s = pl ? 1 : 0, w = AGot.Width >> s, h = AGot.Height >> s;
    for (int y = 0; y < h; ++y)
      for (int x = 0; x < w; ++x) {
        const bool in = x >= (AX0 >> s) && x < (AX1 >> s) && y >= (AY0 >> s) && y < (AY1 >> s);
        if (in != AInside) continue;
        const int want = ARef ? ARef->At(pl, x, y) : AColour[pl];
        sum += std::abs(AGot.At(pl, x, y) - want);
        ++n;
      }
  }
  return n ? sum / n : 0;
}

enum TLook { lkHooked, lkUntouched, lkOther };

// Compares an output picture with its source picture: the rectangle (less a
// 4-pixel rim, where the encoder blurs the edge) red or as in the source,
// and everything outside the rectangle (plus a rim) as in the source.
TLook Look(const TPlanes &AOut, const TPlanes &ASrc)
{
  constexpr double Tolerance = 6.0;
  const double outside = MeanDiff(AOut, &ASrc, nullptr, RectX - 8, RectY - 8, RectX + RectW + 8, RectY + RectH + 8, false);
  if (outside > Tolerance) return lkOther;
  const int x0 = RectX + 4, y0 = RectY + 4, x1 = RectX + RectW - 4, y1 = RectY + RectH - 4;
  if (MeanDiff(AOut, nullptr, Red, x0, y0, x1, y1, true) < Tolerance) return lkHooked;
  if (MeanDiff(AOut, &ASrc, nullptr, x0, y0, x1, y1, true) < Tolerance) return lkUntouched;
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
    for (const TPlanes &f : SourceFrames)
      ASSERT_GT(MeanDiff(f, nullptr, Red, RectX, RectY, RectX + RectW, RectY + RectH, true), 20.0);
  }

  // Configures the engine for a fill-rectangle conversion; the caller may
  // add ranges or handlers before Convert.
  void Configure()
  {
    Engine.Prepare();
    Engine.OnLog = [this](TCustomFFmpeg *, int level, const std::string &msg) {
      if (level <= 0) Errors.push_back(msg);
    };
    ASSERT_TRUE(Engine.OpenInputFile(Source)) << Engine.LastOptionError;
    Engine.SetOption("vhook", hooktest::HookText(FillRect, {std::to_string(RectX), std::to_string(RectY),
                                                            std::to_string(RectW), std::to_string(RectH), "81", "90",
                                                            "240"}));
    Engine.SetOption("vcodec", "mpeg4");
    Engine.SetOption("qscale", "2");
    Output = Dir.File("hooked.mp4");
    ASSERT_TRUE(Engine.OpenOutputFile(Output)) << Engine.LastOptionError;
  }

  // Runs the job and returns how each output picture looks.
  std::vector<TLook> Convert()
  {
    Engine.Start(false);
    EXPECT_FALSE(Engine.ExceptionRaised) << Engine.LastErrorMessage;
    std::vector<TPlanes> out = Decode(Output);
    EXPECT_EQ(out.size(), SourceFrames.size());
    std::vector<TLook> looks;
    for (size_t i = 0; i < out.size() && i < SourceFrames.size(); ++i) looks.push_back(Look(out[i], SourceFrames[i]));
    return looks;
  }

  // Pictures near a boundary (picture time within one frame of ABoundaryMs)
  // are not judged: their exact side depends on timestamp rounding.
  static bool NearBoundary(size_t AFrame, std::initializer_list<int> ABoundariesMs)
  {
    const double ms = AFrame * 1000.0 / Fps;
    for (int b : ABoundariesMs)
      if (std::fabs(ms - b) <= 1000.0 / Fps) return true;
    return false;
  }

  qvtest::TScratchDir Dir;
  std::string Source, Output;
  std::vector<TPlanes> SourceFrames;
  std::vector<std::string> Errors;  // before Engine: its log handler writes here
  TCustomFFmpeg Engine;
};

TEST_F(HookConvertTest, FillRectPaintsEveryPictureAndLeavesTheRest)
{
  Configure();
  const auto looks = Convert();
  for (size_t i = 0; i < looks.size(); ++i) EXPECT_EQ(looks[i], lkHooked) << "picture " << i;
  EXPECT_TRUE(Errors.empty()) << Errors.front();
}

TEST_F(HookConvertTest, RangesHookOnlyPicturesInsideThemAndStopAfterTheLast)
{
  Configure();
  Engine.HookRanges = {{0, 1000000}, {2000000, 3000000}};
  Engine.HookRangeCount = 2;
  Engine.HookRangeIndex = 0;
  const auto looks = Convert();
  for (size_t i = 0; i < looks.size(); ++i) {
    if (NearBoundary(i, {1000, 2000, 3000})) continue;
    const double ms = i * 1000.0 / Fps;
    const bool inside = ms < 1000 || (ms > 2000 && ms < 3000);
    EXPECT_EQ(looks[i], inside ? lkHooked : lkUntouched) << "picture " << i;
  }
  EXPECT_EQ(Engine.HookAction, haStop);
  EXPECT_FALSE(Engine.UsingVhook);
}

TEST_F(HookConvertTest, BeforeHookSteersPictureByPicture)
{
  Configure();
  std::vector<int64_t> asked;
  Engine.OnBeforeHook = [&](TCustomFFmpeg *, THookAction &action, int64_t pts) {
    asked.push_back(pts);
    action = pts >= 1000000 && pts < 2000000 ? haIgnore : haContinue;
  };
  const auto looks = Convert();
  EXPECT_EQ(asked.size(), SourceFrames.size());
  for (size_t i = 0; i < looks.size(); ++i) {
    if (NearBoundary(i, {1000, 2000})) continue;
    const double ms = i * 1000.0 / Fps;
    EXPECT_EQ(looks[i], ms > 1000 && ms < 2000 ? lkUntouched : lkHooked) << "picture " << i;
  }
}

TEST_F(HookConvertTest, BeforeHookThatThrowsStopsHookingForTheRestOfTheJob)
{
  Configure();
  int calls = 0;
  Engine.OnBeforeHook = [&](TCustomFFmpeg *, THookAction &, int64_t pts) {
    ++calls;
    if (pts >= 1000000) throw std::runtime_error("no more");
  };
  const auto looks = Convert();
  for (size_t i = 0; i < looks.size(); ++i) {
    if (NearBoundary(i, {1000})) continue;
    EXPECT_EQ(looks[i], i * 1000.0 / Fps < 1000 ? lkHooked : lkUntouched) << "picture " << i;
  }
  // Asked until it threw, never again.
  EXPECT_GE(calls, Fps);
  EXPECT_LE(calls, Fps + 2);
  ASSERT_EQ(Errors.size(), 1u);
  EXPECT_EQ(Errors[0], "Error occurs OnBeforeHook: no more");
  EXPECT_EQ(Engine.HookAction, haStop);
}

TEST_F(HookConvertTest, VideoStreamCopyRefusesHooks)
{
  Engine.Prepare();
  ASSERT_TRUE(Engine.OpenInputFile(Source)) << Engine.LastOptionError;
  Engine.SetOption("vhook", FillRect + "|0|0|8|8|0|0|0");
  Engine.SetOption("vcodec", "copy");
  ASSERT_TRUE(Engine.OpenOutputFile(Dir.File("copy.flv"))) << Engine.LastOptionError;
  Engine.Start(false);
  EXPECT_TRUE(Engine.ExceptionRaised);
  EXPECT_EQ(Engine.LastErrorMessage, "-vcodec copy and -vhook are incompatible (frames are not decoded)");
}

}  // namespace
