// Output files and their streams: format choice, which streams are made,
// the encoder contexts filled from the job settings, per-kind resets,
// muxer options, metadata, limits and failures that must leave no file.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <sys/stat.h>

#include "FFmpeg.h"
#include "TestEnv.h"
#include "TestMedia.h"

namespace {

class OutputFileTest : public ::testing::Test {
 protected:
  void SetUp() override
  {
    qvtest::LoadLibs();
    Engine.Prepare();
    Engine.Verbose = -1;
    Engine.OnLog = [this](TCustomFFmpeg *, int level, const std::string &msg) {
      Log.push_back(std::to_string(level) + ":" + msg);
    };
  }

  AVCodecContext *Enc(int AFile, int AStream) { return Engine.OutputSetups[AFile].Streams[AStream].Enc.get(); }
  const TOutputStreamSetup &Setup(int AFile, int AStream) { return Engine.OutputSetups[AFile].Streams[AStream]; }
  std::string MuxOpt(int AFile, const char *AKey)
  {
    const AVDictionaryEntry *e = AVUtilLib.av_dict_get(Engine.OutputSetups[AFile].MuxOpts.Get(), AKey, nullptr, 0);
    return e ? e->value : "<none>";
  }
  static std::string Meta(AVDictionary *ADict, const char *AKey)
  {
    const AVDictionaryEntry *e = AVUtilLib.av_dict_get(ADict, AKey, nullptr, 0);
    return e ? e->value : "<none>";
  }
  // Opens one output with an mpeg4 video encoder and returns its encoder.
  AVCodecContext *OpenVideoOnly(const std::string &AName)
  {
    Engine.VideoCodecName = "mpeg4";
    Engine.AudioDisable = 1;
    EXPECT_TRUE(Engine.OpenOutputFile(Dir.File(AName))) << Engine.LastOptionError;
    return Engine.OutputFileCount ? Enc(Engine.OutputFileCount - 1, 0) : nullptr;
  }

  qvtest::TScratchDir Dir;
  TCustomFFmpeg Engine;
  std::vector<std::string> Log;
};

TEST_F(OutputFileTest, UnknownExtensionFailsAndCreatesNothing)
{
  const std::string path = Dir.File("out.notaformat");
  EXPECT_FALSE(Engine.OpenOutputFile(path));
  EXPECT_EQ(Engine.LastOptionError, "Unable to find a suitable output format for '" + path + "'");
  EXPECT_EQ(Engine.OutputFileCount, 0);
  EXPECT_FALSE(qvtest::FileExists(path));
}

TEST_F(OutputFileTest, StreamsFollowTheInputKinds)
{
  qvtest::TGenOptions noAudio;
  noAudio.AudioCodec = "";
  const std::string in = Dir.File("video_only.flv");
  qvtest::MakeMedia(in, noAudio);
  ASSERT_TRUE(Engine.OpenInputFile(in)) << Engine.LastOptionError;

  const std::string out = Dir.File("out.mp4");
  ASSERT_TRUE(Engine.OpenOutputFile(out)) << Engine.LastOptionError;
  ASSERT_EQ(Engine.OutputFileCount, 1);
  AVFormatContext *oc = Engine.OutputFiles[0];
  ASSERT_EQ(oc->nb_streams, 1u);  // mp4 would take AAC, but the input has no audio
  ASSERT_NE(Enc(0, 0), nullptr);
  EXPECT_EQ(Enc(0, 0)->codec_type, AVMEDIA_TYPE_VIDEO);
  EXPECT_EQ(Enc(0, 0)->width, 320);
  EXPECT_EQ(Enc(0, 0)->height, 240);
  EXPECT_EQ(av_cmp_q(Enc(0, 0)->time_base, AVRational{1, 25}), 0);
  EXPECT_TRUE(qvtest::FileExists(out));  // opened for writing
  EXPECT_EQ(Engine.OutputFormat, nullptr);

  // With audio in the input, the same kind of file gets both streams.
  TCustomFFmpeg both;
  both.Prepare();
  both.Verbose = -1;
  const std::string av = Dir.File("av.flv");
  qvtest::TGenOptions mono;
  mono.SampleRate = 22050;
  mono.Channels = 1;
  qvtest::MakeMedia(av, mono);
  ASSERT_TRUE(both.OpenInputFile(av));
  ASSERT_TRUE(both.OpenOutputFile(Dir.File("av.mp4"))) << both.LastOptionError;
  ASSERT_EQ(both.OutputFiles[0]->nb_streams, 2u);
  const AVCodecContext *a = both.OutputSetups[0].Streams[1].Enc.get();
  EXPECT_EQ(a->codec_type, AVMEDIA_TYPE_AUDIO);
  EXPECT_EQ(a->codec_id, AV_CODEC_ID_AAC);
  EXPECT_EQ(a->sample_rate, 22050);
  EXPECT_EQ(a->ch_layout.nb_channels, 1);
  EXPECT_EQ(av_cmp_q(a->time_base, AVRational{1, 22050}), 0);
}

TEST_F(OutputFileTest, StreamCopyMarksOnlyTheNextStream)
{
  Engine.VideoStreamCopy = 1;
  Engine.AudioStreamCopy = 1;
  Engine.FrameWidth = 640;
  Engine.FrameHeight = 480;
  ASSERT_TRUE(Engine.OpenOutputFile(Dir.File("copy.mp4"))) << Engine.LastOptionError;
  ASSERT_EQ(Engine.OutputFiles[0]->nb_streams, 2u);
  EXPECT_TRUE(Setup(0, 0).StreamCopy);
  EXPECT_EQ(Enc(0, 0)->codec_type, AVMEDIA_TYPE_VIDEO);
  EXPECT_EQ(Enc(0, 0)->width, 0);  // encoder parameters untouched
  EXPECT_EQ(Enc(0, 0)->codec_id, AV_CODEC_ID_NONE);
  EXPECT_TRUE(Setup(0, 1).StreamCopy);
  EXPECT_EQ(Enc(0, 1)->codec_type, AVMEDIA_TYPE_AUDIO);
  EXPECT_EQ(Engine.VideoStreamCopy, 0);
  EXPECT_EQ(Engine.AudioStreamCopy, 0);

  ASSERT_TRUE(Engine.OpenOutputFile(Dir.File("again.mp4"))) << Engine.LastOptionError;
  EXPECT_FALSE(Setup(1, 0).StreamCopy);
  EXPECT_FALSE(Setup(1, 1).StreamCopy);
  EXPECT_EQ(Enc(1, 0)->width, 640);
}

TEST_F(OutputFileTest, FrameRateSnapsToTheEncodersList)
{
  struct TCase {
    AVRational Asked, TimeBase;
  };
  // mpeg1video lists 24000/1001, 24, 25, 30000/1001, 30, 50, ...
  const TCase cases[] = {
      {{0, 0}, {1, 25}},               // unset: 25 per second
      {{30000, 1001}, {1001, 30000}},  // listed: kept exactly
      {{31, 1}, {1, 30}},              // nearest
      {{49, 2}, {1, 24}},              // 24 and 25 are equally near: the first listed wins
  };
  int file = 0;
  for (const TCase &c : cases) {
    SCOPED_TRACE(c.Asked.num);
    Engine.FrameRate = c.Asked;
    Engine.VideoCodecName = "mpeg1video";
    Engine.FrameWidth = 352;
    Engine.FrameHeight = 240;
    ASSERT_TRUE(Engine.OpenOutputFile(Dir.File("r" + std::to_string(file) + ".mpg"))) << Engine.LastOptionError;
    EXPECT_EQ(av_cmp_q(Enc(file, 0)->time_base, c.TimeBase), 0)
        << Enc(file, 0)->time_base.num << "/" << Enc(file, 0)->time_base.den;
    ++file;
  }
  // An encoder without a list takes the rate as asked.
  Engine.FrameRate = {30000, 1001};
  AVCodecContext *enc = OpenVideoOnly("free.mp4");
  ASSERT_NE(enc, nullptr);
  EXPECT_EQ(av_cmp_q(enc->time_base, AVRational{1001, 30000}), 0);
}

TEST_F(OutputFileTest, VideoGeometryQualityAndMatrices)
{
  Engine.FrameWidth = 320;
  Engine.FrameHeight = 240;
  Engine.FramePadTop = Engine.FramePadBottom = 8;
  Engine.FramePadLeft = Engine.FramePadRight = 16;
  Engine.FrameAspectRatio = 16.0f / 9.0f;
  Engine.FramePixFmt = AV_PIX_FMT_RGB24;  // mpeg4 cannot take it
  Engine.VideoQScale = 4;
  Engine.IntraOnly = 1;
  Engine.DoPsnr = 1;
  Engine.DoPass = 1;
  Engine.IntraMatrix = static_cast<uint16_t *>(AVUtilLib.av_mallocz(64 * sizeof(uint16_t)));
  for (int i = 0; i < 64; ++i) Engine.IntraMatrix[i] = static_cast<uint16_t>(8 + i);

  AVCodecContext *enc = OpenVideoOnly("geo.mp4");
  ASSERT_NE(enc, nullptr);
  EXPECT_EQ(enc->width, 352);
  EXPECT_EQ(enc->height, 256);
  EXPECT_NEAR(av_q2d(enc->sample_aspect_ratio), 16.0 / 9.0 * 256 / 352, 0.01);
  EXPECT_EQ(enc->pix_fmt, AV_PIX_FMT_YUV420P);
  EXPECT_EQ(enc->gop_size, 0);
  EXPECT_TRUE(enc->flags & AV_CODEC_FLAG_QSCALE);
  EXPECT_EQ(enc->global_quality, 4 * FF_QP2LAMBDA);
  EXPECT_FLOAT_EQ(Setup(0, 0).Quality, 4.0f * FF_QP2LAMBDA);
  EXPECT_TRUE(enc->flags & AV_CODEC_FLAG_PSNR);
  EXPECT_TRUE(enc->flags & AV_CODEC_FLAG_PASS1);
  EXPECT_FALSE(enc->flags & AV_CODEC_FLAG_PASS2);
  EXPECT_TRUE(enc->flags & AV_CODEC_FLAG_GLOBAL_HEADER);  // mp4 keeps headers global
  EXPECT_EQ(enc->intra_dc_precision, 0);
  // The encoder has its own copy: the job's matrix serves later streams too.
  ASSERT_NE(enc->intra_matrix, nullptr);
  EXPECT_NE(enc->intra_matrix, Engine.IntraMatrix);
  EXPECT_EQ(enc->intra_matrix[63], 71);
  EXPECT_EQ(enc->inter_matrix, nullptr);
  EXPECT_EQ(Setup(0, 0).CodecName, "mpeg4");
}

TEST_F(OutputFileTest, RateControlOverrides)
{
  Engine.VideoRcOverride = "0,100,2/101,200,-50";
  AVCodecContext *enc = OpenVideoOnly("rc.mp4");
  ASSERT_NE(enc, nullptr);
  ASSERT_EQ(enc->rc_override_count, 2);
  EXPECT_EQ(enc->rc_override[0].start_frame, 0);
  EXPECT_EQ(enc->rc_override[0].end_frame, 100);
  EXPECT_EQ(enc->rc_override[0].qscale, 2);
  EXPECT_FLOAT_EQ(enc->rc_override[0].quality_factor, 1.0f);
  EXPECT_EQ(enc->rc_override[1].start_frame, 101);
  EXPECT_EQ(enc->rc_override[1].end_frame, 200);
  EXPECT_EQ(enc->rc_override[1].qscale, 0);
  EXPECT_FLOAT_EQ(enc->rc_override[1].quality_factor, 0.5f);

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
  const unsigned before = Engine.OutputFiles[0]->nb_streams;
  EXPECT_THROW(Engine.NewVideoStream(0), FFMpegException);
  EXPECT_EQ(Engine.OutputFiles[0]->nb_streams, before);
}

TEST_F(OutputFileTest, GenericAndPrivateOptionsReachTheEncoder)
{
  ASSERT_GE(AVUtilLib.av_opt_set(Engine.CodecOpts[AVMEDIA_TYPE_VIDEO], "g", "12", 0), 0);
  Engine.OptNames = {"g"};
  Engine.PrivateOpts = {{"maxrate", "900000"}, {"mpeg_quant", "1"}, {"no_encoder_has_this", "1"},
                        {"movflags", "+faststart"}};
  AVCodecContext *enc = OpenVideoOnly("opts.mp4");
  ASSERT_NE(enc, nullptr);
  EXPECT_EQ(enc->gop_size, 12);
  EXPECT_EQ(enc->rc_max_rate, 900000);
  int64_t quant = -1;
  ASSERT_GE(AVUtilLib.av_opt_get_int(enc, "mpeg_quant", AV_OPT_SEARCH_CHILDREN, &quant), 0);
  EXPECT_EQ(quant, 1);
  // The muxer gets the private options its own class knows, and only those.
  EXPECT_EQ(MuxOpt(0, "movflags"), "+faststart");
  EXPECT_EQ(MuxOpt(0, "maxrate"), "<none>");
  EXPECT_EQ(MuxOpt(0, "preload"), "<none>");  // mp4 has no preload
  EXPECT_EQ(Engine.OutputFiles[0]->max_delay, 700000);

  Engine.MuxPreload = 0.25f;
  ASSERT_TRUE(Engine.OpenOutputFile(Dir.File("ps.mpg"))) << Engine.LastOptionError;
  EXPECT_EQ(MuxOpt(1, "preload"), "250000");
  // gif takes -1 for "does not loop"; muxers without "loop" get none.
  EXPECT_EQ(MuxOpt(1, "loop"), "<none>");
  ASSERT_TRUE(Engine.OpenOutputFile(Dir.File("anim.gif"))) << Engine.LastOptionError;
  EXPECT_EQ(MuxOpt(2, "loop"), "-1");
}

TEST_F(OutputFileTest, AudioSettingsAliasesAndLanguage)
{
  Engine.AudioCodecName = "libfaac";
  Engine.AudioQScale = 5;
  Engine.AudioSampleRate = 32000;
  Engine.AudioChannels = 1;
  Engine.AudioLanguage = "english";
  Engine.VideoDisable = 1;
  ASSERT_TRUE(Engine.OpenOutputFile(Dir.File("a.mp4"))) << Engine.LastOptionError;
  ASSERT_EQ(Engine.OutputFiles[0]->nb_streams, 1u);
  const AVCodecContext *enc = Enc(0, 0);
  EXPECT_EQ(enc->codec_id, AV_CODEC_ID_AAC);
  EXPECT_EQ(Setup(0, 0).CodecName, "aac");
  EXPECT_TRUE(enc->flags & AV_CODEC_FLAG_QSCALE);
  EXPECT_FLOAT_EQ(Setup(0, 0).Quality, 590.0f);
  EXPECT_EQ(enc->global_quality, 590);
  EXPECT_EQ(enc->ch_layout.nb_channels, 1);
  EXPECT_EQ(enc->sample_rate, 32000);
  EXPECT_EQ(Meta(Engine.OutputFiles[0]->streams[0]->metadata, "language"), "eng");
  ASSERT_EQ(std::count_if(Log.begin(), Log.end(), [](const std::string &l) { return l.rfind("1:", 0) == 0; }), 1);
  EXPECT_TRUE(Engine.AudioLanguage.empty());
  EXPECT_TRUE(Engine.AudioCodecName.empty());
  EXPECT_EQ(Engine.AudioSampleRate, 32000);  // rates stay for the next file

  // An unset audio quality sets no fixed quality.
  Engine.AudioQScale = -99999.0f;
  ASSERT_TRUE(Engine.OpenOutputFile(Dir.File("b.mp4")));
  EXPECT_FALSE(Enc(1, 0)->flags & AV_CODEC_FLAG_QSCALE);
  EXPECT_EQ(Setup(1, 0).Quality, 0.0f);

  // A video encoder named for audio is refused, and the language goes with it.
  Engine.AudioCodecName = "mpeg4";
  Engine.AudioLanguage = "fre";
  EXPECT_FALSE(Engine.OpenOutputFile(Dir.File("c.mp4")));
  EXPECT_EQ(Engine.LastOptionError, "new_audio_stream fail: Invalid encoder type 'mpeg4'");
  EXPECT_TRUE(Engine.AudioLanguage.empty());
  EXPECT_FALSE(qvtest::FileExists(Dir.File("c.mp4")));
}

TEST_F(OutputFileTest, MetadataGoesIntoTheFile)
{
  Engine.Title = "A title";
  Engine.Author = "Someone";
  Engine.Year = 2008;
  Engine.Track = 3;
  Engine.RecTimestamp = 1204372800;  // 2008-03-01 12:00:00 UTC
  ASSERT_TRUE(Engine.OpenOutputFile(Dir.File("meta.mp4"))) << Engine.LastOptionError;
  AVDictionary *m = Engine.OutputFiles[0]->metadata;
  EXPECT_EQ(Meta(m, "title"), "A title");
  EXPECT_EQ(Meta(m, "artist"), "Someone");
  EXPECT_EQ(Meta(m, "date"), "2008");
  EXPECT_EQ(Meta(m, "track"), "3");
  EXPECT_EQ(Meta(m, "creation_time"), "2008-03-01T12:00:00.000000Z");
}

TEST_F(OutputFileTest, LimitsOnFilesAndStreams)
{
  for (int i = 0; i < MaxFiles; ++i)
    ASSERT_TRUE(Engine.OpenOutputFile(Dir.File("o" + std::to_string(i) + ".mp4"))) << i << Engine.LastOptionError;
  const std::string extra = Dir.File("o20.mp4");
  EXPECT_FALSE(Engine.OpenOutputFile(extra));
  EXPECT_NE(Engine.LastOptionError.find("20"), std::string::npos) << Engine.LastOptionError;
  EXPECT_EQ(Engine.OutputFileCount, MaxFiles);
  EXPECT_FALSE(qvtest::FileExists(extra));

  // Streams: o0.mp4 already has video and audio.
  while (Engine.OutputFiles[0]->nb_streams < static_cast<unsigned>(MaxStreams)) Engine.NewAudioStream(0);
  Engine.AudioCodecName = "aac";
  EXPECT_THROW(Engine.NewAudioStream(0), FFMpegException);
  EXPECT_EQ(Engine.OutputFiles[0]->nb_streams, static_cast<unsigned>(MaxStreams));
  EXPECT_TRUE(Engine.AudioCodecName.empty());
  EXPECT_THROW(Engine.NewVideoStream(0), FFMpegException);
  EXPECT_THROW(Engine.NewSubtitleStream(0), FFMpegException);
  for (int s = 0; s < MaxStreams; ++s) EXPECT_NE(Enc(0, s), nullptr) << s;

  // A file index that names no file.
  EXPECT_THROW(Engine.NewVideoStream(MaxFiles), FFMpegException);
  EXPECT_THROW(Engine.NewVideoStream(-1), FFMpegException);

  // Released with the job: nothing was written, so nothing stays on disk.
  Engine.ReleaseJob();
  EXPECT_EQ(Engine.OutputFileCount, 0);
  EXPECT_FALSE(qvtest::FileExists(Dir.File("o0.mp4")));
}

TEST_F(OutputFileTest, UnwritablePlacesFailCleanly)
{
  const std::string noDir = Dir.File("no/such/dir/out.mp4");
  EXPECT_FALSE(Engine.OpenOutputFile(noDir));
  EXPECT_EQ(Engine.LastOptionError, "Could not open '" + noDir + "'");
  EXPECT_EQ(Engine.OutputFileCount, 0);
  EXPECT_EQ(Engine.OutputFiles[0], nullptr);

  // A regular file where a folder should be.
  qvtest::WriteFile(Dir.File("plainfile"), "x");
  const std::string underFile = Dir.File("plainfile/out.mp4");
  EXPECT_FALSE(Engine.OpenOutputFile(underFile));
  EXPECT_EQ(Engine.LastOptionError, "Could not open '" + underFile + "'");
  EXPECT_EQ(qvtest::ReadFile(Dir.File("plainfile")), "x");
  EXPECT_EQ(Engine.OutputFileCount, 0);

  // The engine is still usable afterwards.
  EXPECT_TRUE(Engine.OpenOutputFile(Dir.File("ok.mp4"))) << Engine.LastOptionError;
  EXPECT_EQ(Engine.OutputFileCount, 1);
}

TEST_F(OutputFileTest, ImageSequencesNeedAFrameNumber)
{
  const std::string single = Dir.File("frame.png");
  Engine.AudioDisable = 1;
  EXPECT_FALSE(Engine.OpenOutputFile(single));
  EXPECT_EQ(Engine.LastOptionError.rfind(single + ": Incorrect image filename syntax.", 0), 0u)
      << Engine.LastOptionError;
  EXPECT_EQ(Engine.OutputFileCount, 0);
  EXPECT_FALSE(qvtest::FileExists(single));

  Engine.AudioDisable = 1;
  EXPECT_TRUE(Engine.OpenOutputFile(Dir.File("frame%03d.png"))) << Engine.LastOptionError;
  EXPECT_EQ(Engine.OutputFileCount, 1);
}

}  // namespace
