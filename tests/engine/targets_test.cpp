// Disc and tape presets: norm selection and detection, and the encoder and
// muxer values each preset leaves for the output file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "FFmpeg.h"
#include "TestEnv.h"
#include "TestMedia.h"

namespace {

class TargetsTest : public ::testing::Test {
 protected:
  void SetUp() override
  {
    qvtest::LoadLibs();
    E.Prepare();
    E.OnLog = [this](TCustomFFmpeg *, int, const std::string &msg) { Log.push_back(msg); };
  }

  std::string TargetError(const std::string &AText)
  {
    try {
      E.SetTarget(AText);
    } catch (const FFMpegException &e) {
      return e.what();
    }
    ADD_FAILURE() << "nothing raised for " << AText;
    return {};
  }
  const std::string *PrivateValue(const std::string &AName) const
  {
    for (const auto &[n, v] : E.PrivateOpts)
      if (n == AName) return &v;
    return nullptr;
  }
  int Count(const std::string &AMsg) const
  {
    int n = 0;
    for (const auto &l : Log) n += l == AMsg;
    return n;
  }
  void ExpectVideoRates(int AGop, int64_t ABitRate, int64_t AMax, int64_t AMin, int ABuffer)
  {
    const AVCodecContext *v = E.CodecOpts[AVMEDIA_TYPE_VIDEO];
    EXPECT_EQ(v->gop_size, AGop);
    EXPECT_EQ(v->bit_rate, ABitRate);
    EXPECT_EQ(v->rc_max_rate, AMax);
    EXPECT_EQ(v->rc_min_rate, AMin);
    EXPECT_EQ(v->rc_buffer_size, ABuffer);
  }

  TCustomFFmpeg E;
  std::vector<std::string> Log;
};

TEST_F(TargetsTest, PalDvdOverridesAnNtscInput)
{
  E.FrameRate = {30000, 1001};
  E.SetOption("target", "pal-dvd");
  EXPECT_EQ(E.FrameWidth, 720);
  EXPECT_EQ(E.FrameHeight, 576);
  EXPECT_EQ(E.FrameRate.num, 25);
  EXPECT_EQ(E.FrameRate.den, 1);
  EXPECT_EQ(E.VideoCodecName, "mpeg2video");
  EXPECT_EQ(E.AudioCodecName, "ac3");
  ASSERT_NE(E.OutputFormat, nullptr);
  EXPECT_STREQ(E.OutputFormat->name, "dvd");
  ExpectVideoRates(15, 6000000, 9000000, 0, 1835008);
  EXPECT_EQ(E.CodecOpts[AVMEDIA_TYPE_AUDIO]->bit_rate, 448000);
  EXPECT_EQ(E.FormatOpts->packet_size, 2048);
  ASSERT_NE(PrivateValue("muxrate"), nullptr);
  EXPECT_EQ(*PrivateValue("muxrate"), "10080000");
  EXPECT_EQ(E.AudioSampleRate, 48000);
  EXPECT_NEAR(E.FrameAspectRatio, 16.0 / 9.0, 1e-5);
  EXPECT_EQ(Count("Assuming PAL for target.") + Count("Assuming NTSC for target."), 0);  // given, not detected
}

TEST_F(TargetsTest, NormDetectedFromFrameRateIsReported)
{
  E.FrameRate = {25, 1};
  E.SetTarget("dvd");
  EXPECT_EQ(Count("Assuming PAL for target."), 1);
  EXPECT_EQ(E.FrameHeight, 576);

  TCustomFFmpeg quiet;
  quiet.Prepare();
  int lines = 0;
  quiet.OnLog = [&](TCustomFFmpeg *, int, const std::string &msg) { lines += msg.rfind("Assuming", 0) == 0; };
  quiet.Verbose = 0;
  quiet.FrameRate = {24000, 1001};
  quiet.SetTarget("dvd");
  EXPECT_EQ(lines, 0);
  EXPECT_EQ(quiet.FrameHeight, 480);  // 23.976 is an NTSC-family rate
  EXPECT_EQ(quiet.FrameRate.num, 30000);
}

TEST_F(TargetsTest, UndecidedRateFallsBackToNtscVcd)
{
  E.FrameRate = {15, 1};
  E.AudioChannels = 1;
  E.SetTarget("vcd");
  EXPECT_EQ(Count("Assuming NTSC for target."), 1);
  EXPECT_EQ(E.FrameWidth, 352);
  EXPECT_EQ(E.FrameHeight, 240);
  EXPECT_EQ(E.FrameRate.num, 30000);
  EXPECT_EQ(E.FrameRate.den, 1001);
  EXPECT_EQ(E.VideoCodecName, "mpeg1video");
  EXPECT_EQ(E.AudioCodecName, "mp2");
  EXPECT_STREQ(E.OutputFormat->name, "vcd");
  ExpectVideoRates(18, 1150000, 1150000, 1150000, 327680);
  EXPECT_EQ(E.CodecOpts[AVMEDIA_TYPE_AUDIO]->bit_rate, 224000);
  EXPECT_EQ(E.FormatOpts->packet_size, 2324);
  ASSERT_NE(PrivateValue("muxrate"), nullptr);
  EXPECT_EQ(*PrivateValue("muxrate"), "1411200");
  EXPECT_FLOAT_EQ(E.MuxPreload, 0.44f);
  EXPECT_EQ(E.AudioSampleRate, 44100);
  EXPECT_EQ(E.AudioChannels, 2);
  EXPECT_NEAR(E.FrameAspectRatio, 4.0 / 3.0, 1e-5);

  // The component's fallback norm decides when nothing else does.
  TCustomFFmpeg other;
  other.Prepare();
  other.FrameRate = {15, 1};
  other.ApplyTarget("vcd", "auto", "pal");
  EXPECT_EQ(other.FrameHeight, 288);
  EXPECT_EQ(other.CodecOpts[AVMEDIA_TYPE_VIDEO]->gop_size, 15);
}

TEST_F(TargetsTest, FilmSvcd)
{
  E.AudioChannels = 6;
  E.SetTarget("film-svcd");
  EXPECT_EQ(E.FrameWidth, 480);
  EXPECT_EQ(E.FrameHeight, 480);
  EXPECT_EQ(E.FrameRate.num, 24000);
  EXPECT_EQ(E.FrameRate.den, 1001);
  EXPECT_STREQ(E.OutputFormat->name, "svcd");
  ExpectVideoRates(18, 2040000, 2516000, 0, 1835008);
  EXPECT_EQ(E.CodecOpts[AVMEDIA_TYPE_AUDIO]->bit_rate, 224000);
  EXPECT_EQ(E.FormatOpts->packet_size, 2324);
  EXPECT_EQ(PrivateValue("muxrate"), nullptr);
  ASSERT_NE(PrivateValue("scan_offset"), nullptr);  // SVCD players need the scan offset space
  EXPECT_EQ(*PrivateValue("scan_offset"), "1");
  EXPECT_EQ(E.AudioChannels, 6);  // only mono is raised to stereo
  EXPECT_EQ(Count("Assuming NTSC for target.") + Count("Assuming PAL for target."), 0);  // nothing detected
}

TEST_F(TargetsTest, DvPixelFormats)
{
  E.SetTarget("ntsc-dv");
  EXPECT_EQ(E.FramePixFmt, AV_PIX_FMT_YUV411P);
  EXPECT_EQ(E.FrameHeight, 480);
  EXPECT_STREQ(E.OutputFormat->name, "dv");
  EXPECT_EQ(E.AudioSampleRate, 48000);
  EXPECT_EQ(E.VideoCodecName, "");  // the muxer's default codec stays in charge
  E.SetTarget("pal-dv");
  EXPECT_EQ(E.FramePixFmt, AV_PIX_FMT_YUV420P);
  EXPECT_EQ(E.FrameHeight, 576);
  E.SetTarget("ntsc-dv50");
  EXPECT_EQ(E.FramePixFmt, AV_PIX_FMT_YUV422P);
  E.SetTarget("pal-dv50");
  EXPECT_EQ(E.FramePixFmt, AV_PIX_FMT_YUV422P);
  EXPECT_FLOAT_EQ(E.FrameAspectRatio, 0);
}

TEST_F(TargetsTest, UnknownTypeAndMissingRate)
{
  E.FrameWidth = 320;
  E.FrameHeight = 240;
  EXPECT_EQ(TargetError("ntsc-vcd2"), "Unknown target type");
  EXPECT_EQ(TargetError("PAL-vcd"), "frame_rate is invalid.");  // prefixes are case-sensitive
  EXPECT_EQ(E.FrameWidth, 320);
  EXPECT_EQ(E.FrameHeight, 240);
  EXPECT_EQ(E.VideoCodecName, "");
  EXPECT_EQ(E.OutputFormat, nullptr);
  EXPECT_TRUE(E.OptNames.empty());
}

TEST_F(TargetsTest, EarlierChoicesThatStay)
{
  E.SetOption("aspect", "2.35");
  E.SetOption("vcodec", "copy");
  E.SetTarget("  pal-dvd ");
  EXPECT_FLOAT_EQ(E.FrameAspectRatio, 2.35f);
  EXPECT_EQ(E.VideoStreamCopy, 1);  // the preset's codec name does not undo a stream copy
  EXPECT_EQ(E.VideoCodecName, "mpeg2video");
  // Options set afterwards override the preset.
  E.SetOption("b", "4000000");
  EXPECT_EQ(E.CodecOpts[AVMEDIA_TYPE_VIDEO]->bit_rate, 4000000);
}

TEST_F(TargetsTest, NormDetectedFromTheInputStreams)
{
  qvtest::TScratchDir dir;
  const std::string file = dir.File("pal.flv");
  qvtest::TGenOptions gen;
  gen.VideoCodec = "flv";
  gen.AudioCodec = "";
  gen.FrameRate = {25, 1};
  gen.Seconds = 1;
  qvtest::MakeMedia(file, gen);
  ASSERT_TRUE(E.OpenInputFile(file)) << E.LastOptionError;
  // A rate that decides nothing leaves the decision to the video stream.
  E.FrameRate = {15, 1};
  E.ApplyTarget("vcd", "auto", "ntsc");
  EXPECT_EQ(Count("Assuming PAL for target."), 1);
  EXPECT_EQ(E.FrameHeight, 288);
  EXPECT_EQ(E.FrameRate.num, 25);
}

}  // namespace

namespace {

// The preset's values must survive into a real file: codecs, frame size,
// rate and the muxer, end to end.
TEST_F(TargetsTest, VcdPresetWritesAPlayableProgramStream)
{
  qvtest::TScratchDir dir;
  const std::string in = dir.File("in.flv");
  const std::string out = dir.File("out.mpg");
  qvtest::TGenOptions gen;
  gen.VideoCodec = "flv";
  gen.AudioCodec = "libmp3lame";
  gen.FrameRate = {25, 1};
  gen.Seconds = 2;
  qvtest::MakeMedia(in, gen);
  ASSERT_TRUE(E.OpenInputFile(in)) << E.LastOptionError;
  E.SetTarget("vcd");
  ASSERT_TRUE(E.OpenOutputFile(out)) << E.LastOptionError;
  E.Start(false);
  ASSERT_FALSE(E.ExceptionRaised) << E.LastErrorMessage;

  qvtest::TMediaInfo info;
  ASSERT_TRUE(qvtest::ProbeMedia(out, info));
  const qvtest::TStreamInfo *v = info.Find(AVMEDIA_TYPE_VIDEO);
  const qvtest::TStreamInfo *a = info.Find(AVMEDIA_TYPE_AUDIO);
  ASSERT_NE(v, nullptr);
  ASSERT_NE(a, nullptr);
  EXPECT_EQ(v->Codec, "mpeg1video");
  EXPECT_EQ(v->Width, 352);
  EXPECT_EQ(v->Height, 288);
  EXPECT_EQ(a->Codec, "mp2");
  EXPECT_EQ(a->SampleRate, 44100);
  EXPECT_EQ(info.Format, "mpeg");
}

}  // namespace
