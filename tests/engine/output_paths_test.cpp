// The audio, video and subtitle output paths driven directly: video sync
// (drop, duplicate, re-base, limits, stop), audio clock corrections (cut,
// pad, limit), decoded audio without a channel layout, DVB subtitles, the
// packet writer's mend of falling timestamps, the pictures' pre-processing
// (hook ranges, the custom hook's bitmap) and the picture helpers.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>

#include "AudioPath.h"
#include "FFmpeg.h"
#include "PictureOps.h"
#include "PicturePrep.h"
#include "Run.h"
#include "Streams.h"
#include "SubtitlePath.h"
#include "TestEnv.h"
#include "TestMedia.h"
#include "VideoPath.h"

namespace {

// The run as a path sees it: the job's settings, a log, the muxer call, the
// input clock, the statistics lines and the stop request.
class TFakeRun : public engine::TPathServices {
 public:
  const TFFmpegSettings &Settings() const override { return Job; }
  void Log(int, const std::string &AMsg) override { Logged.push_back(AMsg); }
  void WritePacket(AVFormatContext *AOut, AVPacket *APkt, TOutputStream &AOst) override
  {
    APkt->stream_index = AOst.Index;
    ++AOst.PacketsWritten;
    EXPECT_GE(AVFormatLib.av_interleaved_write_frame(AOut, APkt), 0);
  }
  double SyncInputTime(const TOutputStream &AOst, int64_t AStartTime) const override
  {
    return static_cast<double>(AOst.SyncIst->Pts - AStartTime) / 1000000.0;
  }
  void VideoStats(TOutputStream &, int AFrameSize, int, int) override { StatsSizes.push_back(AFrameSize); }
  bool StopRequested() const override { return Stop; }

  TFFmpegSettings Job;
  std::vector<std::string> Logged;
  std::vector<int> StatsSizes;
  std::atomic<bool> Stop{false};
};

class TTestEngine : public TCustomFFmpeg {
 public:
  using TCustomFFmpeg::HookLinks;
};

// One opened encoder and its path feeding the "null" muxer, with its input
// stream record. ASetup adjusts the job before the path is set up.
class TRig {
 public:
  explicit TRig(AVMediaType AType, AVRational ATimeBase = {1, 25}, int AAudioSync = 0,
                const std::function<void(TFFmpegSettings &)> &ASetup = {})
  {
    AVFormatLib.avformat_alloc_output_context2(&Oc, nullptr, "null", nullptr);
    Dec.reset(AVCodecLib.avcodec_alloc_context3(nullptr));
    const bool video = AType == AVMEDIA_TYPE_VIDEO;
    Enc.reset(AVCodecLib.avcodec_alloc_context3(AVCodecLib.avcodec_find_encoder_by_name(video ? "mpeg4" : "aac")));
    Ost.Enc = Enc.get();
    Ist.Dec = Dec.get();
    Ost.SyncIst = &Ist;
    Ist.IsStart = 1;
    Run.Job.AudioSyncMethod = AAudioSync;
    if (ASetup) ASetup(Run.Job);
    if (video) {
      Dec->width = Enc->width = 64;
      Dec->height = Enc->height = 48;
      Dec->pix_fmt = Enc->pix_fmt = AV_PIX_FMT_YUV420P;
      Enc->time_base = ATimeBase;
      Pic = Picture(64, 48, 100);
      Video = std::make_unique<engine::TVideoPath>(Run, Oc, Ost, engine::TVideoPathOptions{});
      Video->Setup(Ist);
    } else {
      Dec->sample_rate = Enc->sample_rate = 44100;
      AVUtilLib.av_channel_layout_default(&Dec->ch_layout, 2);
      AVUtilLib.av_channel_layout_default(&Enc->ch_layout, 2);
      Enc->time_base = {1, 44100};
      Audio = std::make_unique<engine::TAudioPath>(Run, Oc, Ost);
      Audio->Setup(Ist);
    }
    EXPECT_GE(AVCodecLib.avcodec_open2(Enc.get(), Enc->codec, nullptr), 0);
    Ost.Opened = true;
    Ost.Stream = AVFormatLib.avformat_new_stream(Oc, nullptr);
    AVCodecLib.avcodec_parameters_from_context(Ost.Stream->codecpar, Enc.get());
    Ost.Stream->time_base = Enc->time_base;
    EXPECT_GE(AVFormatLib.avformat_write_header(Oc, nullptr), 0);
  }
  ~TRig()
  {
    Video.reset();
    Audio.reset();
    AVFormatLib.avformat_free_context(Oc);
  }
  static avbind::TFramePtr Picture(int AWidth, int AHeight, int AValue)
  {
    avbind::TFramePtr f(AVUtilLib.av_frame_alloc());
    f->format = AV_PIX_FMT_YUV420P;
    f->width = AWidth;
    f->height = AHeight;
    AVUtilLib.av_frame_get_buffer(f.get(), 0);
    for (int p = 0; p < 3; ++p) std::memset(f->data[p], AValue, f->linesize[p] * (p ? AHeight / 2 : AHeight));
    return f;
  }
  // Sends one picture whose input time lies AFrames encoder ticks in.
  int VideoAt(double AFrames, const AVFrame *APicture = nullptr)
  {
    Ist.Pts = std::llrint(AFrames * av_q2d(Enc->time_base) * 1000000.0);
    return Video->Take(Ist, APicture ? *APicture : *Pic);
  }
  // Sends ASamples of stereo silence-free samples timed at APtsUs.
  void AudioAt(int64_t APtsUs, int ASamples)
  {
    std::vector<int16_t> block(static_cast<size_t>(ASamples) * 2, 1000);
    Ist.Pts = APtsUs;
    Ist.S16Channels = 2;
    Ist.S16SampleRate = 44100;
    Audio->Take(Ist, reinterpret_cast<const uint8_t *>(block.data()), ASamples * 4);
  }
  int64_t FifoSamples() const { return Audio->FifoSamples(); }

  TFakeRun Run;
  AVFormatContext *Oc = nullptr;
  avbind::TCodecCtxPtr Enc, Dec;
  avbind::TFramePtr Pic;
  TInputStream Ist;
  TOutputStream Ost;
  std::unique_ptr<engine::TVideoPath> Video;
  std::unique_ptr<engine::TAudioPath> Audio;
  std::vector<std::string> &Log = Run.Logged;
};

class OutputPathsTest : public ::testing::Test {
 protected:
  void SetUp() override { qvtest::LoadLibs(); }
};

TEST_F(OutputPathsTest, VideoSyncDropsDuplicatesAndCountsWithMessages)
{
  TRig rig(AVMEDIA_TYPE_VIDEO);
  rig.Run.Job.Verbose = 3;

  EXPECT_GT(rig.VideoAt(0), 0);  // the first picture is an intra frame, written at once
  EXPECT_EQ(rig.Ost.FrameNumber, 1);
  // vdelta = 3.6 - 1 = 2.6: emitted three times.
  rig.VideoAt(3.6);
  EXPECT_EQ(rig.Ost.FrameNumber, 4);
  EXPECT_EQ(rig.Ost.SyncOpts, 4);
  EXPECT_EQ(rig.Ost.Dup, 3);
  ASSERT_FALSE(rig.Log.empty());
  EXPECT_EQ(rig.Log.back(), "*** 2 dup!");
  // vdelta = -1.2: dropped; -1.0: emitted once.
  rig.VideoAt(2.8);
  EXPECT_EQ(rig.Ost.FrameNumber, 4);
  EXPECT_EQ(rig.Ost.Drop, 1);
  EXPECT_EQ(rig.Log.back(), "*** drop!");
  rig.VideoAt(3.0);
  EXPECT_EQ(rig.Ost.FrameNumber, 5);
  EXPECT_EQ(rig.Ost.Dup, 3);

  // The frame limit cuts a run of duplicates short.
  rig.Run.Job.MaxFrames[AVMEDIA_TYPE_VIDEO] = 7;
  rig.VideoAt(10);
  EXPECT_EQ(rig.Ost.FrameNumber, 7);
  EXPECT_EQ(rig.VideoAt(20), 0);
  EXPECT_EQ(rig.Ost.FrameNumber, 7);

  // A stop request ends the emission loop.
  rig.Run.Job.MaxFrames[AVMEDIA_TYPE_VIDEO] = INT32_MAX;
  rig.Run.Stop = true;
  rig.VideoAt(30);
  EXPECT_EQ(rig.Ost.FrameNumber, 7);
}

TEST_F(OutputPathsTest, VideoSyncMethodsAndFineTimeBases)
{
  {
    // Re-basing: every picture once, the clock follows the input.
    TRig rig(AVMEDIA_TYPE_VIDEO);
    rig.Run.Job.VideoSyncMethod = 2;
    rig.VideoAt(0);
    rig.VideoAt(5);
    EXPECT_EQ(rig.Ost.FrameNumber, 2);
    EXPECT_EQ(rig.Ost.SyncOpts, 6);
    EXPECT_EQ(rig.Ost.Dup + rig.Ost.Drop, 0);
  }
  {
    // A millisecond time base turns the default sync off: the clock is the input time.
    TRig rig(AVMEDIA_TYPE_VIDEO, {1, 1000});
    rig.VideoAt(0);
    rig.VideoAt(400);
    rig.VideoAt(401);
    EXPECT_EQ(rig.Ost.FrameNumber, 3);
    EXPECT_EQ(rig.Ost.SyncOpts, 402);
    EXPECT_EQ(rig.Ost.Dup + rig.Ost.Drop, 0);
  }
}

TEST_F(OutputPathsTest, VideoOfAnotherSizeIsRescaledAndBadCropIsRefused)
{
  TRig rig(AVMEDIA_TYPE_VIDEO);
  EXPECT_FALSE(rig.Video->Rescaling());
  // A decoder that changes size mid-stream: the encoder still gets 64x48.
  EXPECT_GT(rig.VideoAt(0, TRig::Picture(128, 96, 90).get()), 0);
  EXPECT_TRUE(rig.Video->Rescaling());
  EXPECT_EQ(rig.Video->ScalerSourceWidth(), 128);

  // Crop bands of the job: the cropped picture is rescaled to the encoder's
  // size; bands larger than the picture are logged and nothing is emitted.
  TRig crop(AVMEDIA_TYPE_VIDEO, {1, 25}, 0, [](TFFmpegSettings &AJob) {
    AJob.FrameTopBand = 8;
    AJob.FrameBottomBand = 8;
  });
  EXPECT_TRUE(crop.Video->Rescaling());
  EXPECT_EQ(crop.Video->ScalerSourceWidth(), 64);
  EXPECT_GT(crop.VideoAt(0), 0);
  EXPECT_EQ(crop.VideoAt(1, TRig::Picture(64, 12, 90).get()), 0);
  EXPECT_EQ(crop.Ost.FrameNumber, 1);
  ASSERT_FALSE(crop.Log.empty());
  EXPECT_EQ(crop.Log.back(), "error cropping picture");
}

TEST_F(OutputPathsTest, AudioSyncPadsCutsAndLimitsThePadding)
{
  {
    // Start 0.5 s late: half a second of silence goes first.
    TRig rig(AVMEDIA_TYPE_AUDIO, {}, 1);
    rig.AudioAt(500000, 1000);
    EXPECT_EQ(rig.Ist.IsStart, 0);
    EXPECT_EQ(rig.Ost.SyncOpts + rig.FifoSamples(), 22050 + 1000);
    EXPECT_EQ(rig.Ost.SyncOpts, 22 * 1024);
  }
  {
    // 1 s late: the padding stops at the block limit and the next block pads again.
    TRig rig(AVMEDIA_TYPE_AUDIO, {}, 1);
    rig.AudioAt(1000000, 1000);
    EXPECT_EQ(rig.Ist.IsStart, 1);
    EXPECT_EQ(rig.Ost.SyncOpts + rig.FifoSamples(), 131072 / 4);
    // A block already beyond the limit passes whole, without silence.
    rig.AudioAt(1000000, 40000);
    EXPECT_EQ(rig.Ost.SyncOpts + rig.FifoSamples(), 131072 / 4 + 40000);
  }
  {
    // Ahead of the input clock: the surplus is cut; a cut beyond the block takes it all.
    TRig rig(AVMEDIA_TYPE_AUDIO, {}, 1);
    rig.Ost.SyncOpts = 5000;
    rig.AudioAt(0, 1000);
    EXPECT_EQ(rig.FifoSamples(), 0);
    EXPECT_EQ(rig.Ist.IsStart, 1);
    rig.Ost.SyncOpts = 500;
    rig.AudioAt(0, 1000);
    EXPECT_EQ(rig.FifoSamples(), 500);
    EXPECT_EQ(rig.Ist.IsStart, 0);
    // A drift of 50 samples or less is left alone.
    rig.AudioAt(std::llrint((500 + 500 + 45) * 1000000.0 / 44100), 1000);
    EXPECT_EQ(rig.Ost.SyncOpts + rig.FifoSamples(), 500 + 1500);  // the whole block kept
  }
}

TEST_F(OutputPathsTest, AudioFifoCutsFramesAndTheFlushEncodesTheRemainder)
{
  TRig rig(AVMEDIA_TYPE_AUDIO);
  EXPECT_EQ(rig.Enc->sample_fmt, AV_SAMPLE_FMT_FLTP);  // the encoder's own format
  rig.AudioAt(0, 1000);
  EXPECT_EQ(rig.Ost.Bytes, 0);  // less than one frame: it waits
  EXPECT_EQ(rig.FifoSamples(), 1000);
  rig.AudioAt(1000 * 1000000LL / 44100, 1500);
  EXPECT_EQ(rig.Ost.SyncOpts, 2048);
  EXPECT_EQ(rig.FifoSamples(), 452);
  rig.Audio->Flush();
  EXPECT_EQ(rig.FifoSamples(), 0);
  EXPECT_EQ(rig.Ost.SyncOpts, 2500);  // the smaller last frame, no padding
  EXPECT_GT(rig.Ost.Bytes, 0);
  EXPECT_EQ(rig.Ost.PacketsWritten, 4);  // three frames and the encoder's priming
  // Mono into a stereo encoder turns resampling on.
  TRig mono(AVMEDIA_TYPE_AUDIO);
  std::vector<int16_t> block(2048, 500);
  mono.Ist.S16Channels = 1;
  mono.Ist.S16SampleRate = 44100;
  mono.Audio->Take(mono.Ist, reinterpret_cast<const uint8_t *>(block.data()), 4096);
  EXPECT_TRUE(mono.Audio->Resampling());
  EXPECT_EQ(mono.Ost.SyncOpts + mono.Audio->HeldSamples(), 2048);
}

TEST_F(OutputPathsTest, DecodedAudioWithoutChannelLayoutBecomes16BitInterleaved)
{
  TInputStream ist;
  const auto frame = [](AVSampleFormat AFormat, int ARate, int ASamples, int AChannels, float AFirst, float ASecond) {
    avbind::TFramePtr f(AVUtilLib.av_frame_alloc());
    f->format = AFormat;
    f->sample_rate = ARate;
    f->nb_samples = ASamples;
    if (AChannels == 2) {
      AVUtilLib.av_channel_layout_default(&f->ch_layout, 2);
    } else {
      f->ch_layout.order = AV_CHANNEL_ORDER_UNSPEC;  // as the Speex decoder leaves it
      f->ch_layout.nb_channels = AChannels;
    }
    AVUtilLib.av_frame_get_buffer(f.get(), 0);
    for (int c = 0; c < AChannels; ++c)  // planar: one value per channel; packed mono: alternating values
      for (int i = 0; i < ASamples; ++i) reinterpret_cast<float *>(f->data[c])[i] = (AChannels == 1 ? i % 2 : c) ? ASecond : AFirst;
    return f;
  };
  const int16_t *out = nullptr;
  ASSERT_EQ(engine::DecodedAudioToS16(ist, *frame(AV_SAMPLE_FMT_FLT, 16000, 320, 1, -0.25f, 0.5f)), 640);
  out = reinterpret_cast<const int16_t *>(ist.Samples.data());
  EXPECT_EQ(ist.S16Channels, 1);
  EXPECT_EQ(ist.S16SampleRate, 16000);
  EXPECT_EQ(out[0], -8192);
  EXPECT_EQ(out[1], 16384);
  // Planar stereo float, as AAC decodes: interleaved on the way out.
  ASSERT_EQ(engine::DecodedAudioToS16(ist, *frame(AV_SAMPLE_FMT_FLTP, 44100, 4, 2, 0.5f, -0.5f)), 16);
  out = reinterpret_cast<const int16_t *>(ist.Samples.data());
  EXPECT_EQ(out[0], 16384);
  EXPECT_EQ(out[1], -16384);
  EXPECT_EQ(out[2], 16384);
  EXPECT_EQ(ist.S16Channels, 2);
}

TEST_F(OutputPathsTest, FallingDecodingTimestampsAreMendedAndToldInVerboseMode)
{
  qvtest::TScratchDir dir;
  const std::string file = dir.File("crc.txt");
  AVFormatContext *oc = nullptr;
  ASSERT_GE(AVFormatLib.avformat_alloc_output_context2(&oc, nullptr, "framecrc", file.c_str()), 0);
  TOutputStream ost;
  ost.Stream = AVFormatLib.avformat_new_stream(oc, nullptr);
  ost.Stream->codecpar->codec_type = AVMEDIA_TYPE_VIDEO;
  ost.Stream->codecpar->codec_id = AV_CODEC_ID_MPEG4;
  ost.Stream->codecpar->width = 64;
  ost.Stream->codecpar->height = 48;
  ost.Stream->time_base = {1, 25};
  ASSERT_GE(AVFormatLib.avio_open2(&oc->pb, file.c_str(), AVIO_FLAG_WRITE, nullptr, nullptr), 0);
  ASSERT_GE(AVFormatLib.avformat_write_header(oc, nullptr), 0);
  std::vector<std::string> log;
  int verbose = 1;
  // The decoding timestamp the packet went out with.
  const auto write = [&](int64_t ADts) {
    avbind::TPacketPtr pkt(AVCodecLib.av_packet_alloc());
    AVCodecLib.av_new_packet(pkt.get(), 16);
    pkt->pts = pkt->dts = ADts;
    engine::MuxPacket(oc, pkt.get(), ost, verbose, [&](const std::string &AMsg) { log.push_back(AMsg); });
    return ost.LastMuxDts;
  };
  EXPECT_EQ(write(10), 10);
  EXPECT_EQ(write(7), 11);  // mended quietly
  EXPECT_TRUE(log.empty());
  verbose = 3;
  EXPECT_EQ(write(11), 12);
  ASSERT_EQ(log.size(), 1u);
  EXPECT_EQ(log.back(), "Decoding timestamp 11 of output stream #0.0 is not above the last one (11); using 12");
  EXPECT_EQ(write(20), 20);  // rising: nothing to tell
  EXPECT_EQ(log.size(), 1u);
  EXPECT_GE(AVFormatLib.av_write_trailer(oc), 0);
  AVFormatLib.avio_closep(&oc->pb);
  AVFormatLib.avformat_free_context(oc);
}

// A DVB subtitle shown for two seconds: one packet draws it, the second
// clears the page. (The 5.1 encoder takes only subtitles that start at 0.)
TEST_F(OutputPathsTest, DvbSubtitleIsDrawnByTheFirstPacketAndClearedByTheSecond)
{
  qvtest::TScratchDir dir;
  const std::string file = dir.File("sub.ts");
  TFakeRun run;
  AVFormatContext *oc = nullptr, *ic = AVFormatLib.avformat_alloc_context();
  ASSERT_GE(AVFormatLib.avformat_alloc_output_context2(&oc, nullptr, "mpegts", file.c_str()), 0);
  avbind::TCodecCtxPtr enc(AVCodecLib.avcodec_alloc_context3(AVCodecLib.avcodec_find_encoder_by_name("dvbsub")));
  enc->time_base = {1, 90000};
  enc->width = 720;
  enc->height = 576;
  ASSERT_GE(AVCodecLib.avcodec_open2(enc.get(), enc->codec, nullptr), 0);
  TOutputStream ost;
  TInputStream ist;
  ost.Enc = enc.get();
  ost.Stream = AVFormatLib.avformat_new_stream(oc, nullptr);
  AVCodecLib.avcodec_parameters_from_context(ost.Stream->codecpar, enc.get());
  ost.Stream->time_base = {1, 90000};
  ist.Stream = AVFormatLib.avformat_new_stream(ic, nullptr);
  ist.Stream->time_base = {1, 1000};
  ASSERT_GE(AVFormatLib.avio_open2(&oc->pb, file.c_str(), AVIO_FLAG_WRITE, nullptr, nullptr), 0);
  ASSERT_GE(AVFormatLib.avformat_write_header(oc, nullptr), 0);

  // One 16x8 four-colour bitmap.
  AVSubtitle sub{};
  sub.start_display_time = 0;
  sub.end_display_time = 2000;
  sub.num_rects = 1;
  sub.rects = static_cast<AVSubtitleRect **>(AVUtilLib.av_mallocz(sizeof(AVSubtitleRect *)));
  AVSubtitleRect *rect = sub.rects[0] = static_cast<AVSubtitleRect *>(AVUtilLib.av_mallocz(sizeof(AVSubtitleRect)));
  rect->type = SUBTITLE_BITMAP;
  rect->x = 40;
  rect->y = 500;
  rect->w = 16;
  rect->h = 8;
  rect->nb_colors = 4;
  rect->linesize[0] = 16;
  rect->data[0] = static_cast<uint8_t *>(AVUtilLib.av_mallocz(16 * 8));
  for (int i = 0; i < 16 * 8; ++i) rect->data[0][i] = static_cast<uint8_t>(i % 4);
  rect->data[1] = static_cast<uint8_t *>(AVUtilLib.av_mallocz(4 * 4));
  const uint32_t palette[4] = {0x00000000, 0xFFFFFFFF, 0xFF000000, 0xFFFF0000};
  std::memcpy(rect->data[1], palette, sizeof palette);

  engine::TSubtitlePath path(run, oc, ost);
  path.Setup(ist);
  path.Take(ist, sub, 2000);  // 2 s in the input's millisecond time base
  EXPECT_EQ(sub.num_rects, 1u);                    // the caller's subtitle is left as it was
  AVCodecLib.avsubtitle_free(&sub);
  ASSERT_GE(AVFormatLib.av_write_trailer(oc), 0);
  AVFormatLib.avio_closep(&oc->pb);
  AVFormatLib.avformat_free_context(oc);
  AVFormatLib.avformat_free_context(ic);

  // Read the packets back and decode each.
  AVFormatContext *raw = nullptr;
  ASSERT_GE(AVFormatLib.avformat_open_input(&raw, file.c_str(), AVFormatLib.av_find_input_format("mpegts"), nullptr), 0);
  avbind::TInputCtxPtr in(raw);
  ASSERT_GE(AVFormatLib.avformat_find_stream_info(in.get(), nullptr), 0);
  avbind::TCodecCtxPtr dec(AVCodecLib.avcodec_alloc_context3(AVCodecLib.avcodec_find_decoder(AV_CODEC_ID_DVB_SUBTITLE)));
  AVCodecLib.avcodec_parameters_to_context(dec.get(), in->streams[0]->codecpar);
  ASSERT_GE(AVCodecLib.avcodec_open2(dec.get(), dec->codec, nullptr), 0);
  avbind::TPacketPtr pkt(AVCodecLib.av_packet_alloc());
  std::vector<int64_t> pts;
  std::vector<unsigned> rects;
  while (AVFormatLib.av_read_frame(in.get(), pkt.get()) >= 0) {
    pts.push_back(pkt->pts);
    AVSubtitle got{};
    int gotSub = 0;
    AVCodecLib.avcodec_decode_subtitle2(dec.get(), &got, &gotSub, pkt.get());
    rects.push_back(gotSub ? got.num_rects : 99);
    if (gotSub) AVCodecLib.avsubtitle_free(&got);
    AVCodecLib.av_packet_unref(pkt.get());
  }
  ASSERT_EQ(pts.size(), 2u);
  EXPECT_EQ(pts[1] - pts[0], 180000);  // cleared two seconds later (90 kHz)
  EXPECT_EQ(rects, (std::vector<unsigned>{1, 0}));
}

TEST_F(OutputPathsTest, HookRangesDecideWhichPicturesTheHooksSee)
{
  TTestEngine engine;
  engine.UsingVhook = true;
  engine.HookRanges = {{0, 100}, {200, 300}};
  engine.HookRangeCount = 2;
  engine::TPicturePrep prep(engine.HookLinks());
  const struct {
    int64_t Pts;
    THookAction Action;
    int32_t RangeIndex;
    bool Using;
  } steps[] = {{50, haContinue, 0, true}, {150, haIgnore, 0, true}, {250, haContinue, 1, true},
               {400, haStop, 1, false}, {60, haStop, 1, false}};
  for (const auto &step : steps) {
    auto pic = TRig::Picture(16, 8, 7);
    const uint8_t *decoded = pic->data[0];
    prep.Process(step.Pts, *pic);
    SCOPED_TRACE(step.Pts);
    EXPECT_EQ(engine.HookAction, step.Action);
    EXPECT_EQ(engine.HookRangeIndex, step.RangeIndex);
    EXPECT_EQ(engine.UsingVhook, step.Using);
    // Hooked pictures are worked on in a copy; the others pass untouched.
    EXPECT_EQ(pic->data[0] != decoded, step.Action == haContinue);
  }
  EXPECT_EQ(prep.FrameNumber(), 5);
}

TEST_F(OutputPathsTest, CustomHookPaintsThroughTheBitmapUntilItAsksToStop)
{
  TTestEngine engine;
  std::vector<int> frames;
  engine.OnCustomHook = [&](TCustomFFmpeg *ASender, THookBitmap *ABitmap, int AFrame, int64_t, bool &AUpdate, bool &AStop) {
    frames.push_back(AFrame);
    EXPECT_EQ(ASender, &engine);
    EXPECT_EQ(ABitmap->Width(), 16);
    for (int y = 0; y < ABitmap->Height(); ++y) std::memset(ABitmap->ScanLine(y), 255, 16 * 3);  // white
    AUpdate = AFrame == 1;
    AStop = AFrame == 2;
  };
  engine::TPicturePrep prep(engine.HookLinks());
  EXPECT_EQ(prep.RgbPixFmt(), AV_PIX_FMT_BGR24);
  const int expectedLuma[] = {235, 16, 16};  // painted, kept (no update), untouched (stopped)
  for (int i = 0; i < 3; ++i) {
    auto pic = TRig::Picture(16, 8, 16);
    prep.Process(i * 40000, *pic);
    EXPECT_NEAR(pic->data[0][0], expectedLuma[i], 1) << i;
  }
  EXPECT_EQ(frames, (std::vector<int>{1, 2}));
  EXPECT_FALSE(engine.OnCustomHook);
  EXPECT_FALSE(engine.UsingVhook);
  EXPECT_EQ(engine.HookAction, haStop);
}

TEST_F(OutputPathsTest, PictureHelpersOffsetPadAndDeinterlace)
{
  // 8x4 yuv420p picture, tightly packed.
  uint8_t y[32], u[8], v[8];
  std::memset(u, 1, 8);
  std::memset(v, 2, 8);
  for (int r = 0; r < 4; ++r) std::memset(y + r * 8, r % 2 ? 255 : r * 10, 8);
  uint8_t *planes[4] = {y, u, v, nullptr};
  int lines[4] = {8, 4, 4, 0};
  uint8_t *view[4];
  int viewLines[4];
  ASSERT_TRUE(OffsetPicture(AV_PIX_FMT_YUV420P, planes, lines, 2, 4, view, viewLines));
  EXPECT_EQ(view[0], y + 2 * 8 + 4);
  EXPECT_EQ(view[1], u + 1 * 4 + 2);
  ASSERT_TRUE(OffsetPicture(AV_PIX_FMT_BGR24, planes, lines, 1, 2, view, viewLines));
  EXPECT_EQ(view[0], y + 8 + 6);  // packed BGR moves by three bytes a pixel
  EXPECT_FALSE(OffsetPicture(AV_PIX_FMT_MONOWHITE, planes, lines, 1, 2, view, viewLines));
  // Pad a 4x2 source into 8x6, two rows or columns on every side.
  uint8_t dy[48], du[12], dv[12];
  uint8_t *dst[4] = {dy, du, dv, nullptr};
  uint8_t sy[8] = {10, 11, 12, 13, 14, 15, 16, 17}, su[2] = {50, 51}, sv[2] = {60, 61};
  const uint8_t *src[4] = {sy, su, sv, nullptr};
  const int srcLines[4] = {4, 2, 2, 0};
  const int32_t color[3] = {200, 30, 40};
  ASSERT_TRUE(PadPicture(dst, lines, src, srcLines, 8, 6, AV_PIX_FMT_YUV420P, 2, 2, 2, 2, color));
  EXPECT_EQ((std::vector<int>{dy[0], dy[2 * 8 + 1], dy[2 * 8 + 2], dy[3 * 8 + 5], dy[3 * 8 + 6], dy[5 * 8 + 7]}),
            (std::vector<int>{200, 200, 10, 17, 200, 200}));
  EXPECT_EQ((std::vector<int>{du[0], du[1 * 4 + 1], dv[1 * 4 + 2], dv[2 * 4 + 3]}), (std::vector<int>{30, 50, 61, 40}));
  EXPECT_FALSE(PadPicture(dst, lines, src, srcLines, 8, 6, AV_PIX_FMT_BGR24, 2, 2, 2, 2, color));

  // Deinterlace: bottom-field lines become the mean of their neighbours.
  uint8_t oy[32], ou[8], ov[8];
  uint8_t *out[4] = {oy, ou, ov, nullptr};
  const uint8_t *in[4] = {y, u, v, nullptr};
  ASSERT_TRUE(DeinterlacePicture(out, lines, in, lines, AV_PIX_FMT_YUV420P, 8, 4));
  EXPECT_EQ(oy[0], 0);
  EXPECT_EQ(oy[8], 10);   // (0 + 20 + 1) / 2
  EXPECT_EQ(oy[16], 20);
  EXPECT_EQ(oy[24], 20);  // the last line has no line below: the one above is kept
  EXPECT_EQ(ou[4], 1);
  EXPECT_FALSE(DeinterlacePicture(out, lines, in, lines, AV_PIX_FMT_BGR24, 8, 4));
}

}  // namespace
