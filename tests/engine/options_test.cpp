// Option handlers and target presets: validation, exact messages and the
// settings each accepted value leaves behind.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <functional>
#include <regex>

#include "AVUtilHlpr.h"
#include "FFmpeg.h"
#include "LibLoader.h"
#include "SysFormat.h"
#include "TestEnv.h"
#include "TestMedia.h"

namespace {

class OptionsTest : public ::testing::Test {
 protected:
  void SetUp() override
  {
    qvtest::LoadLibs();
    E.Prepare();
    E.OnLog = [this](TCustomFFmpeg *, int level, const std::string &msg) { Log.push_back({level, msg}); };
  }
  void TearDown() override { SetLibraryLogLevel(1); }

  // The message of the exception of type T that AFn raises; fails the test otherwise.
  template <typename T = FFMpegException>
  std::string ErrorOf(const std::function<void()> &AFn)
  {
    try {
      AFn();
    } catch (const T &e) {
      return e.what();
    } catch (const std::exception &e) {
      ADD_FAILURE() << "unexpected exception type: " << e.what();
      return {};
    }
    ADD_FAILURE() << "nothing raised";
    return {};
  }
  std::string OptionError(const std::string &AName, const std::string &AValue)
  {
    return ErrorOf([&] { E.SetOption(AName, AValue); });
  }
  int Count(const std::string &AMsg) const
  {
    int n = 0;
    for (const auto &l : Log) n += l.second == AMsg;
    return n;
  }
  bool HasOptName(const std::string &AName) const
  {
    return std::find(E.Job().OptNames.begin(), E.Job().OptNames.end(), AName) != E.Job().OptNames.end();
  }
  const std::string *PrivateValue(const std::string &AName) const
  {
    for (const auto &[n, v] : E.Job().PrivateOpts)
      if (n == AName) return &v;
    return nullptr;
  }

  TCustomFFmpeg E;
  std::vector<std::pair<int, std::string>> Log;
};

TEST_F(OptionsTest, RefusedValuesGiveTheirMessageAndChangeNothing)
{
  const auto badTime = [](const char *AKind, const char *AName, const char *AValue) {
    return avbind::Format("Invalid %s specification for %s: %s", {AKind, AName, AValue});
  };
  const std::string vcrop = "Vertical crop dimensions are outside the range of the original image.\n"
                            "Remember to crop first and scale second.";
  const std::string hcrop = "Horizontal crop dimensions are outside the range of the original image.\n"
                            "Remember to crop first and scale second.";
  const std::string aspect = "Incorrect aspect ratio specification.", qscale = "qscale must be > 0.0 and <= 255";
  const std::string itsscale = "stream index over MAX_STREAMS(20)";
  struct TCase {
    const char *Name, *Value;
    std::string Message;  // "" for any message
  };
  const TCase cases[] = {
      {"s", "320x241", "Frame size must be a multiple of 2"}, {"s", "321x240", "Frame size must be a multiple of 2"},
      {"s", "nosuchsize", "Incorrect frame size"}, {"s", "0x240", "Incorrect frame size"},
      {"s", "100000x100000", "Incorrect frame size"},  // refused before it reaches the buffer arithmetic
      {"r", "fast", "Incorrect frame rate"}, {"r", "0", "Incorrect frame rate"},
      {"croptop", "240", vcrop}, {"cropbottom", "300", vcrop}, {"cropleft", "320", hcrop}, {"cropright", "322", hcrop},
      {"croptop", "3", "Top crop size must be a multiple of 2"},
      {"cropbottom", "5", "Bottom crop size must be a multiple of 2"},
      {"cropleft", "7", "Left crop size must be a multiple of 2"},
      {"cropright", "9", "Right crop size must be a multiple of 2"},
      {"padtop", "3", "Top pad size must be a multiple of 2"}, {"padbottom", "1", "Bottom pad size must be a multiple of 2"},
      {"padleft", "5", "Left pad size must be a multiple of 2"}, {"padright", "7", "Right pad size must be a multiple of 2"},
      {"aspect", "16:0", aspect}, {"aspect", "0", aspect}, {"aspect", "wide", aspect}, {"aspect", "-4:3", aspect},
      {"aspect", "x:3", aspect},  // an unreadable part counts as 0
      {"qscale", "0", qscale}, {"qscale", "256", qscale}, {"qscale", "-1", qscale},
      {"t", "soon", badTime("duration", "t", "soon")},
      {"ss", "1:xx", badTime("duration", "ss", "1:xx")},
      {"timestamp", "yesterday", badTime("date", "timestamp", "yesterday")},
      {"itsscale", "20:1.5", itsscale}, {"itsscale", "-1:1.5", itsscale}, {"itsscale", "1:-3", ""},
      {"threads", "2", "TODO: option - threads"}, {"vbsf", "h264_mp4toannexb", "TODO: option - vbsf"},
      {"map", "first:second", ""}, {"map", "0:99999999999", ""},
      {"inter_matrix", "8,16,24", "Syntax error in matrix \"8,16,24\" at coeff 2"},
      {"pass", "3", "pass number can be only 1 or 2"}, {"newvideo", "", "At least one output file must be specified"},
      {"newsubtitle", "", "At least one output file must be specified"},
      {"f", "nosuchformat", "Unknown input or output format: nosuchformat"},
  };
  E.SetOption("aspect", "16:9");
  for (const TCase &c : cases) {
    SCOPED_TRACE(std::string(c.Name) + " " + c.Value);
    E.SetOption("s", "320x240");  // a refused odd size is left set: crops are checked against this one
    const std::string msg = OptionError(c.Name, c.Value);
    if (c.Message.empty())
      EXPECT_FALSE(msg.empty());
    else
      EXPECT_EQ(msg, c.Message);
  }
  EXPECT_EQ(E.FrameWidth, 320);
  EXPECT_EQ(E.FrameHeight, 240);
  EXPECT_EQ(E.FrameRate.num, 0);
  EXPECT_EQ(E.FrameTopBand + E.FrameBottomBand + E.FrameLeftBand + E.FrameRightBand, 0);
  EXPECT_EQ(E.FramePadTop + E.FramePadBottom + E.FramePadLeft + E.FramePadRight, 0);
  EXPECT_NEAR(E.FrameAspectRatio, 1.7778, 1e-4);
  EXPECT_FLOAT_EQ(E.VideoQScale, 0);
  EXPECT_EQ(E.RecordingTime, INT64_MAX);
  EXPECT_EQ(E.Job().InputTsScales[0][1], 0);
  EXPECT_EQ(E.Job().StreamMapCount, 0);
  EXPECT_EQ(E.InterMatrix, nullptr);  // nothing partial is left for the encoder
  EXPECT_EQ(E.OutputFormat, nullptr);
  for (const char *v : {"high", "nan"})
    EXPECT_EQ(ErrorOf<EConvertError>([&] { E.SetOption("qscale", v); }),
              std::string("'") + v + "' is not a valid floating point value");
  for (const auto &[n, v] : {std::pair{"vframes", "12 "}, {"dframes", "4294967296"}, {"vsync", ""}})
    EXPECT_EQ(ErrorOf<EConvertError>([&] { E.SetOption(n, v); }), std::string("'") + v + "' is not a valid integer value");
  // With every input slot taken there is no next input to scale.
  E.InputFileCount = MaxFiles;
  EXPECT_FALSE(OptionError("itsscale", "1:2").empty());
  E.InputFileCount = 0;
}

TEST_F(OptionsTest, FrameGeometryAndQuality)
{
  E.SetOption("s", "pal");
  EXPECT_EQ(E.FrameWidth * 1000 + E.FrameHeight, 720576);
  E.SetOption("r", "ntsc");
  EXPECT_EQ(av_cmp_q(E.FrameRate, AVRational{30000, 1001}), 0);

  E.SetOption("s", "320x240");
  E.SetOption("croptop", "8");
  E.SetOption("croptop", "-2");  // negative crops and pads are ignored
  E.SetOption("cropbottom", "2");
  E.SetOption("cropleft", "10");
  E.SetOption("cropright", "20");
  EXPECT_EQ(E.FrameTopBand, 8);
  EXPECT_EQ(E.FrameHeight, 230);
  EXPECT_EQ(E.FrameWidth, 290);
  E.SetOption("padright", "-3");  // ignored before the parity check
  E.SetOption("padleft", "8");
  E.SetOption("padleft", "-8");
  EXPECT_EQ(E.FramePadRight, 0);
  EXPECT_EQ(E.FramePadLeft, 8);

  E.SetOption("aspect", "1.5");
  EXPECT_FLOAT_EQ(E.FrameAspectRatio, 1.5f);
  E.SetOption("qscale", "255");
  EXPECT_FLOAT_EQ(E.VideoQScale, 255);

  // Y, U, V of the pad colour; pure red's negative chroma term must round down.
  const std::pair<const char *, std::array<int, 3>> colours[] = {
      {"0", {0, 128, 128}}, {"16777215", {255, 128, 128}}, {"$0000FF", {76, 85, 255}}, {"0xFF0000", {29, 255, 107}}};
  for (const auto &[text, yuv] : colours) {
    E.SetOption("padcolor", text);
    EXPECT_EQ((std::array<int, 3>{E.PadColor[0], E.PadColor[1], E.PadColor[2]}), yuv) << text;
  }

  const std::string v = ErrorOf<EAssertionFailed>([&] { E.SetOption("vtag", "xvi"); });
  EXPECT_TRUE(std::regex_match(v, std::regex(R"(video tag parameter must be 4 chars \(FFmpeg, line \d+\))"))) << v;
  const std::string a = ErrorOf<EAssertionFailed>([&] { E.SetOption("atag", "mp4a1"); });
  EXPECT_TRUE(std::regex_match(a, std::regex(R"(audio tag parameter must be 4 chars \(FFmpeg, line \d+\))"))) << a;
  E.SetOption("vtag", "XVID");
  EXPECT_EQ(E.VideoCodecTag, 0x44495658);  // 'X' in the low byte

  // Matrices: text after the 64th value is ignored; zero or over-large coefficients are refused.
  std::string text;
  for (int i = 1; i <= 64; ++i) text += std::to_string(i) + (i < 64 ? "," : "");
  E.SetOption("intra_matrix", text + ",99,100");
  ASSERT_NE(E.IntraMatrix, nullptr);
  EXPECT_EQ(E.IntraMatrix[63], 64);
  EXPECT_FALSE(OptionError("intra_matrix", "0" + text.substr(1)).empty());
  EXPECT_FALSE(OptionError("intra_matrix", "256" + text.substr(1)).empty());
  EXPECT_EQ(E.IntraMatrix[0], 1);
}

TEST_F(OptionsTest, BitRateWarningAndLibraryOptions)
{
  const std::string warning =
      "WARNING: The bitrate parameter is set too low. It takes bits/s as argument, not kbits/s";
  const int64_t audioDefault = E.Job().CodecOpts[AVMEDIA_TYPE_AUDIO]->bit_rate;
  E.SetOption("b", "64");
  E.SetOption("b", "64000");
  EXPECT_EQ(Count(warning), 1);
  EXPECT_EQ(E.Job().CodecOpts[AVMEDIA_TYPE_AUDIO]->bit_rate, audioDefault);  // "b" is the video rate only
  // "ab" reads the audio context back: a sane video rate does not hide it.
  E.SetOption("ab", "96");
  EXPECT_EQ(Count(warning), 2);
  E.SetOption("ab", "96000");
  EXPECT_EQ(E.Job().CodecOpts[AVMEDIA_TYPE_AUDIO]->bit_rate, 96000);
  EXPECT_EQ(E.Job().CodecOpts[AVMEDIA_TYPE_VIDEO]->bit_rate, 64000);

  E.SetOption("g", "30");
  E.SetOption("maxrate", "500000");
  EXPECT_EQ(E.Job().CodecOpts[AVMEDIA_TYPE_VIDEO]->gop_size, 30);
  EXPECT_EQ(E.Job().CodecOpts[AVMEDIA_TYPE_VIDEO]->rc_max_rate, 500000);
  EXPECT_TRUE(HasOptName("g") && HasOptName("maxrate") && HasOptName("ab"));
  EXPECT_FALSE(E.SetGenericOption("g", "many"));  // a value the library refuses
  EXPECT_FALSE(E.SetGenericOption("g", "  "));
  EXPECT_FALSE(E.SetGenericOption(" ", "12"));
  // The retired GOP name still works and says so once.
  EXPECT_TRUE(E.SetGenericOption("gop", "18"));
  EXPECT_TRUE(E.SetGenericOption("gop", "15"));
  EXPECT_EQ(E.Job().CodecOpts[AVMEDIA_TYPE_VIDEO]->gop_size, 15);
  EXPECT_EQ(std::count_if(Log.begin(), Log.end(),
                          [](const auto &l) { return l.first == 1 && l.second.find("gop") != std::string::npos; }),
            1);
  EXPECT_TRUE(E.SetGenericOption("packetsize", 2324));
  EXPECT_EQ(E.Job().FormatOpts->packet_size, 2324);
  EXPECT_TRUE(E.SetGenericOption("sws_flags", "bilinear"));

  // Private options of muxers and encoders: replaced, not repeated; malformed ones refused.
  EXPECT_TRUE(E.SetGenericOption("muxrate", 1411200));
  EXPECT_TRUE(E.SetGenericOption("muxrate", "10080000"));
  EXPECT_FALSE(E.SetGenericOption("preload", "soon"));
  ASSERT_EQ(E.Job().PrivateOpts.size(), 1u);
  EXPECT_EQ(*PrivateValue("muxrate"), "10080000");
  // The MPEG-2 scan offset left the generic flags; it still reaches the encoder,
  // and the other flags in the same value still reach the generic context.
  EXPECT_TRUE(E.SetGenericOption("flags", "+SCAN_OFFSET+psnr"));
  ASSERT_NE(PrivateValue("scan_offset"), nullptr);
  EXPECT_EQ(*PrivateValue("scan_offset"), "1");
  EXPECT_NE(E.Job().CodecOpts[AVMEDIA_TYPE_VIDEO]->flags & AV_CODEC_FLAG_PSNR, 0);

  // A name no library knows changes nothing.
  const auto names = E.Job().OptNames;
  E.SetOption("no_such_option_anywhere", "1");
  EXPECT_FALSE(E.SetGenericOption("no_such_option_anywhere", "1"));
  EXPECT_EQ(E.Job().OptNames, names);
  EXPECT_EQ(E.Job().PrivateOpts.size(), 2u);
}

TEST_F(OptionsTest, NoOpsTimesMapsAndPlainSettings)
{
  E.SetOption("benchmark", "");
  ASSERT_EQ(Log.size(), 1u);
  EXPECT_EQ(Log[0], std::make_pair(1, std::string("Do nothing: option - benchmark")));
  for (const char *n : {"vstats", "newaudio", "an", "benchmark"}) EXPECT_TRUE(TCustomFFmpeg::OptionTakesNoValue(n)) << n;
  for (const char *n : {"s", "threads", "g", "Vn"}) EXPECT_FALSE(TCustomFFmpeg::OptionTakesNoValue(n)) << n;

  E.SetOption("t", "00:00:10.5");
  E.SetOption("t", "0");  // no limit of zero length
  EXPECT_EQ(E.RecordingTime, 10500000);
  EXPECT_EQ(E.TotalDuration, 10500);
  E.SetOption("timestamp", "2008-03-01 12:00:00Z");
  EXPECT_EQ(E.RecTimestamp, 1204372800);
  // A limit beyond the 32-bit millisecond total does not wrap negative.
  E.SetRecordingTimeMs(int64_t(1) << 40);
  EXPECT_EQ(E.TotalDuration, INT32_MAX);
  E.SetOption("itsscale", "19:2.5");
  E.SetOption("itsscale", "0x2,0.5");
  EXPECT_DOUBLE_EQ(E.Job().InputTsScales[0][19], 2.5);
  EXPECT_DOUBLE_EQ(E.Job().InputTsScales[0][2], 0.5);

  E.SetOption("map", "1.2:0.3");
  EXPECT_EQ(E.Job().StreamMaps[0].FileIndex * 1000 + E.Job().StreamMaps[0].StreamIndex * 100 + E.Job().StreamMaps[0].SyncFileIndex * 10 +
                E.Job().StreamMaps[0].SyncStreamIndex,
            1203);
  for (int i = 1; i < MaxStreamMaps; ++i) E.SetOption("map", "0:0");
  EXPECT_EQ(OptionError("map", "0:0"), "Too many stream maps (at most 20)");
  EXPECT_EQ(E.Job().StreamMapCount, 20);
  for (int i = 0; i < MaxMetaDataMaps; ++i) E.SetOption("map_meta_data", "1:0");
  EXPECT_EQ(OptionError("map_meta_data", "0:0"), "Too many meta data maps (at most 20)");
  EXPECT_EQ(E.Job().MetaDataMapCount, 20);

  // Numbers read like the original's: "$" and "x" mark hex.
  E.SetOption("vframes", "$10");
  E.SetOption("aframes", "  -x1F");
  EXPECT_EQ(E.MaxFrames[AVMEDIA_TYPE_VIDEO], 16);
  EXPECT_EQ(E.MaxFrames[AVMEDIA_TYPE_AUDIO], -31);
  E.SetOption("fs", "5000000000");
  EXPECT_EQ(E.LimitFileSize, 5000000000);
  // Out-of-range values are ignored.
  E.SetOption("ar", "0");
  E.SetOption("ac", "-1");
  E.SetOption("title", "First");
  E.SetOption("title", "");
  E.SetAudioVolume(-1);
  E.SetMuxPreload(0);
  E.SetStartTime(-5);
  EXPECT_EQ(E.AudioSampleRate, 44100);
  EXPECT_EQ(E.AudioChannels, 2);
  EXPECT_EQ(E.Title, "First");
  EXPECT_EQ(E.AudioVolume, 256);
  EXPECT_FLOAT_EQ(E.MuxPreload, 0.5f);
  EXPECT_EQ(E.StartTime, 0);

  E.SetOption("vcodec", "copy");
  E.SetOption("vcodec", "mpeg4");
  E.SetOption("acodec", "aac");
  E.SetOption("acodec", "copy");
  EXPECT_EQ(E.VideoStreamCopy, 1);
  EXPECT_EQ(E.VideoCodecName, "mpeg4");
  EXPECT_EQ(E.AudioCodecName, "");
  EXPECT_EQ(ErrorOf([&] { E.SetInputFormat("nosuch"); }), "Unknown input format: nosuch");
  EXPECT_EQ(ErrorOf([&] { E.SetOutputFormat("nosuch"); }), "Unknown output format: nosuch");
  E.SetOption("f", "pgmyuv");
  EXPECT_STREQ(E.OutputFormat->name, "image2");
  EXPECT_EQ(Count("pgmyuv format is deprecated, use image2"), 1);
  E.SetOption("pix_fmt", "yuv422p");
  Log.clear();
  E.SetOption("pix_fmt", "list");
  ASSERT_GT(Log.size(), 41u);  // the heading and every format the library has
  EXPECT_EQ(Log[1].second.rfind("yuv420p", 0), 0u);
  EXPECT_EQ(E.FramePixFmt, AV_PIX_FMT_YUV422P);

  E.SetOption("v", "-1");
  EXPECT_EQ(AVUtilLib.av_log_get_level(), AV_LOG_QUIET);
  E.SetOption("debug", "pict");  // a library debug option raises the engine to debug level
  EXPECT_EQ(E.Verbose, 2);
  EXPECT_EQ(AVUtilLib.av_log_get_level(), AV_LOG_DEBUG);
}

// ---- target presets ----

TEST_F(OptionsTest, TargetPresetsFillTheCodecContexts)
{
  struct TCase {
    const char *Target;
    AVRational In, Out;
    int Width, Height;
    const char *Format, *Assumed;
    int Gop;
    int64_t Rate, MaxRate, MinRate;
    int Buffer;
    int64_t AudioRate;
    int Packet;
    const char *MuxRate;
  };
  const TCase cases[] = {
      {"pal-dvd", {30000, 1001}, {25, 1}, 720, 576, "dvd", "", 15, 6000000, 9000000, 0, 1835008, 448000, 2048, "10080000"},
      {"dvd", {25, 1}, {25, 1}, 720, 576, "dvd", "PAL", 15, 6000000, 9000000, 0, 1835008, 448000, 2048, "10080000"},
      {"dvd", {24000, 1001}, {30000, 1001}, 720, 480, "dvd", "NTSC", 18, 6000000, 9000000, 0, 1835008, 448000, 2048,
       "10080000"},
      {"vcd", {15, 1}, {30000, 1001}, 352, 240, "vcd", "NTSC", 18, 1150000, 1150000, 1150000, 327680, 224000, 2324,
       "1411200"},
      {"film-svcd", {0, 1}, {24000, 1001}, 480, 480, "svcd", "", 18, 2040000, 2516000, 0, 1835008, 224000, 2324, nullptr},
  };
  for (const TCase &c : cases) {
    SCOPED_TRACE(c.Target);
    E.Prepare();
    Log.clear();
    E.FrameRate = c.In;
    E.AudioChannels = 1;
    E.SetOption("target", c.Target);
    EXPECT_EQ(E.FrameWidth, c.Width);
    EXPECT_EQ(E.FrameHeight, c.Height);
    EXPECT_EQ(av_cmp_q(E.FrameRate, c.Out), 0);
    ASSERT_NE(E.OutputFormat, nullptr);
    EXPECT_STREQ(E.OutputFormat->name, c.Format);
    EXPECT_EQ(Count("Assuming PAL for target.") + Count("Assuming NTSC for target."), *c.Assumed ? 1 : 0);
    EXPECT_TRUE(!*c.Assumed || Count(std::string("Assuming ") + c.Assumed + " for target.") == 1);
    const AVCodecContext *v = E.Job().CodecOpts[AVMEDIA_TYPE_VIDEO];
    EXPECT_EQ(v->gop_size, c.Gop);
    EXPECT_EQ(v->bit_rate, c.Rate);
    EXPECT_EQ(v->rc_max_rate, c.MaxRate);
    EXPECT_EQ(v->rc_min_rate, c.MinRate);
    EXPECT_EQ(v->rc_buffer_size, c.Buffer);
    EXPECT_EQ(E.Job().CodecOpts[AVMEDIA_TYPE_AUDIO]->bit_rate, c.AudioRate);
    EXPECT_EQ(E.Job().FormatOpts->packet_size, c.Packet);
    const std::string *mux = PrivateValue("muxrate");
    EXPECT_EQ(mux ? *mux : "<none>", c.MuxRate ? c.MuxRate : "<none>");
    EXPECT_EQ(E.AudioChannels, 2);  // mono is raised to stereo
  }
  EXPECT_EQ(*PrivateValue("scan_offset"), "1");  // SVCD players need the scan offset space
  E.Prepare();
  E.AudioChannels = 6;
  E.SetTarget("pal-svcd");
  EXPECT_EQ(E.AudioChannels, 6);  // only mono is raised to stereo
  E.SetTarget("pal-vcd");
  EXPECT_FLOAT_EQ(E.MuxPreload, 0.44f);
  EXPECT_NEAR(E.FrameAspectRatio, 4.0 / 3.0, 1e-5);
  // The component's fallback norm decides when nothing else does.
  E.Prepare();
  E.FrameRate = {15, 1};
  E.ApplyTarget("vcd", "auto", "pal");
  EXPECT_EQ(E.FrameHeight, 288);
  EXPECT_EQ(E.Job().CodecOpts[AVMEDIA_TYPE_VIDEO]->gop_size, 15);
}

TEST_F(OptionsTest, DvTargetsErrorsAndEarlierChoices)
{
  const std::pair<const char *, AVPixelFormat> dv[] = {{"ntsc-dv", AV_PIX_FMT_YUV411P},
                                                       {"pal-dv", AV_PIX_FMT_YUV420P},
                                                       {"ntsc-dv50", AV_PIX_FMT_YUV422P},
                                                       {"pal-dv50", AV_PIX_FMT_YUV422P}};
  for (const auto &[target, fmt] : dv) {
    E.SetTarget(target);
    EXPECT_EQ(E.FramePixFmt, fmt) << target;
  }
  EXPECT_STREQ(E.OutputFormat->name, "dv");
  EXPECT_EQ(E.VideoCodecName, "");  // the muxer's default codec stays in charge

  E.Prepare();
  E.FrameWidth = 320;
  E.FrameHeight = 240;
  EXPECT_EQ(ErrorOf([&] { E.SetTarget("ntsc-vcd2"); }), "Unknown target type");
  EXPECT_EQ(ErrorOf([&] { E.SetTarget("PAL-vcd"); }), "frame_rate is invalid.");  // prefixes are case-sensitive
  EXPECT_EQ(E.FrameWidth, 320);
  EXPECT_EQ(E.OutputFormat, nullptr);
  EXPECT_TRUE(E.Job().OptNames.empty());

  E.SetOption("aspect", "2.35");
  E.SetOption("vcodec", "copy");
  E.SetTarget("  pal-dvd ");
  EXPECT_FLOAT_EQ(E.FrameAspectRatio, 2.35f);
  EXPECT_EQ(E.VideoStreamCopy, 1);  // the preset's codec name does not undo a stream copy
  E.SetOption("b", "4000000");      // options set afterwards override the preset
  EXPECT_EQ(E.Job().CodecOpts[AVMEDIA_TYPE_VIDEO]->bit_rate, 4000000);
}

// A library option the preset cannot set (here: no option storage at all)
// is logged as an error and the rest of the preset still applies.
TEST_F(OptionsTest, TargetGoesOnPastRefusedLibraryOptions)
{
  TCustomFFmpeg bare;  // never prepared
  std::vector<std::pair<int, std::string>> log;
  bare.OnLog = [&](TCustomFFmpeg *, int ALevel, const std::string &AMsg) { log.emplace_back(ALevel, AMsg); };
  EXPECT_NO_THROW(bare.SetTarget("pal-vcd"));
  EXPECT_EQ(bare.FrameWidth * 1000 + bare.FrameHeight, 352288);
  EXPECT_EQ(bare.VideoCodecName, "mpeg1video");
  EXPECT_FLOAT_EQ(bare.MuxPreload, 0.44f);
  EXPECT_NEAR(bare.FrameAspectRatio, 4.0 / 3.0, 1e-5);
  std::vector<std::string> refused;
  for (const auto &[level, msg] : log)
    if (level == 0) refused.push_back(msg);
  ASSERT_EQ(refused.size(), 8u);
  EXPECT_EQ(refused.front(), "The target option gop could not be set to 15");
  EXPECT_EQ(refused.back(), "The target option muxrate could not be set to 1411200");
}

TEST_F(OptionsTest, VcdTargetTakesTheNormOfTheInputAndWritesAProgramStream)
{
  qvtest::TScratchDir dir;
  const std::string in = dir.File("in.flv"), out = dir.File("out.mpg");
  qvtest::TGenOptions gen;
  gen.VideoCodec = "flv";
  gen.AudioCodec = "libmp3lame";
  gen.Seconds = 2;
  qvtest::MakeMedia(in, gen);
  E.Verbose = -1;
  ASSERT_TRUE(E.OpenInputFile(in)) << E.LastOptionError;
  E.Verbose = 1;
  E.FrameRate = {15, 1};  // a rate that decides nothing leaves the decision to the video stream
  E.ApplyTarget("vcd", "auto", "ntsc");
  EXPECT_EQ(Count("Assuming PAL for target."), 1);
  E.Verbose = -1;
  ASSERT_TRUE(E.OpenOutputFile(out)) << E.LastOptionError;
  E.Start(false);
  ASSERT_FALSE(E.ExceptionRaised) << E.LastErrorMessage;
  qvtest::TMediaInfo info;
  ASSERT_TRUE(qvtest::ProbeMedia(out, info));
  const qvtest::TStreamInfo *v = info.Find(AVMEDIA_TYPE_VIDEO), *a = info.Find(AVMEDIA_TYPE_AUDIO);
  ASSERT_TRUE(v && a);
  EXPECT_EQ(info.Format, "mpeg");
  EXPECT_EQ(v->Codec, "mpeg1video");
  EXPECT_EQ(v->Width * 1000 + v->Height, 352288);
  EXPECT_EQ(a->Codec, "mp2");
  EXPECT_EQ(a->SampleRate, 44100);
}

}  // namespace
