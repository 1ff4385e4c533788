// Engine life cycle, input files (settings taken from the streams, failures
// and their messages) and output files (streams, encoder contexts, limits,
// failures that must leave no entry and no file).
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <random>

#include "FFmpeg.h"
#include "MyUtilHlpr.h"
#include "TestEnv.h"
#include "TestMedia.h"

namespace {

class FilesTest : public ::testing::Test {
 protected:
  void SetUp() override
  {
    qvtest::LoadLibs();
    Engine.Prepare();
    Engine.Verbose = -1;  // keep the file descriptions out of the test output
    Engine.OnLog = [this](TCustomFFmpeg *, int level, const std::string &msg) { Log.push_back({level, msg}); };
  }
  std::string Media(const std::string &AName, const qvtest::TGenOptions &AOpts = {})
  {
    qvtest::MakeMedia(Dir.File(AName), AOpts);
    return Dir.File(AName);
  }
  AVCodecContext *Enc(int AFile, int AStream) { return Engine.Job().OutputSetups[AFile].Streams[AStream].Enc.get(); }
  const TOutputStreamSetup &Setup(int AFile, int AStream) { return Engine.Job().OutputSetups[AFile].Streams[AStream]; }
  static std::string Dict(AVDictionary *ADict, const char *AKey)
  {
    const AVDictionaryEntry *e = AVUtilLib.av_dict_get(ADict, AKey, nullptr, 0);
    return e ? e->value : "<none>";
  }
  // Opens one output with an mpeg4 video encoder only and returns its encoder.
  AVCodecContext *OpenVideoOnly(const std::string &AName)
  {
    Engine.VideoCodecName = "mpeg4";
    Engine.AudioDisable = 1;
    EXPECT_TRUE(Engine.OpenOutputFile(Dir.File(AName))) << Engine.LastOptionError;
    return Engine.OutputFileCount ? Enc(Engine.OutputFileCount - 1, 0) : nullptr;
  }

  qvtest::TScratchDir Dir;
  TCustomFFmpeg Engine;
  std::vector<std::pair<int, std::string>> Log;
};

// ---- life cycle ----

TEST_F(FilesTest, StartWithoutFilesFailsAtLevelMinusOneAndTerminatesOnce)
{
  int terminated = 0;
  Engine.OnTerminate = [&](TCustomFFmpeg *) { ++terminated; };
  EXPECT_EQ(Engine.Start(true), nullptr);
  ASSERT_EQ(Log.size(), 1u);
  EXPECT_EQ(Log[0], std::make_pair(-1, std::string("Must supply at least one output file")));
  EXPECT_EQ(Engine.LastErrorMessage, "Must supply at least one output file");
  EXPECT_TRUE(Engine.ExceptionRaised && Engine.Terminated && !Engine.Running);
  EXPECT_EQ(terminated, 1);
  // A terminated engine refuses to start again until prepared.
  EXPECT_EQ(Engine.Start(true), nullptr);
  EXPECT_EQ(terminated, 1);
  EXPECT_EQ(Log.size(), 1u);
  Engine.Prepare();
  EXPECT_FALSE(Engine.Terminated || Engine.ExceptionRaised);
}

// Every setting is changed first (and checked to differ), then each must be
// back at its documented default; a failure names the field.
TEST_F(FilesTest, ResetOptionsRestoresEveryDefault)
{
  struct TField {
    const char *Name;
    std::function<void(TCustomFFmpeg &)> Change;
    std::function<::testing::AssertionResult(const TCustomFFmpeg &)> IsDefault;
  };
  const auto same = [](const auto &AGot, const auto &AWant) {
    if (AGot == AWant) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "holds " << ::testing::PrintToString(AGot) << ", default "
                                         << ::testing::PrintToString(AWant);
  };
#define QV_FIELD(F, CHANGED, DEFAULT)                                                \
  TField                                                                              \
  {                                                                                   \
    #F, [&](TCustomFFmpeg &e) { e.F = CHANGED; }, [&](const TCustomFFmpeg &e) { return same(e.F, DEFAULT); } \
  }
  // The job's own state is changed through its options and read through Job().
#define QV_JOB(F, SET, DEFAULT)                                                                                   \
  TField                                                                                                        \
  {                                                                                                             \
    #F, [&](TCustomFFmpeg &e) { e.SET; }, [&](const TCustomFFmpeg &e) { return same(e.Job().F, DEFAULT); } \
  }
  const AVInputFormat *flv = AVFormatLib.av_find_input_format("flv");
  const AVOutputFormat *mp4 = AVFormatLib.av_guess_format("mp4", nullptr, nullptr);
  const std::vector<TField> fields = {
      QV_FIELD(InputFormat, flv, nullptr), QV_FIELD(OutputFormat, mp4, nullptr), QV_FIELD(PgmyuvHack, 1, 0),
      QV_FIELD(LoopInput, 1, 0), QV_FIELD(LoopOutput, 3, -1), QV_FIELD(InputTsOffset, 5, 0), QV_FIELD(RateEmu, 1, 0),
      QV_FIELD(ProgramId, 4, 0), QV_FIELD(InputSync, 1, 0),
      QV_FIELD(FrameWidth, 320, 0), QV_FIELD(FrameHeight, 240, 0), QV_FIELD(FrameAspectRatio, 1.5f, 0.0f),
      QV_FIELD(FramePixFmt, 3, -1), QV_FIELD(FrameTopBand, 2, 0), QV_FIELD(FrameBottomBand, 2, 0),
      QV_FIELD(FrameLeftBand, 2, 0), QV_FIELD(FrameRightBand, 2, 0), QV_FIELD(FramePadTop, 2, 0),
      QV_FIELD(FramePadBottom, 2, 0), QV_FIELD(FramePadLeft, 2, 0), QV_FIELD(FramePadRight, 2, 0),
      QV_FIELD(PadColor[0], 0, 16), QV_FIELD(PadColor[1], 0, 128), QV_FIELD(PadColor[2], 0, 128),
      QV_FIELD(FrameRate.num, 25, 0), QV_FIELD(FrameRate.den, 1, 0), QV_FIELD(VideoQScale, 2.0f, 0.0f),
      QV_FIELD(IntraMatrix, static_cast<uint16_t *>(AVUtilLib.av_mallocz(128)), nullptr),
      QV_FIELD(InterMatrix, static_cast<uint16_t *>(AVUtilLib.av_mallocz(128)), nullptr),
      QV_FIELD(VideoRcOverride, "1,2,3", ""), QV_FIELD(VideoDisable, 1, 0), QV_FIELD(VideoDiscard, 8, 0),
      QV_FIELD(VideoCodecName, "mpeg4", ""), QV_FIELD(VideoCodecTag, 7, 0), QV_FIELD(SameQuality, 1, 0),
      QV_FIELD(DoDeinterlace, 1, 0), QV_FIELD(TopFieldFirst, 1, -1), QV_FIELD(MeThreshold, 4, 0),
      QV_FIELD(IntraDcPrecision, 10, 8), QV_FIELD(IntraOnly, 1, 0), QV_FIELD(QpHist, 1, 0),
      QV_FIELD(VideoChannel, 2, 0), QV_FIELD(VideoStandard, "pal", ""), QV_FIELD(VideoGlobalHeader, 1, 0),
      QV_FIELD(VideoSyncMethod, 2, -1),
      QV_FIELD(AudioSampleRate, 8000, 44100), QV_FIELD(AudioChannels, 1, 2), QV_FIELD(AudioQScale, 3.0f, -99999.0f),
      QV_FIELD(AudioDisable, 1, 0), QV_FIELD(AudioCodecName, "aac", ""), QV_FIELD(AudioCodecTag, 7, 0),
      QV_FIELD(AudioLanguage, "eng", ""), QV_FIELD(AudioVolume, 128, 256), QV_FIELD(AudioSyncMethod, 1, 0),
      QV_FIELD(AudioDriftThreshold, 0.5f, 0.1f), QV_FIELD(SubtitleDisable, 1, 0), QV_FIELD(SubtitleCodecName, "x", ""),
      QV_FIELD(SubtitleLanguage, "ger", ""), QV_FIELD(AudioStreamCopy, 1, 0), QV_FIELD(VideoStreamCopy, 1, 0),
      QV_FIELD(SubtitleStreamCopy, 1, 0),
      QV_FIELD(RecordingTime, 5, INT64_MAX), QV_FIELD(StartTime, 5, 0), QV_FIELD(RecTimestamp, 5, 0),
      QV_FIELD(LimitFileSize, 5, 0), QV_FIELD(TotalDuration, 1000, -1), QV_FIELD(MaxFrames[0], 10, INT32_MAX),
      QV_FIELD(MaxFrames[1], 10, INT32_MAX), QV_FIELD(MaxFrames[2], 10, INT32_MAX), QV_FIELD(MaxFrames[3], 10, INT32_MAX),
      QV_FIELD(MuxPreload, 2.0f, 0.5f), QV_FIELD(MuxMaxDelay, 2.0f, 0.7f), QV_FIELD(CopyTs, 1, 0),
      QV_FIELD(Shortest, 1, 0), QV_FIELD(DtsDeltaThreshold, 1.0f, 10.0f),
      QV_FIELD(Title, "x", ""), QV_FIELD(Author, "x", ""), QV_FIELD(Copyright, "x", ""), QV_FIELD(Comment, "x", ""),
      QV_FIELD(Genre, "x", ""), QV_FIELD(Album, "x", ""), QV_FIELD(Year, 2008, 0), QV_FIELD(Track, 3, 0),
      QV_FIELD(Verbose, 3, 1), QV_FIELD(DoPktDump, 1, 0), QV_FIELD(DoHexDump, 1, 0), QV_FIELD(DoPsnr, 1, 0),
      QV_FIELD(VstatsFileName, "v.log", ""), QV_FIELD(VstatsFile, MyUtilLib.my_fopen("/dev/null", "w"), nullptr),
      QV_FIELD(DoPass, 2, 0), QV_FIELD(PassLogFileName, "p", ""), QV_FIELD(ThreadCount, 2, 1), QV_FIELD(SwsFlags, 1, 4),
      // not settings, but reset with them
      QV_JOB(InputTsScales[0][4], SetInputTsScale("4:2"), 0.0), QV_JOB(StreamMapCount, SetStreamMap("0:1"), 0),
      QV_JOB(MetaDataMapCount, SetMetaDataMap("0:0"), 0), QV_FIELD(UsingVhook, true, false),
      QV_FIELD(HookAction, haStop, haContinue), QV_FIELD(HookRangeIndex, 1, 0), QV_FIELD(HookRangeCount, 1, 0),
      QV_FIELD(BitBufferSize, 1 << 24, 262144), QV_FIELD(ExceptionRaised, true, false),
  };
#undef QV_FIELD
#undef QV_JOB
  for (const TField &f : fields) {
    f.Change(Engine);
    EXPECT_FALSE(f.IsDefault(Engine)) << f.Name << " was not changed";
  }
  Engine.HookRanges.push_back({0, 10});
  Engine.ResetOptions();
  for (const TField &f : fields) EXPECT_TRUE(f.IsDefault(Engine)) << f.Name;
  EXPECT_TRUE(Engine.HookRanges.empty());
}

// ---- input files ----

TEST_F(FilesTest, GeneratedInputFillsSettingsAndDecoderContexts)
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
  EXPECT_EQ(Engine.FrameWidth * 1000 + Engine.FrameHeight, 352288);
  EXPECT_EQ(Engine.FramePixFmt, AV_PIX_FMT_YUV420P);
  EXPECT_EQ(av_cmp_q(Engine.FrameRate, AVRational{25, 1}), 0);
  EXPECT_FLOAT_EQ(Engine.FrameAspectRatio, 352.0f / 288.0f);
  EXPECT_EQ(Engine.AudioSampleRate, 22050);
  EXPECT_EQ(Engine.AudioChannels, 1);
  EXPECT_NEAR(Engine.TotalDuration, 3050, 150);
  // One decoder context per stream, timed by its stream; audio discarded.
  AVFormatContext *ic = Engine.InputFiles[0];
  ASSERT_EQ(Engine.Job().InputSetups[0].Dec.size(), ic->nb_streams);
  for (unsigned i = 0; i < ic->nb_streams; ++i) {
    const AVCodecContext *dec = Engine.Job().InputSetups[0].Dec[i].get();
    EXPECT_EQ(dec->codec_id, ic->streams[i]->codecpar->codec_id);
    EXPECT_EQ(av_cmp_q(dec->pkt_timebase, ic->streams[i]->time_base), 0);
    EXPECT_EQ(dec->thread_count, 2);
    EXPECT_EQ(ic->streams[i]->discard, dec->codec_type == AVMEDIA_TYPE_AUDIO ? AVDISCARD_ALL : AVDISCARD_DEFAULT);
  }
  // Per-file settings are spent.
  EXPECT_TRUE(Engine.VideoCodecName.empty());
  EXPECT_EQ(Engine.RateEmu, 0);
}

TEST_F(FilesTest, RealSamplesReportTheirStreams)
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
      // A lone picture: the rate onMetaData gives.
      {"ruffle__netstream_play_flv-test_video.flv", 320, 233, 12, 1, 44100, 1, 1000},
      {"ruffle__tone_alaw_mono.flv", 0, 0, 0, 0, 8000, 1, 1000},
      {"ruffle__tone_mono_22050hz.flv", 0, 0, 0, 0, 22050, 1, 1000},
      // Every back-pointer off by four: the tags still give both streams.
      {"red5-server__h264_aac.flv", 160, 120, 15, 1, 44100, 2, 29000},
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
  }
}

TEST_F(FilesTest, InputFailuresNameTheFileAndReleaseTheSettings)
{
  const std::string missing = Dir.File("missing.flv"), empty = Dir.File("zero.flv"), noise = Dir.File("noise.flv"),
                    text = Dir.File("notes.txt");
  qvtest::WriteFile(empty, "");
  std::mt19937 gen(1234);
  std::string bytes(8192, '\0');
  for (char &b : bytes) b = static_cast<char>(gen() & 0xff);
  qvtest::WriteFile(noise, bytes);
  qvtest::WriteFile(text, "Just some words,\nnothing a demuxer knows.\n");
  const std::string dummy = qvtest::Sample("ruffle__dummy.flv");
  struct TCase {
    std::string File, Message, VideoCodec;
  };
  const TCase cases[] = {
      {missing, missing + ": no such file or directory", "h264"},
      {empty, empty + ": Unknown format", "h264"},
      {noise, noise + ": Unknown format", "h264"},
      {text, text + ": Unknown format", "h264"},
      {dummy, "Unknown decoder 'no_such_decoder'", "no_such_decoder"},
      {dummy, "Invalid decoder type 'mp3'", "mp3"},
  };
  for (const TCase &c : cases) {
    SCOPED_TRACE(c.Message);
    Engine.VideoCodecName = c.VideoCodec;
    Engine.AudioCodecName = "aac";
    Engine.VideoChannel = 3;
    EXPECT_FALSE(Engine.OpenInputFile(c.File));
    EXPECT_EQ(Engine.LastOptionError, c.Message);
    EXPECT_EQ(Engine.InputFileCount, 0);
    EXPECT_EQ(Engine.InputFiles[0], nullptr);
    EXPECT_TRUE(Engine.VideoCodecName.empty() && Engine.AudioCodecName.empty());
    EXPECT_EQ(Engine.VideoChannel, 0);
  }
  // An FLV header with no tag after it is refused at once, forced or not.
  const std::string bare = Dir.File("empty.flv");
  qvtest::WriteFile(bare, std::string("FLV\x01\x00\x00\x00\x00\x09\x00\x00\x00\x00", 13));
  Engine.InputFormat = AVFormatLib.av_find_input_format("flv");
  EXPECT_FALSE(Engine.OpenInputFile(bare));
  EXPECT_EQ(Engine.LastOptionError, bare + ": no audio or video data could be read");
  EXPECT_EQ(Engine.InputFileCount, 0);
  EXPECT_EQ(Engine.TotalDuration, -1);
  EXPECT_EQ(Engine.InputFormat, nullptr);
  // The 21st input is refused.
  for (int i = 0; i < MaxFiles; ++i) ASSERT_TRUE(Engine.OpenInputFile(dummy)) << i << Engine.LastOptionError;
  EXPECT_FALSE(Engine.OpenInputFile(dummy));
  EXPECT_NE(Engine.LastOptionError.find("20"), std::string::npos) << Engine.LastOptionError;
  EXPECT_EQ(Engine.InputFileCount, MaxFiles);
  Engine.ReleaseJob();
  EXPECT_EQ(Engine.InputFileCount, 0);
}

TEST_F(FilesTest, StartTimeSetsTheInputOffset)
{
  const std::string path = Media("long.flv");
  Engine.StartTime = 1000000;
  Engine.InputTsOffset = 250000;
  ASSERT_TRUE(Engine.OpenInputFile(path)) << Engine.LastOptionError;
  const int64_t start = Engine.InputFiles[0]->start_time == AV_NOPTS_VALUE ? 0 : Engine.InputFiles[0]->start_time;
  EXPECT_EQ(Engine.StartTime, 0);
  EXPECT_EQ(Engine.Job().InputTsOffsets[0], 250000 - (1000000 + start));
  Engine.StartTime = 1000000;
  Engine.CopyTs = 1;  // copied timestamps: the plain setting
  ASSERT_TRUE(Engine.OpenInputFile(path));
  EXPECT_EQ(Engine.Job().InputTsOffsets[1], 250000);
  Engine.CopyTs = 0;  // no start position: only the file's own start moves it
  ASSERT_TRUE(Engine.OpenInputFile(path));
  EXPECT_EQ(Engine.Job().InputTsOffsets[2], 250000 - start);
}

TEST_F(FilesTest, CodecLookupAndGenericOptionCopy)
{
  AVCodecID id = AV_CODEC_ID_MP3;
  EXPECT_TRUE(Engine.FindCodec("", AVMEDIA_TYPE_VIDEO, true, id));
  EXPECT_EQ(id, AV_CODEC_ID_NONE);
  EXPECT_FALSE(Engine.FindCodec("nonesuch", AVMEDIA_TYPE_VIDEO, true, id));
  EXPECT_EQ(Engine.LastOptionError, "Unknown encoder 'nonesuch'");
  EXPECT_FALSE(Engine.FindCodec("aac", AVMEDIA_TYPE_VIDEO, true, id));
  EXPECT_EQ(Engine.LastOptionError, "Invalid encoder type 'aac'");
  // A retired encoder name reaches its successor, saying so once, and is still checked for its kind.
  EXPECT_TRUE(Engine.FindCodec("libfaac", AVMEDIA_TYPE_AUDIO, true, id));
  EXPECT_EQ(id, AV_CODEC_ID_AAC);
  ASSERT_EQ(Log.size(), 1u);
  EXPECT_EQ(Log[0].first, 1);
  EXPECT_NE(Log[0].second.find("libfaac"), std::string::npos);
  EXPECT_FALSE(Engine.FindCodec("libfaac", AVMEDIA_TYPE_VIDEO, true, id));
  EXPECT_EQ(Engine.LastOptionError, "Invalid encoder type 'libfaac'");

  // Generic options reach only contexts of their kind.
  // The names come through the option surface; the values all go into one
  // set of defaults so that only the kind flags tell the two contexts apart.
  AVCodecContext *defaults = Engine.Job().CodecOpts[AVMEDIA_TYPE_VIDEO];
  for (const auto &[k, v] : {std::pair{"g", "7"}, {"ar", "11025"}, {"b", "123000"}}) {
    ASSERT_TRUE(Engine.SetGenericOption(k, v)) << k;
    ASSERT_GE(AVUtilLib.av_opt_set(defaults, k, v, 0), 0);
  }
  ASSERT_FALSE(Engine.SetGenericOption("not_an_option", "1"));
  avbind::TCodecCtxPtr video(AVCodecLib.avcodec_alloc_context3(nullptr));
  avbind::TCodecCtxPtr audio(AVCodecLib.avcodec_alloc_context3(nullptr));
  const int gop = audio->gop_size;
  Engine.ApplyGenericOptions(video.get(), defaults, AV_OPT_FLAG_VIDEO_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
  Engine.ApplyGenericOptions(audio.get(), defaults, AV_OPT_FLAG_AUDIO_PARAM | AV_OPT_FLAG_ENCODING_PARAM);
  EXPECT_EQ(video->gop_size, 7);
  EXPECT_EQ(video->bit_rate, 123000);
  EXPECT_EQ(video->sample_rate, 0);
  EXPECT_EQ(audio->sample_rate, 11025);
  EXPECT_EQ(audio->bit_rate, 123000);
  EXPECT_EQ(audio->gop_size, gop);
}

// ---- output files ----

TEST_F(FilesTest, FailedOutputOpensLeaveNoEntryAndNoFile)
{
  qvtest::WriteFile(Dir.File("plainfile"), "x");
  const std::string unknown = Dir.File("out.notaformat"), noDir = Dir.File("no/such/dir/out.mp4"),
                    underFile = Dir.File("plainfile/out.mp4"), image = Dir.File("frame.png");
  const std::pair<std::string, std::string> cases[] = {
      {unknown, "Unable to find a suitable output format for '" + unknown + "'"},
      {noDir, "Could not open '" + noDir + "'"},
      {underFile, "Could not open '" + underFile + "'"},
      {image, image + ": Incorrect image filename syntax."},
  };
  for (const auto &[path, message] : cases) {
    SCOPED_TRACE(path);
    Engine.AudioDisable = 1;
    EXPECT_FALSE(Engine.OpenOutputFile(path));
    EXPECT_EQ(Engine.LastOptionError.rfind(message, 0), 0u) << Engine.LastOptionError;
    EXPECT_EQ(Engine.OutputFileCount, 0);
    EXPECT_EQ(Engine.OutputFiles[0], nullptr);
    EXPECT_FALSE(qvtest::FileExists(path));
  }
  EXPECT_EQ(qvtest::ReadFile(Dir.File("plainfile")), "x");
  Engine.AudioDisable = 1;
  EXPECT_TRUE(Engine.OpenOutputFile(Dir.File("frame%03d.png"))) << Engine.LastOptionError;
  EXPECT_EQ(Engine.OutputFileCount, 1);
}

// The check every form shares: an input, however named, is never opened for writing.
TEST_F(FilesTest, AnOutputThatIsAnInputIsRefusedBeforeItIsOpened)
{
  const std::string in = Media("in.flv"), before = qvtest::ReadFile(in);
  ASSERT_EQ(symlink(in.c_str(), Dir.File("link.flv").c_str()) + link(in.c_str(), Dir.File("hard.flv").c_str()), 0);
  ASSERT_TRUE(Engine.OpenInputFile(in)) << Engine.LastOptionError;
  for (const std::string name : {in, Dir.File("link.flv"), Dir.File("hard.flv"), "file:" + in}) {
    Engine.SetOption("f", "mp4");
    EXPECT_FALSE(Engine.OpenOutputFile(name));
    EXPECT_EQ(Engine.LastOptionError, "Output file '" + name + "' is the same as input '" + in + "'");
  }
  EXPECT_TRUE(qvtest::ReadFile(in) == before);
}

TEST_F(FilesTest, OutputStreamsFollowTheInputKinds)
{
  qvtest::TGenOptions noAudio;
  noAudio.AudioCodec = "";
  ASSERT_TRUE(Engine.OpenInputFile(Media("video_only.flv", noAudio))) << Engine.LastOptionError;
  const std::string out = Dir.File("out.mp4");
  ASSERT_TRUE(Engine.OpenOutputFile(out)) << Engine.LastOptionError;
  ASSERT_EQ(Engine.OutputFiles[0]->nb_streams, 1u);  // mp4 would take AAC, but the input has no audio
  EXPECT_EQ(Enc(0, 0)->codec_type, AVMEDIA_TYPE_VIDEO);
  EXPECT_EQ(Enc(0, 0)->width * 1000 + Enc(0, 0)->height, 320240);
  EXPECT_EQ(av_cmp_q(Enc(0, 0)->time_base, AVRational{1, 25}), 0);
  EXPECT_TRUE(qvtest::FileExists(out));

  TCustomFFmpeg both;
  both.Prepare();
  both.Verbose = -1;
  qvtest::TGenOptions mono;
  mono.SampleRate = 22050;
  mono.Channels = 1;
  ASSERT_TRUE(both.OpenInputFile(Media("av.flv", mono)));
  ASSERT_TRUE(both.OpenOutputFile(Dir.File("av.mp4"))) << both.LastOptionError;
  ASSERT_EQ(both.OutputFiles[0]->nb_streams, 2u);
  const AVCodecContext *a = both.Job().OutputSetups[0].Streams[1].Enc.get();
  EXPECT_EQ(a->codec_id, AV_CODEC_ID_AAC);
  EXPECT_EQ(a->sample_rate, 22050);
  EXPECT_EQ(a->ch_layout.nb_channels, 1);
  EXPECT_EQ(av_cmp_q(a->time_base, AVRational{1, 22050}), 0);
}

TEST_F(FilesTest, StreamCopyMarksOnlyTheNextFile)
{
  Engine.VideoStreamCopy = Engine.AudioStreamCopy = 1;
  Engine.FrameWidth = 640;
  Engine.FrameHeight = 480;
  ASSERT_TRUE(Engine.OpenOutputFile(Dir.File("copy.mp4"))) << Engine.LastOptionError;
  ASSERT_EQ(Engine.OutputFiles[0]->nb_streams, 2u);
  EXPECT_TRUE(Setup(0, 0).StreamCopy && Setup(0, 1).StreamCopy);
  EXPECT_EQ(Enc(0, 0)->width, 0);  // encoder parameters untouched
  EXPECT_EQ(Engine.VideoStreamCopy + Engine.AudioStreamCopy, 0);
  ASSERT_TRUE(Engine.OpenOutputFile(Dir.File("again.mp4"))) << Engine.LastOptionError;
  EXPECT_FALSE(Setup(1, 0).StreamCopy || Setup(1, 1).StreamCopy);
  EXPECT_EQ(Enc(1, 0)->width, 640);
}

TEST_F(FilesTest, FrameRateSnapsToTheEncodersList)
{
  // mpeg1video lists 24000/1001, 24, 25, 30000/1001, 30, 50, ...
  const std::pair<AVRational, AVRational> cases[] = {
      {{0, 0}, {1, 25}},               // unset: 25 per second
      {{30000, 1001}, {1001, 30000}},  // listed: kept exactly
      {{31, 1}, {1, 30}},              // nearest
      {{49, 2}, {1, 24}},              // 24 and 25 are equally near: the first listed wins
  };
  int file = 0;
  for (const auto &[asked, timeBase] : cases) {
    SCOPED_TRACE(asked.num);
    Engine.FrameRate = asked;
    Engine.VideoCodecName = "mpeg1video";
    Engine.FrameWidth = 352;
    Engine.FrameHeight = 240;
    ASSERT_TRUE(Engine.OpenOutputFile(Dir.File("r" + std::to_string(file) + ".mpg"))) << Engine.LastOptionError;
    EXPECT_EQ(av_cmp_q(Enc(file++, 0)->time_base, timeBase), 0);
  }
  Engine.FrameRate = {30000, 1001};  // an encoder without a list takes the rate as asked
  AVCodecContext *enc = OpenVideoOnly("free.mp4");
  ASSERT_NE(enc, nullptr);
  EXPECT_EQ(av_cmp_q(enc->time_base, AVRational{1001, 30000}), 0);
}

TEST_F(FilesTest, VideoEncoderTakesGeometryQualityAndMatrices)
{
  Engine.FrameWidth = 320;
  Engine.FrameHeight = 240;
  Engine.FramePadTop = Engine.FramePadBottom = 8;
  Engine.FramePadLeft = Engine.FramePadRight = 16;
  Engine.FrameAspectRatio = 16.0f / 9.0f;
  Engine.FramePixFmt = AV_PIX_FMT_RGB24;  // mpeg4 cannot take it
  Engine.VideoQScale = 4;
  Engine.IntraOnly = Engine.DoPsnr = Engine.DoPass = 1;
  Engine.IntraMatrix = static_cast<uint16_t *>(AVUtilLib.av_mallocz(64 * sizeof(uint16_t)));
  for (int i = 0; i < 64; ++i) Engine.IntraMatrix[i] = static_cast<uint16_t>(8 + i);
  AVCodecContext *enc = OpenVideoOnly("geo.mp4");
  ASSERT_NE(enc, nullptr);
  EXPECT_EQ(enc->width * 1000 + enc->height, 352256);
  EXPECT_NEAR(av_q2d(enc->sample_aspect_ratio), 16.0 / 9.0 * 256 / 352, 0.01);
  EXPECT_EQ(enc->pix_fmt, AV_PIX_FMT_YUV420P);
  EXPECT_EQ(enc->gop_size, 0);
  EXPECT_EQ(enc->global_quality, 4 * FF_QP2LAMBDA);
  const int flags = AV_CODEC_FLAG_QSCALE | AV_CODEC_FLAG_PSNR | AV_CODEC_FLAG_PASS1 | AV_CODEC_FLAG_GLOBAL_HEADER;
  EXPECT_EQ(enc->flags & (flags | AV_CODEC_FLAG_PASS2), flags);
  // The encoder has its own copy: the job's matrix serves later streams too.
  ASSERT_NE(enc->intra_matrix, nullptr);
  EXPECT_NE(enc->intra_matrix, Engine.IntraMatrix);
  EXPECT_EQ(enc->intra_matrix[63], 71);
  EXPECT_EQ(enc->inter_matrix, nullptr);
}

TEST_F(FilesTest, RateControlOverrides)
{
  Engine.VideoRcOverride = "0,100,2/101,200,-50";
  AVCodecContext *enc = OpenVideoOnly("rc.mp4");
  ASSERT_NE(enc, nullptr);
  ASSERT_EQ(enc->rc_override_count, 2);
  const RcOverride &a = enc->rc_override[0], &b = enc->rc_override[1];
  EXPECT_TRUE(a.start_frame == 0 && a.end_frame == 100 && a.qscale == 2 && a.quality_factor == 1.0f);
  EXPECT_TRUE(b.start_frame == 101 && b.end_frame == 200 && b.qscale == 0 && b.quality_factor == 0.5f);
  for (const char *bad : {"0,100", "a,1,2", "1,2,", "1,2,3x"}) {
    SCOPED_TRACE(bad);
    const std::string path = Dir.File("bad.mp4");
    Engine.VideoRcOverride = bad;
    Engine.VideoCodecName = "mpeg4";
    EXPECT_FALSE(Engine.OpenOutputFile(path));
    EXPECT_EQ(Engine.LastOptionError, "new_video_stream fail: error parsing rc_override");
    EXPECT_FALSE(qvtest::FileExists(path));
    EXPECT_EQ(Engine.OutputFileCount, 1);
    EXPECT_EQ(Engine.OutputFiles[1], nullptr);
    EXPECT_TRUE(Engine.VideoCodecName.empty());
  }
  // Adding a stream to an existing file fails without leaving a stream behind.
  Engine.VideoRcOverride = "5";
  EXPECT_THROW(Engine.NewVideoStream(0), FFMpegException);
  EXPECT_EQ(Engine.OutputFiles[0]->nb_streams, 1u);
}

TEST_F(FilesTest, OptionsAudioSettingsAndMetadataReachTheOutput)
{
  for (const auto &[k, v] :
       {std::pair{"g", "12"}, {"maxrate", "900000"}, {"mpeg_quant", "1"}, {"movflags", "+faststart"}})
    ASSERT_TRUE(Engine.SetGenericOption(k, v)) << k;
  ASSERT_FALSE(Engine.SetGenericOption("no_encoder_has_this", "1"));
  Engine.Title = "A title";
  Engine.Year = 2008;
  Engine.RecTimestamp = 1204372800;
  AVCodecContext *enc = OpenVideoOnly("opts.mp4");
  ASSERT_NE(enc, nullptr);
  EXPECT_EQ(enc->gop_size, 12);
  EXPECT_EQ(enc->rc_max_rate, 900000);
  int64_t quant = -1;
  ASSERT_GE(AVUtilLib.av_opt_get_int(enc, "mpeg_quant", AV_OPT_SEARCH_CHILDREN, &quant), 0);
  EXPECT_EQ(quant, 1);
  // The muxer gets the private options its own class knows, and only those.
  AVDictionary *mux = Engine.Job().OutputSetups[0].MuxOpts.Get();
  EXPECT_EQ(Dict(mux, "movflags"), "+faststart");
  EXPECT_EQ(Dict(mux, "maxrate") + Dict(mux, "preload"), "<none><none>");
  EXPECT_EQ(Engine.OutputFiles[0]->max_delay, 700000);
  AVDictionary *meta = Engine.OutputFiles[0]->metadata;
  EXPECT_EQ(Dict(meta, "title") + "|" + Dict(meta, "date") + "|" + Dict(meta, "creation_time"),
            "A title|2008|2008-03-01T12:00:00.000000Z");
  Engine.MuxPreload = 0.25f;
  ASSERT_TRUE(Engine.OpenOutputFile(Dir.File("ps.mpg"))) << Engine.LastOptionError;
  EXPECT_EQ(Dict(Engine.Job().OutputSetups[1].MuxOpts.Get(), "preload"), "250000");
  ASSERT_TRUE(Engine.OpenOutputFile(Dir.File("anim.gif"))) << Engine.LastOptionError;
  EXPECT_EQ(Dict(Engine.Job().OutputSetups[2].MuxOpts.Get(), "loop"), "-1");  // gif: "does not loop"

}

TEST_F(FilesTest, AudioEncoderTakesAliasQualityRatesAndLanguage)
{
  Engine.AudioCodecName = "libfaac";
  Engine.AudioQScale = 5;
  Engine.AudioSampleRate = 32000;
  Engine.AudioChannels = 1;
  Engine.AudioLanguage = "english";
  Engine.VideoDisable = 1;
  ASSERT_TRUE(Engine.OpenOutputFile(Dir.File("a.mp4"))) << Engine.LastOptionError;
  const AVCodecContext *aenc = Enc(0, 0);
  EXPECT_EQ(aenc->codec_id, AV_CODEC_ID_AAC);
  EXPECT_EQ(Setup(0, 0).CodecName, "aac");
  EXPECT_TRUE(aenc->flags & AV_CODEC_FLAG_QSCALE);
  EXPECT_EQ(aenc->global_quality, 590);
  EXPECT_EQ(aenc->ch_layout.nb_channels, 1);
  EXPECT_EQ(aenc->sample_rate, 32000);
  EXPECT_EQ(Dict(Engine.OutputFiles[0]->streams[0]->metadata, "language"), "eng");
  EXPECT_EQ(std::count_if(Log.begin(), Log.end(), [](const auto &l) { return l.first == 1; }), 1);  // the alias
  EXPECT_TRUE(Engine.AudioLanguage.empty() && Engine.AudioCodecName.empty());
  // A video encoder named for audio is refused, and the language goes with it.
  Engine.AudioCodecName = "mpeg4";
  Engine.AudioLanguage = "fre";
  EXPECT_FALSE(Engine.OpenOutputFile(Dir.File("c.mp4")));
  EXPECT_EQ(Engine.LastOptionError, "new_audio_stream fail: Invalid encoder type 'mpeg4'");
  EXPECT_TRUE(Engine.AudioLanguage.empty());
  EXPECT_FALSE(qvtest::FileExists(Dir.File("c.mp4")));
}

TEST_F(FilesTest, TwentyFirstOutputAndStreamAreRefused)
{
  for (int i = 0; i < MaxFiles; ++i)
    ASSERT_TRUE(Engine.OpenOutputFile(Dir.File("o" + std::to_string(i) + ".mp4"))) << i << Engine.LastOptionError;
  const std::string extra = Dir.File("o20.mp4");
  EXPECT_FALSE(Engine.OpenOutputFile(extra));
  EXPECT_NE(Engine.LastOptionError.find("20"), std::string::npos) << Engine.LastOptionError;
  EXPECT_EQ(Engine.OutputFileCount, MaxFiles);
  EXPECT_FALSE(qvtest::FileExists(extra));
  // o0.mp4 already has video and audio.
  while (Engine.OutputFiles[0]->nb_streams < static_cast<unsigned>(MaxStreams)) Engine.NewAudioStream(0);
  Engine.AudioCodecName = "aac";
  EXPECT_THROW(Engine.NewAudioStream(0), FFMpegException);
  EXPECT_TRUE(Engine.AudioCodecName.empty());
  EXPECT_THROW(Engine.NewVideoStream(0), FFMpegException);
  EXPECT_THROW(Engine.NewSubtitleStream(0), FFMpegException);
  EXPECT_EQ(Engine.OutputFiles[0]->nb_streams, static_cast<unsigned>(MaxStreams));
  EXPECT_THROW(Engine.NewVideoStream(MaxFiles), FFMpegException);
  EXPECT_THROW(Engine.NewVideoStream(-1), FFMpegException);
  // Released with the job: nothing was written, so nothing stays on disk.
  Engine.ReleaseJob();
  EXPECT_EQ(Engine.OutputFileCount, 0);
  EXPECT_FALSE(qvtest::FileExists(Dir.File("o0.mp4")));
}

}  // namespace
