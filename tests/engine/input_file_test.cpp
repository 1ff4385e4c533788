// Opening input files: settings taken over from the streams, decoder
// contexts, failures and their messages, limits, codec lookup and the
// generic option copy.
#include <gtest/gtest.h>

#include <random>

#include "FFmpeg.h"
#include "TestEnv.h"
#include "TestMedia.h"

namespace {

struct TLogLine {
  int Level;
  std::string Msg;
};

class InputFileTest : public ::testing::Test {
 protected:
  void SetUp() override
  {
    qvtest::LoadLibs();
    Engine.Prepare();
    Engine.Verbose = -1;  // keep the file descriptions out of the test output
    Engine.OnLog = [this](TCustomFFmpeg *, int level, const std::string &msg) { Log.push_back({level, msg}); };
  }

  // A generated FLV (cached per test) with the given streams.
  std::string Media(const std::string &AName, const qvtest::TGenOptions &AOpts)
  {
    const std::string path = Dir.File(AName);
    qvtest::MakeMedia(path, AOpts);
    return path;
  }

  qvtest::TScratchDir Dir;
  TCustomFFmpeg Engine;
  std::vector<TLogLine> Log;
};

TEST_F(InputFileTest, GeneratedFileFillsSettingsAndDecoderContexts)
{
  qvtest::TGenOptions opts;
  opts.Width = 352;
  opts.Height = 288;
  opts.SampleRate = 22050;
  opts.Channels = 1;
  const std::string path = Media("in.flv", opts);
  Engine.VideoCodecName = "h264";
  Engine.RateEmu = 1;
  Engine.ThreadCount = 2;
  Engine.AudioDisable = 1;

  ASSERT_TRUE(Engine.OpenInputFile(path)) << Engine.LastOptionError;
  EXPECT_EQ(Engine.InputFileCount, 1);
  EXPECT_EQ(Engine.FrameWidth, 352);
  EXPECT_EQ(Engine.FrameHeight, 288);
  EXPECT_EQ(Engine.FramePixFmt, AV_PIX_FMT_YUV420P);
  EXPECT_EQ(Engine.FrameRate.num, 25);
  EXPECT_EQ(Engine.FrameRate.den, 1);
  EXPECT_FLOAT_EQ(Engine.FrameAspectRatio, 352.0f / 288.0f);
  EXPECT_EQ(Engine.AudioSampleRate, 22050);
  EXPECT_EQ(Engine.AudioChannels, 1);
  EXPECT_GE(Engine.TotalDuration, 2900);
  EXPECT_LE(Engine.TotalDuration, 3200);

  // One unopened decoder context per stream, timed by its stream.
  AVFormatContext *ic = Engine.InputFiles[0];
  ASSERT_NE(ic, nullptr);
  ASSERT_EQ(Engine.InputSetups[0].Dec.size(), ic->nb_streams);
  for (unsigned i = 0; i < ic->nb_streams; ++i) {
    const AVCodecContext *dec = Engine.InputSetups[0].Dec[i].get();
    ASSERT_NE(dec, nullptr);
    EXPECT_EQ(dec->codec_type, ic->streams[i]->codecpar->codec_type);
    EXPECT_EQ(dec->codec_id, ic->streams[i]->codecpar->codec_id);
    EXPECT_EQ(av_cmp_q(dec->pkt_timebase, ic->streams[i]->time_base), 0);
    EXPECT_EQ(dec->thread_count, 2);
    EXPECT_NE(dec->codec, nullptr);
    EXPECT_EQ(ic->streams[i]->discard, dec->codec_type == AVMEDIA_TYPE_AUDIO ? AVDISCARD_ALL : AVDISCARD_DEFAULT);
  }

  // Per-file settings are spent; the input's values stay for the output.
  EXPECT_TRUE(Engine.VideoCodecName.empty());
  EXPECT_EQ(Engine.RateEmu, 0);
  EXPECT_EQ(Engine.InputFormat, nullptr);
}

TEST_F(InputFileTest, RealSamplesReportTheirStreams)
{
  struct TCase {
    const char *File;
    int Width, Height, RateNum, RateDen, SampleRate, Channels, MinMs;
  };
  const TCase cases[] = {
      {"membrane_rtmp_plugin__testsrc.flv", 1920, 1080, 24, 1, 44100, 1, 3200},
      {"red5-server__flashContent1.flv", 320, 240, 15, 1, 16000, 1, 19000},
      {"red5-server__test.flv", 470, 342, 12, 1, 44100, 2, 800},
      {"ruffle__dummy.flv", 8, 8, 25, 1, 44100, 2, 150},
      {"ruffle__netstream_play_flv-test_video.flv", 320, 233, 1000, 1, 44100, 1, 1000},
      {"ruffle__tone_alaw_mono.flv", 0, 0, 0, 0, 8000, 1, 1000},
      {"ruffle__tone_mono_22050hz.flv", 0, 0, 0, 0, 22050, 1, 1000},
      // Holds H.264 tags the demuxer never finds: only its AAC stream shows.
      {"red5-server__h264_aac.flv", 0, 0, 0, 0, 44100, 2, 43000},
  };
  for (const TCase &c : cases) {
    SCOPED_TRACE(c.File);
    TCustomFFmpeg engine;
    engine.Prepare();
    engine.Verbose = -1;
    ASSERT_TRUE(engine.OpenInputFile(qvtest::Sample(c.File))) << engine.LastOptionError;
    EXPECT_EQ(engine.FrameWidth, c.Width);
    EXPECT_EQ(engine.FrameHeight, c.Height);
    EXPECT_EQ(engine.FrameRate.num, c.RateNum);
    if (c.RateNum) {
      EXPECT_EQ(engine.FrameRate.den, c.RateDen);
      EXPECT_EQ(engine.FramePixFmt, AV_PIX_FMT_YUV420P);
    }
    EXPECT_EQ(engine.AudioSampleRate, c.SampleRate);
    EXPECT_EQ(engine.AudioChannels, c.Channels);
    EXPECT_GE(engine.TotalDuration, c.MinMs);
    EXPECT_EQ(engine.InputSetups[0].Dec.size(), engine.InputFiles[0]->nb_streams);
  }
}

TEST_F(InputFileTest, FileWithNoStreamsOpens)
{
  // An FLV header that announces no streams and no tags at all.
  const std::string path = Dir.File("empty.flv");
  qvtest::WriteFile(path, std::string("FLV\x01\x00\x00\x00\x00\x09\x00\x00\x00\x00", 13));
  // Too short to be recognised, so the format is named.
  Engine.InputFormat = AVFormatLib.av_find_input_format("flv");
  ASSERT_TRUE(Engine.OpenInputFile(path)) << Engine.LastOptionError;
  EXPECT_EQ(Engine.InputFiles[0]->nb_streams, 0u);
  EXPECT_TRUE(Engine.InputSetups[0].Dec.empty());
  EXPECT_EQ(Engine.TotalDuration, -1);
  EXPECT_EQ(Engine.FrameWidth, 0);
  EXPECT_EQ(Engine.AudioChannels, 2);
  EXPECT_EQ(Engine.InputFormat, nullptr);
}

TEST_F(InputFileTest, UnreadableFilesFailWithTheirMessage)
{
  const std::string missing = Dir.File("missing.flv");
  const std::string empty = Dir.File("zero.flv");
  const std::string noise = Dir.File("noise.flv");
  const std::string text = Dir.File("notes.txt");
  qvtest::WriteFile(empty, "");
  std::mt19937 gen(1234);
  std::string bytes(8192, '\0');
  for (char &b : bytes) b = static_cast<char>(gen() & 0xff);
  qvtest::WriteFile(noise, bytes);
  qvtest::WriteFile(text, "Just some words,\nnothing a demuxer knows.\n");

  const std::pair<std::string, std::string> cases[] = {
      {missing, missing + ": no such file or directory"},
      {empty, empty + ": Unknown format"},
      {noise, noise + ": Unknown format"},
      {text, text + ": Unknown format"},
  };
  for (const auto &[file, message] : cases) {
    SCOPED_TRACE(file);
    Engine.VideoCodecName = "h264";
    Engine.VideoChannel = 3;
    EXPECT_FALSE(Engine.OpenInputFile(file));
    EXPECT_EQ(Engine.LastOptionError, message);
    EXPECT_EQ(Engine.InputFileCount, 0);
    EXPECT_EQ(Engine.InputFiles[0], nullptr);
    // The per-file settings are released on failure too.
    EXPECT_TRUE(Engine.VideoCodecName.empty());
    EXPECT_EQ(Engine.VideoChannel, 0);
  }
  // A failure leaves the engine usable.
  EXPECT_TRUE(Engine.OpenInputFile(qvtest::Sample("ruffle__dummy.flv"))) << Engine.LastOptionError;
}

TEST_F(InputFileTest, BadDecoderNamesStopTheOpen)
{
  const std::string path = qvtest::Sample("ruffle__dummy.flv");
  Engine.VideoCodecName = "no_such_decoder";
  EXPECT_FALSE(Engine.OpenInputFile(path));
  EXPECT_EQ(Engine.LastOptionError, "Unknown decoder 'no_such_decoder'");
  Engine.VideoCodecName = "mp3";
  Engine.AudioCodecName = "aac";
  EXPECT_FALSE(Engine.OpenInputFile(path));
  EXPECT_EQ(Engine.LastOptionError, "Invalid decoder type 'mp3'");
  EXPECT_TRUE(Engine.AudioCodecName.empty());
  EXPECT_EQ(Engine.InputFileCount, 0);
}

TEST_F(InputFileTest, TwentyFirstInputIsRefused)
{
  const std::string path = qvtest::Sample("ruffle__dummy.flv");
  for (int i = 0; i < MaxFiles; ++i) ASSERT_TRUE(Engine.OpenInputFile(path)) << i << Engine.LastOptionError;
  Engine.VideoCodecName = "flv";
  EXPECT_FALSE(Engine.OpenInputFile(path));
  EXPECT_NE(Engine.LastOptionError.find("20"), std::string::npos) << Engine.LastOptionError;
  EXPECT_EQ(Engine.InputFileCount, MaxFiles);
  EXPECT_TRUE(Engine.VideoCodecName.empty());
  Engine.ReleaseJob();
  EXPECT_EQ(Engine.InputFileCount, 0);
}

TEST_F(InputFileTest, StartTimeSeeksAndSetsTheInputOffset)
{
  const std::string path = Media("long.flv", {});
  Engine.StartTime = 1000000;
  Engine.InputTsOffset = 250000;
  ASSERT_TRUE(Engine.OpenInputFile(path)) << Engine.LastOptionError;
  const int64_t start = Engine.InputFiles[0]->start_time == AV_NOPTS_VALUE ? 0 : Engine.InputFiles[0]->start_time;
  EXPECT_EQ(Engine.StartTime, 0);
  EXPECT_EQ(Engine.InputTsOffsets[0], 250000 - (1000000 + start));

  // With copied timestamps the offset is the plain setting.
  Engine.StartTime = 1000000;
  Engine.CopyTs = 1;
  ASSERT_TRUE(Engine.OpenInputFile(path));
  EXPECT_EQ(Engine.InputTsOffsets[1], 250000);
  // Without a start position only the file's own start moves the offset.
  Engine.CopyTs = 0;
  ASSERT_TRUE(Engine.OpenInputFile(path));
  EXPECT_EQ(Engine.InputTsOffsets[2], 250000 - start);
}

TEST_F(InputFileTest, FindCodecLooksUpByNameAndKind)
{
  AVCodecID id = AV_CODEC_ID_MP3;
  EXPECT_TRUE(Engine.FindCodec("", AVMEDIA_TYPE_VIDEO, true, id));
  EXPECT_EQ(id, AV_CODEC_ID_NONE);

  EXPECT_FALSE(Engine.FindCodec("nonesuch", AVMEDIA_TYPE_VIDEO, true, id));
  EXPECT_EQ(Engine.LastOptionError, "Unknown encoder 'nonesuch'");
  EXPECT_FALSE(Engine.FindCodec("aac", AVMEDIA_TYPE_VIDEO, true, id));
  EXPECT_EQ(Engine.LastOptionError, "Invalid encoder type 'aac'");
  EXPECT_TRUE(Log.empty());

  // A retired encoder name reaches its successor, saying so once at information level.
  EXPECT_TRUE(Engine.FindCodec("libfaac", AVMEDIA_TYPE_AUDIO, true, id));
  EXPECT_EQ(id, AV_CODEC_ID_AAC);
  ASSERT_EQ(Log.size(), 1u);
  EXPECT_EQ(Log[0].Level, 1);
  EXPECT_NE(Log[0].Msg.find("libfaac"), std::string::npos);
  EXPECT_NE(Log[0].Msg.find("aac"), std::string::npos);
  // ... but is still checked for its kind.
  EXPECT_FALSE(Engine.FindCodec("libfaac", AVMEDIA_TYPE_VIDEO, true, id));
  EXPECT_EQ(Engine.LastOptionError, "Invalid encoder type 'libfaac'");
}

TEST_F(InputFileTest, GenericOptionsAreCopiedByFlags)
{
  AVCodecContext *defaults = Engine.CodecOpts[AVMEDIA_TYPE_VIDEO];
  ASSERT_NE(defaults, nullptr);
  ASSERT_GE(AVUtilLib.av_opt_set(defaults, "g", "7", 0), 0);
  ASSERT_GE(AVUtilLib.av_opt_set(defaults, "ar", "11025", 0), 0);
  ASSERT_GE(AVUtilLib.av_opt_set(defaults, "b", "123000", 0), 0);
  Engine.OptNames = {"g", "ar", "b", "not_an_option"};

  avbind::TCodecCtxPtr video(AVCodecLib.avcodec_alloc_context3(nullptr));
  Engine.ApplyGenericOptions(video.get(), defaults, AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
  EXPECT_EQ(video->gop_size, 7);
  EXPECT_EQ(video->bit_rate, 123000);
  EXPECT_EQ(video->sample_rate, 0);  // an audio option stays off a video context

  avbind::TCodecCtxPtr audio(AVCodecLib.avcodec_alloc_context3(nullptr));
  const int gop = audio->gop_size;
  Engine.ApplyGenericOptions(audio.get(), defaults, AV_OPT_FLAG_AUDIO_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
  EXPECT_EQ(audio->sample_rate, 11025);
  EXPECT_EQ(audio->bit_rate, 123000);
  EXPECT_EQ(audio->gop_size, gop);
}

}  // namespace
