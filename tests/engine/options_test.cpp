// Option table and handlers: validation, messages and the settings each
// option leaves behind, including the libraries' generic options.
#include <gtest/gtest.h>

#include <functional>
#include <regex>
#include <string>
#include <vector>

#include "AVUtilHlpr.h"
#include "FFmpeg.h"
#include "LibLoader.h"
#include "TestEnv.h"

namespace {

struct TLogLine {
  int Level;
  std::string Msg;
};

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
  template <typename T>
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
    return ErrorOf<FFMpegException>([&] { E.SetOption(AName, AValue); });
  }
  int Count(const std::string &AMsg) const
  {
    int n = 0;
    for (const auto &l : Log) n += l.Msg == AMsg;
    return n;
  }
  bool HasOptName(const std::string &AName) const
  {
    for (const auto &n : E.OptNames)
      if (n == AName) return true;
    return false;
  }
  const std::string *PrivateValue(const std::string &AName) const
  {
    for (const auto &[n, v] : E.PrivateOpts)
      if (n == AName) return &v;
    return nullptr;
  }

  TCustomFFmpeg E;
  std::vector<TLogLine> Log;
};

TEST_F(OptionsTest, FrameSizeAndRateValidation)
{
  EXPECT_EQ(OptionError("s", "320x241"), "Frame size must be a multiple of 2");
  EXPECT_EQ(OptionError("s", "321x240"), "Frame size must be a multiple of 2");
  EXPECT_EQ(OptionError("s", "nosuchsize"), "Incorrect frame size");
  EXPECT_EQ(OptionError("s", "0x240"), "Incorrect frame size");
  // Too large to address: refused before it reaches the buffer arithmetic.
  EXPECT_EQ(OptionError("s", "100000x100000"), "Incorrect frame size");
  E.SetOption("s", "pal");
  EXPECT_EQ(E.FrameWidth, 720);
  EXPECT_EQ(E.FrameHeight, 576);
  EXPECT_EQ(OptionError("s", "bogus"), "Incorrect frame size");
  EXPECT_EQ(E.FrameWidth, 720);

  E.SetOption("r", "ntsc");
  EXPECT_EQ(E.FrameRate.num, 30000);
  EXPECT_EQ(E.FrameRate.den, 1001);
  EXPECT_EQ(OptionError("r", "fast"), "Incorrect frame rate");
  EXPECT_EQ(OptionError("r", "0"), "Incorrect frame rate");
  EXPECT_EQ(E.FrameRate.num, 30000);  // a refused rate leaves the old one
  E.SetOption("r", "15");
  EXPECT_EQ(E.FrameRate.num, 15);
  EXPECT_EQ(E.FrameRate.den, 1);
}

TEST_F(OptionsTest, CropsReferToTheCurrentFrameSize)
{
  const std::string vertical =
      "Vertical crop dimensions are outside the range of the original image.\nRemember to crop first and scale second.";
  const std::string horizontal =
      "Horizontal crop dimensions are outside the range of the original image.\nRemember to crop first and scale "
      "second.";
  E.SetOption("s", "320x240");
  EXPECT_EQ(OptionError("croptop", "240"), vertical);
  EXPECT_EQ(OptionError("cropbottom", "300"), vertical);
  EXPECT_EQ(OptionError("cropleft", "320"), horizontal);
  EXPECT_EQ(OptionError("cropright", "322"), horizontal);
  EXPECT_EQ(OptionError("croptop", "3"), "Top crop size must be a multiple of 2");
  EXPECT_EQ(OptionError("cropbottom", "5"), "Bottom crop size must be a multiple of 2");
  EXPECT_EQ(OptionError("cropleft", "7"), "Left crop size must be a multiple of 2");
  EXPECT_EQ(OptionError("cropright", "9"), "Right crop size must be a multiple of 2");
  EXPECT_EQ(E.FrameHeight, 240);
  EXPECT_EQ(E.FrameWidth, 320);

  E.SetOption("croptop", "8");
  EXPECT_EQ(E.FrameTopBand, 8);
  EXPECT_EQ(E.FrameHeight, 232);
  E.SetOption("croptop", "-2");
  EXPECT_EQ(E.FrameTopBand, 8);
  EXPECT_EQ(E.FrameHeight, 232);
  E.SetOption("cropbottom", "2");
  E.SetOption("cropleft", "10");
  E.SetOption("cropright", "20");
  EXPECT_EQ(E.FrameHeight, 230);
  EXPECT_EQ(E.FrameWidth, 290);
  EXPECT_EQ(E.FrameBottomBand, 2);
  EXPECT_EQ(E.FrameLeftBand, 10);
  EXPECT_EQ(E.FrameRightBand, 20);
}

TEST_F(OptionsTest, PadsMustBeEvenAndNegativesAreIgnored)
{
  EXPECT_EQ(OptionError("padtop", "3"), "Top pad size must be a multiple of 2");
  EXPECT_EQ(OptionError("padbottom", "1"), "Bottom pad size must be a multiple of 2");
  EXPECT_EQ(OptionError("padleft", "5"), "Left pad size must be a multiple of 2");
  EXPECT_EQ(OptionError("padright", "7"), "Right pad size must be a multiple of 2");
  E.SetOption("padright", "-3");  // negative: ignored before the parity check
  EXPECT_EQ(E.FramePadRight, 0);
  E.SetOption("padtop", "16");
  E.SetOption("padleft", "8");
  E.SetOption("padleft", "-8");
  EXPECT_EQ(E.FramePadTop, 16);
  EXPECT_EQ(E.FramePadLeft, 8);
  EXPECT_EQ(E.FramePadBottom, 0);
}

TEST_F(OptionsTest, AspectRatioForms)
{
  E.SetOption("aspect", "16:9");
  EXPECT_NEAR(E.FrameAspectRatio, 1.7778, 1e-4);
  const std::string bad = "Incorrect aspect ratio specification.";
  EXPECT_EQ(OptionError("aspect", "16:0"), bad);
  EXPECT_EQ(OptionError("aspect", "0"), bad);
  EXPECT_EQ(OptionError("aspect", "wide"), bad);
  EXPECT_EQ(OptionError("aspect", "-4:3"), bad);
  EXPECT_NEAR(E.FrameAspectRatio, 1.7778, 1e-4);  // refused values leave the old ratio
  E.SetOption("aspect", "1.5");
  EXPECT_FLOAT_EQ(E.FrameAspectRatio, 1.5f);
  EXPECT_EQ(OptionError("aspect", "x:3"), bad);  // an unreadable part counts as 0
  EXPECT_FLOAT_EQ(E.FrameAspectRatio, 1.5f);
}

TEST_F(OptionsTest, QualityScaleBounds)
{
  const std::string msg = "qscale must be > 0.0 and <= 255";
  EXPECT_EQ(OptionError("qscale", "0"), msg);
  EXPECT_EQ(OptionError("qscale", "256"), msg);
  EXPECT_EQ(OptionError("qscale", "-1"), msg);
  EXPECT_EQ(ErrorOf<EConvertError>([&] { E.SetOption("qscale", "high"); }),
            "'high' is not a valid floating point value");
  EXPECT_EQ(ErrorOf<EConvertError>([&] { E.SetOption("qscale", "nan"); }),
            "'nan' is not a valid floating point value");
  EXPECT_FLOAT_EQ(E.VideoQScale, 0);
  E.SetOption("qscale", "255");
  EXPECT_FLOAT_EQ(E.VideoQScale, 255);
  E.SetOption("qscale", "2.5");
  EXPECT_FLOAT_EQ(E.VideoQScale, 2.5f);
}

TEST_F(OptionsTest, BitRateWarnsWhenGivenInKilobits)
{
  const std::string warning =
      "WARNING: The bitrate parameter is set too low. It takes bits/s as argument, not kbits/s";
  const int64_t audioDefault = E.CodecOpts[AVMEDIA_TYPE_AUDIO]->bit_rate;
  E.SetOption("b", "64");
  EXPECT_EQ(Count(warning), 1);
  E.SetOption("b", "64000");
  EXPECT_EQ(Count(warning), 1);
  EXPECT_EQ(E.CodecOpts[AVMEDIA_TYPE_VIDEO]->bit_rate, 64000);
  EXPECT_EQ(E.CodecOpts[AVMEDIA_TYPE_AUDIO]->bit_rate, audioDefault);  // "b" is the video rate only

  // "ab" reads the audio context back: a sane video rate does not hide it.
  E.SetOption("ab", "96");
  EXPECT_EQ(Count(warning), 2);
  E.SetOption("ab", "96000");
  EXPECT_EQ(E.CodecOpts[AVMEDIA_TYPE_AUDIO]->bit_rate, 96000);
  EXPECT_EQ(E.CodecOpts[AVMEDIA_TYPE_VIDEO]->bit_rate, 64000);
  E.SetOption("vb", "800000");
  EXPECT_EQ(E.CodecOpts[AVMEDIA_TYPE_VIDEO]->bit_rate, 800000);
  EXPECT_EQ(Count(warning), 2);
  EXPECT_TRUE(HasOptName("b"));
  EXPECT_TRUE(HasOptName("ab"));
}

TEST_F(OptionsTest, PadColorToYuv)
{
  E.SetOption("padcolor", "0");
  EXPECT_EQ(E.PadColor[0], 0);
  EXPECT_EQ(E.PadColor[1], 128);
  EXPECT_EQ(E.PadColor[2], 128);
  E.SetOption("padcolor", "16777215");
  EXPECT_EQ(E.PadColor[0], 255);
  EXPECT_EQ(E.PadColor[1], 128);
  EXPECT_EQ(E.PadColor[2], 128);
  E.SetOption("padcolor", "$0000FF");  // pure red: the negative chroma term must round down
  EXPECT_EQ(E.PadColor[0], 76);
  EXPECT_EQ(E.PadColor[1], 85);
  EXPECT_EQ(E.PadColor[2], 255);
  E.SetOption("padcolor", "0xFF0000");  // pure blue
  EXPECT_EQ(E.PadColor[0], 29);
  EXPECT_EQ(E.PadColor[1], 255);
  EXPECT_EQ(E.PadColor[2], 107);
}

TEST_F(OptionsTest, TagsMustHaveFourCharacters)
{
  const std::string v = ErrorOf<EAssertionFailed>([&] { E.SetOption("vtag", "xvi"); });
  EXPECT_TRUE(std::regex_match(v, std::regex(R"(video tag parameter must be 4 chars \(FFmpeg, line \d+\))"))) << v;
  const std::string a = ErrorOf<EAssertionFailed>([&] { E.SetOption("atag", "mp4a1"); });
  EXPECT_TRUE(std::regex_match(a, std::regex(R"(audio tag parameter must be 4 chars \(FFmpeg, line \d+\))"))) << a;
  EXPECT_EQ(E.VideoCodecTag, 0);
  E.SetOption("vtag", "XVID");
  EXPECT_EQ(E.VideoCodecTag, 0x44495658);  // 'X' in the low byte
  E.SetOption("atag", "mp4a");
  EXPECT_EQ(E.AudioCodecTag, 0x6134706D);
}

TEST_F(OptionsTest, TimeOptions)
{
  EXPECT_EQ(OptionError("t", "soon"), "Invalid duration specification for t: soon");
  EXPECT_EQ(OptionError("ss", "1:xx"), "Invalid duration specification for ss: 1:xx");
  EXPECT_EQ(OptionError("timestamp", "yesterday"), "Invalid date specification for timestamp: yesterday");
  EXPECT_EQ(E.RecordingTime, INT64_MAX);

  E.SetOption("t", "00:00:10.5");
  EXPECT_EQ(E.RecordingTime, 10500000);
  EXPECT_EQ(E.TotalDuration, 10500);
  E.SetOption("t", "0");  // no limit of zero length
  EXPECT_EQ(E.RecordingTime, 10500000);
  E.SetOption("ss", "1.25");
  EXPECT_EQ(E.StartTime, 1250000);
  E.SetOption("itsoffset", "-2");
  EXPECT_EQ(E.InputTsOffset, -2000000);
  E.SetOption("timestamp", "2008-03-01 12:00:00Z");
  EXPECT_EQ(E.RecTimestamp, 1204372800);

  // A limit beyond the 32-bit millisecond total does not wrap negative.
  E.SetRecordingTimeMs(int64_t(1) << 40);
  EXPECT_EQ(E.TotalDuration, INT32_MAX);
  EXPECT_EQ(E.RecordingTime, (int64_t(1) << 40) * 1000);
}

TEST_F(OptionsTest, TimeStampScale)
{
  EXPECT_EQ(OptionError("itsscale", "20:1.5"), "stream index over MAX_STREAMS(20)");
  EXPECT_EQ(OptionError("itsscale", "-1:1.5"), "stream index over MAX_STREAMS(20)");
  for (const auto &file : E.InputTsScales)
    for (double s : file) EXPECT_EQ(s, 0);
  E.SetOption("itsscale", "19:2.5");
  EXPECT_DOUBLE_EQ(E.InputTsScales[0][19], 2.5);
  E.SetOption("itsscale", "0x2,0.5");
  EXPECT_DOUBLE_EQ(E.InputTsScales[0][2], 0.5);
  EXPECT_FALSE(OptionError("itsscale", "1:-3").empty());
  EXPECT_EQ(E.InputTsScales[0][1], 0);
  // With every input slot taken there is no next input to scale.
  E.InputFileCount = MaxFiles;
  EXPECT_FALSE(OptionError("itsscale", "1:2").empty());
  E.InputFileCount = 0;
}

TEST_F(OptionsTest, NoOpsUnsupportedAndUnknownNames)
{
  EXPECT_EQ(OptionError("threads", "2"), "TODO: option - threads");
  EXPECT_EQ(OptionError("vbsf", "h264_mp4toannexb"), "TODO: option - vbsf");
  E.SetOption("benchmark", "");
  ASSERT_EQ(Log.size(), 1u);
  EXPECT_EQ(Log[0].Level, 1);
  EXPECT_EQ(Log[0].Msg, "Do nothing: option - benchmark");

  const int32_t width = E.FrameWidth;
  const int64_t rate = E.CodecOpts[AVMEDIA_TYPE_VIDEO]->bit_rate;
  E.SetOption("no_such_option_anywhere", "1");
  EXPECT_FALSE(E.SetGenericOption("no_such_option_anywhere", "1"));
  EXPECT_TRUE(E.OptNames.empty());
  EXPECT_TRUE(E.PrivateOpts.empty());
  EXPECT_EQ(E.FrameWidth, width);
  EXPECT_EQ(E.CodecOpts[AVMEDIA_TYPE_VIDEO]->bit_rate, rate);
  EXPECT_FALSE(E.SetGenericOption("g", "  "));
  EXPECT_FALSE(E.SetGenericOption(" ", "12"));

  EXPECT_TRUE(TCustomFFmpeg::OptionTakesNoValue("vstats"));
  EXPECT_TRUE(TCustomFFmpeg::OptionTakesNoValue("newaudio"));
  EXPECT_TRUE(TCustomFFmpeg::OptionTakesNoValue("an"));
  EXPECT_TRUE(TCustomFFmpeg::OptionTakesNoValue("benchmark"));
  EXPECT_FALSE(TCustomFFmpeg::OptionTakesNoValue("s"));
  EXPECT_FALSE(TCustomFFmpeg::OptionTakesNoValue("threads"));
  EXPECT_FALSE(TCustomFFmpeg::OptionTakesNoValue("g"));
  EXPECT_FALSE(TCustomFFmpeg::OptionTakesNoValue("Vn"));  // names are case-sensitive
}

TEST_F(OptionsTest, LibraryOptionsAreAcceptedAndRecorded)
{
  E.SetOption("g", "30");
  E.SetOption("maxrate", "500000");
  EXPECT_EQ(E.CodecOpts[AVMEDIA_TYPE_VIDEO]->gop_size, 30);
  EXPECT_EQ(E.CodecOpts[AVMEDIA_TYPE_VIDEO]->rc_max_rate, 500000);
  EXPECT_TRUE(HasOptName("g"));
  EXPECT_TRUE(HasOptName("maxrate"));
  // A known option with a value it refuses is not accepted.
  EXPECT_FALSE(E.SetGenericOption("g", "many"));
  EXPECT_EQ(E.CodecOpts[AVMEDIA_TYPE_VIDEO]->gop_size, 30);

  // The retired GOP name still works and says so once.
  EXPECT_TRUE(E.SetGenericOption("gop", "18"));
  EXPECT_TRUE(E.SetGenericOption("gop", "15"));
  EXPECT_EQ(E.CodecOpts[AVMEDIA_TYPE_VIDEO]->gop_size, 15);
  int fallbackLines = 0;
  for (const auto &l : Log) fallbackLines += l.Level == 1 && l.Msg.find("gop") != std::string::npos;
  EXPECT_EQ(fallbackLines, 1);

  // Format and scaler contexts take their own options.
  EXPECT_TRUE(E.SetGenericOption("packetsize", 2324));
  EXPECT_EQ(E.FormatOpts->packet_size, 2324);
  EXPECT_TRUE(E.SetGenericOption("sws_flags", "bilinear"));
  EXPECT_TRUE(HasOptName("sws_flags"));
}

TEST_F(OptionsTest, PrivateOptionsOfEncodersAndMuxers)
{
  EXPECT_TRUE(E.SetGenericOption("muxrate", 1411200));
  ASSERT_NE(PrivateValue("muxrate"), nullptr);
  EXPECT_EQ(*PrivateValue("muxrate"), "1411200");
  EXPECT_FALSE(E.SetGenericOption("preload", "soon"));  // malformed for every muxer that has it
  EXPECT_EQ(PrivateValue("preload"), nullptr);
  EXPECT_TRUE(E.SetGenericOption("muxrate", "10080000"));
  EXPECT_EQ(*PrivateValue("muxrate"), "10080000");  // replaced, not repeated
  EXPECT_EQ(E.PrivateOpts.size(), 1u);

  // The MPEG-2 scan offset left the generic flags; it still reaches the encoder,
  // and the other flags in the same value still reach the generic context.
  EXPECT_TRUE(E.SetGenericOption("flags", "+SCAN_OFFSET+psnr"));
  ASSERT_NE(PrivateValue("scan_offset"), nullptr);
  EXPECT_EQ(*PrivateValue("scan_offset"), "1");
  EXPECT_NE(E.CodecOpts[AVMEDIA_TYPE_VIDEO]->flags & AV_CODEC_FLAG_PSNR, 0);
  EXPECT_TRUE(E.SetGenericOption("flags", "-scan_offset"));
  EXPECT_EQ(*PrivateValue("scan_offset"), "0");
}

TEST_F(OptionsTest, VerbosityReachesTheLibraries)
{
  E.SetOption("v", "0");
  EXPECT_EQ(E.Verbose, 0);
  EXPECT_EQ(LibraryLogLevel.load(), 0);
  EXPECT_EQ(AVUtilLib.av_log_get_level(), AV_LOG_ERROR);
  E.SetOption("v", "-1");
  EXPECT_EQ(AVUtilLib.av_log_get_level(), AV_LOG_QUIET);
  // A library debug option raises the engine to debug level.
  E.SetOption("debug", "pict");
  EXPECT_EQ(E.Verbose, 2);
  EXPECT_EQ(AVUtilLib.av_log_get_level(), AV_LOG_DEBUG);
}

TEST_F(OptionsTest, MatrixParser)
{
  std::string text;
  for (int i = 1; i <= 64; ++i) text += std::to_string(i) + (i < 64 ? "," : "");
  E.SetOption("intra_matrix", text + ",99,100");  // text after the 64th is ignored
  ASSERT_NE(E.IntraMatrix, nullptr);
  EXPECT_EQ(E.IntraMatrix[0], 1);
  EXPECT_EQ(E.IntraMatrix[63], 64);
  EXPECT_EQ(E.InterMatrix, nullptr);

  EXPECT_EQ(OptionError("inter_matrix", "8,16,24"), "Syntax error in matrix \"8,16,24\" at coeff 2");
  EXPECT_EQ(E.InterMatrix, nullptr);  // nothing partial is left for the encoder
  // Zero coefficients would be divided by in the encoder.
  const std::string zero = "0" + text.substr(1);
  EXPECT_FALSE(OptionError("intra_matrix", zero).empty());
  EXPECT_EQ(E.IntraMatrix[0], 1);
  EXPECT_FALSE(OptionError("intra_matrix", "256" + text.substr(1)).empty());
}

TEST_F(OptionsTest, StreamAndMetaDataMaps)
{
  E.SetOption("map", "0:1");
  E.SetOption("map", "1.2:0.3");
  E.SetOption("map", "0x1:2");
  ASSERT_EQ(E.StreamMapCount, 3);
  EXPECT_EQ(E.StreamMaps[0].FileIndex, 0);
  EXPECT_EQ(E.StreamMaps[0].StreamIndex, 1);
  EXPECT_EQ(E.StreamMaps[0].SyncFileIndex, 0);
  EXPECT_EQ(E.StreamMaps[0].SyncStreamIndex, 1);
  EXPECT_EQ(E.StreamMaps[1].FileIndex, 1);
  EXPECT_EQ(E.StreamMaps[1].StreamIndex, 2);
  EXPECT_EQ(E.StreamMaps[1].SyncFileIndex, 0);
  EXPECT_EQ(E.StreamMaps[1].SyncStreamIndex, 3);
  EXPECT_EQ(E.StreamMaps[2].FileIndex, 1);
  EXPECT_EQ(E.StreamMaps[2].StreamIndex, 2);
  EXPECT_FALSE(OptionError("map", "first:second").empty());
  EXPECT_FALSE(OptionError("map", "0:99999999999").empty());
  EXPECT_EQ(E.StreamMapCount, 3);
  for (int i = 3; i < MaxStreamMaps; ++i) E.SetOption("map", "0:0");
  EXPECT_EQ(OptionError("map", "0:0"), "Too many stream maps (at most 20)");
  EXPECT_EQ(E.StreamMapCount, 20);

  E.SetOption("map_meta_data", "1:0");
  ASSERT_EQ(E.MetaDataMapCount, 1);
  EXPECT_EQ(E.MetaDataMaps[0].OutFile, 1);
  EXPECT_EQ(E.MetaDataMaps[0].InFile, 0);
  for (int i = 1; i < MaxMetaDataMaps; ++i) E.SetOption("map_meta_data", "0:0");
  EXPECT_EQ(OptionError("map_meta_data", "0:0"), "Too many meta data maps (at most 20)");
  EXPECT_EQ(E.MetaDataMapCount, 20);
}

TEST_F(OptionsTest, StatisticsFileNames)
{
  E.SetOption("vstats", "");
  const std::string dir = ExecutableDir();
  ASSERT_EQ(E.VstatsFileName.compare(0, dir.size(), dir), 0) << E.VstatsFileName;
  EXPECT_TRUE(std::regex_match(E.VstatsFileName.substr(dir.size()), std::regex(R"(vstats_\d{6}\.log)")))
      << E.VstatsFileName;
  E.SetOption("vstats_file", "/tmp/my stats.log");
  EXPECT_EQ(E.VstatsFileName, "/tmp/my stats.log");
}

TEST_F(OptionsTest, CodecNamesFormatsAndPixelFormats)
{
  E.SetOption("vcodec", "copy");
  E.SetOption("vcodec", "mpeg4");
  EXPECT_EQ(E.VideoStreamCopy, 1);
  EXPECT_EQ(E.VideoCodecName, "mpeg4");
  E.SetOption("acodec", "aac");
  E.SetOption("acodec", "copy");
  EXPECT_EQ(E.AudioCodecName, "");
  EXPECT_EQ(E.AudioStreamCopy, 1);

  EXPECT_EQ(OptionError("f", "nosuchformat"), "Unknown input or output format: nosuchformat");
  E.SetOption("f", "mp4");
  ASSERT_NE(E.OutputFormat, nullptr);
  EXPECT_STREQ(E.OutputFormat->name, "mp4");
  EXPECT_EQ(ErrorOf<FFMpegException>([&] { E.SetInputFormat("nosuch"); }), "Unknown input format: nosuch");
  EXPECT_EQ(ErrorOf<FFMpegException>([&] { E.SetOutputFormat("nosuch"); }), "Unknown output format: nosuch");
  E.SetOption("f", "pgmyuv");
  EXPECT_EQ(E.PgmyuvHack, 1);
  EXPECT_STREQ(E.OutputFormat->name, "image2");
  EXPECT_EQ(Count("pgmyuv format is deprecated, use image2"), 1);

  E.SetOption("pix_fmt", "yuv422p");
  EXPECT_EQ(E.FramePixFmt, AV_PIX_FMT_YUV422P);
  Log.clear();
  E.SetOption("pix_fmt", "list");
  ASSERT_GT(Log.size(), 41u);  // the heading and every format the library has
  EXPECT_EQ(Log[0].Msg.rfind("name", 0), 0u);
  EXPECT_EQ(Log[1].Msg.rfind("yuv420p", 0), 0u);
  EXPECT_EQ(E.FramePixFmt, AV_PIX_FMT_YUV422P);

  EXPECT_EQ(OptionError("pass", "3"), "pass number can be only 1 or 2");
  E.SetOption("pass", "2");
  EXPECT_EQ(E.DoPass, 2);
  EXPECT_EQ(OptionError("newvideo", ""), "No output file for option newvideo");
}

TEST_F(OptionsTest, NumberConversionAndPlainSettings)
{
  E.SetOption("vframes", "$10");
  EXPECT_EQ(E.MaxFrames[AVMEDIA_TYPE_VIDEO], 16);
  E.SetOption("aframes", "  -x1F");
  EXPECT_EQ(E.MaxFrames[AVMEDIA_TYPE_AUDIO], -31);
  E.SetOption("fs", "5000000000");
  EXPECT_EQ(E.LimitFileSize, 5000000000);
  EXPECT_EQ(ErrorOf<EConvertError>([&] { E.SetOption("vframes", "12 "); }), "'12 ' is not a valid integer value");
  EXPECT_EQ(ErrorOf<EConvertError>([&] { E.SetOption("dframes", "4294967296"); }),
            "'4294967296' is not a valid integer value");
  EXPECT_EQ(ErrorOf<EConvertError>([&] { E.SetOption("vsync", ""); }), "'' is not a valid integer value");

  E.SetOption("ar", "0");
  E.SetOption("ac", "-1");
  EXPECT_EQ(E.AudioSampleRate, 44100);
  EXPECT_EQ(E.AudioChannels, 2);
  E.SetOption("ar", "22050");
  E.SetOption("ac", "1");
  EXPECT_EQ(E.AudioSampleRate, 22050);
  EXPECT_EQ(E.AudioChannels, 1);
  E.SetOption("muxdelay", "0.25");
  EXPECT_FLOAT_EQ(E.MuxMaxDelay, 0.25f);
  E.SetOption("an", "ignored");
  EXPECT_EQ(E.AudioDisable, 1);
  E.SetOption("title", "First");
  E.SetOption("title", "");
  EXPECT_EQ(E.Title, "First");

  E.SetAudioVolume(-1);
  E.SetMuxPreload(0);
  E.SetTrack(0);
  E.SetStartTime(-5);
  E.SetProgramId(-1);
  EXPECT_EQ(E.AudioVolume, 256);
  EXPECT_FLOAT_EQ(E.MuxPreload, 0.5f);
  EXPECT_EQ(E.Track, 0);
  EXPECT_EQ(E.StartTime, 0);
  EXPECT_EQ(E.ProgramId, 0);
  E.SetAudioVolume(512);
  E.SetYear(2008);
  EXPECT_EQ(E.AudioVolume, 512);
  EXPECT_EQ(E.Year, 2008);
}

}  // namespace
