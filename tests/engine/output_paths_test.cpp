// The audio and video output paths driven directly: video sync (drop,
// duplicate, re-base, limits, stop), audio clock corrections (cut, pad,
// limit), decoded audio without a channel layout, and the picture helpers.
#include <gtest/gtest.h>

#include <cstring>

#include "FFmpeg.h"
#include "PictureOps.h"
#include "TestEnv.h"

namespace {

class TTestEngine : public TCustomFFmpeg {
 public:
  using TCustomFFmpeg::DecodedAudioToS16;
  using TCustomFFmpeg::DoAudioOut;
  using TCustomFFmpeg::DoVideoOut;
  using TCustomFFmpeg::FlushAudio;
  using TCustomFFmpeg::ReleaseOutputStream;
  using TCustomFFmpeg::SetupAudioOutput;
  using TCustomFFmpeg::SetupVideoOutput;
};

// One encoder feeding the "null" muxer, with its input stream record.
class TRig {
 public:
  explicit TRig(AVMediaType AType, AVRational ATimeBase = {1, 25})
  {
    AVFormatLib.avformat_alloc_output_context2(&Oc, nullptr, "null", nullptr);
    Dec.reset(AVCodecLib.avcodec_alloc_context3(nullptr));
    const AVCodec *codec = AVCodecLib.avcodec_find_encoder_by_name(AType == AVMEDIA_TYPE_VIDEO ? "mpeg4" : "aac");
    Enc.reset(AVCodecLib.avcodec_alloc_context3(codec));
    if (AType == AVMEDIA_TYPE_VIDEO) {
      Dec->width = Enc->width = 64;
      Dec->height = Enc->height = 48;
      Dec->pix_fmt = Enc->pix_fmt = AV_PIX_FMT_YUV420P;
      Enc->time_base = ATimeBase;
    } else {
      Dec->sample_rate = Enc->sample_rate = 44100;
      AVUtilLib.av_channel_layout_default(&Dec->ch_layout, 2);
      AVUtilLib.av_channel_layout_default(&Enc->ch_layout, 2);
      Enc->time_base = {1, 44100};
    }
    Ost.Enc = Enc.get();
    Ist.Dec = Dec.get();
    Ost.SyncIst = &Ist;
    Ist.IsStart = 1;
  }
  // Completes the set-up: the engine's part, the encoder, the muxer header.
  void Open(AVMediaType AType)
  {
    if (AType == AVMEDIA_TYPE_VIDEO)
      Engine.SetupVideoOutput(Ost, Ist);
    else
      Engine.SetupAudioOutput(Ost, Ist);
    ASSERT_GE(AVCodecLib.avcodec_open2(Enc.get(), Enc->codec, nullptr), 0);
    Ost.Opened = true;
    Ost.Stream = AVFormatLib.avformat_new_stream(Oc, nullptr);
    AVCodecLib.avcodec_parameters_from_context(Ost.Stream->codecpar, Enc.get());
    Ost.Stream->time_base = Enc->time_base;
    ASSERT_GE(AVFormatLib.avformat_write_header(Oc, nullptr), 0);
  }
  ~TRig()
  {
    Engine.ReleaseOutputStream(Ost);
    AVFormatLib.avformat_free_context(Oc);
  }
  AVFrame *Picture()
  {
    if (!Pic) {
      Pic.reset(AVUtilLib.av_frame_alloc());
      Pic->format = AV_PIX_FMT_YUV420P;
      Pic->width = 64;
      Pic->height = 48;
      AVUtilLib.av_frame_get_buffer(Pic.get(), 0);
      for (int p = 0; p < 3; ++p) std::memset(Pic->data[p], 100, Pic->linesize[p] * (p ? 24 : 48));
    }
    return Pic.get();
  }
  // Sends one picture whose input time lies AFrames encoder ticks in.
  int VideoAt(double AFrames)
  {
    Ist.Pts = std::llrint(AFrames * av_q2d(Enc->time_base) * 1000000.0);
    return Engine.DoVideoOut(Oc, Ost, Ist, *Picture());
  }
  // Sends ASamples of stereo silence-free samples timed at APtsUs.
  void AudioAt(int64_t APtsUs, int ASamples)
  {
    std::vector<int16_t> block(static_cast<size_t>(ASamples) * 2, 1000);
    Ist.Pts = APtsUs;
    Ist.S16Channels = 2;
    Ist.S16SampleRate = 44100;
    Engine.DoAudioOut(Oc, Ost, Ist, reinterpret_cast<const uint8_t *>(block.data()), ASamples * 4);
  }
  int64_t FifoSamples() const { return static_cast<int64_t>(AVUtilLib.av_fifo_can_read(Ost.Fifo)) / 4; }

  TTestEngine Engine;
  AVFormatContext *Oc = nullptr;
  avbind::TCodecCtxPtr Enc, Dec;
  avbind::TFramePtr Pic;
  TInputStream Ist;
  TOutputStream Ost;
  std::vector<std::string> Log;
};

class OutputPathsTest : public ::testing::Test {
 protected:
  void SetUp() override { qvtest::LoadLibs(); }
};

TEST_F(OutputPathsTest, VideoSyncDropsDuplicatesAndCountsWithMessages)
{
  TRig rig(AVMEDIA_TYPE_VIDEO);
  rig.Open(AVMEDIA_TYPE_VIDEO);
  rig.Engine.Verbose = 3;
  rig.Engine.OnLog = [&](TCustomFFmpeg *, int, const std::string &msg) { rig.Log.push_back(msg); };

  EXPECT_GT(rig.VideoAt(0), 0);  // the first picture is an intra frame, written at once
  EXPECT_EQ(rig.Ost.FrameNumber, 1);
  // vdelta = 3.6 - 1 = 2.6: emitted three times.
  rig.VideoAt(3.6);
  EXPECT_EQ(rig.Ost.FrameNumber, 4);
  EXPECT_EQ(rig.Ost.SyncOpts, 4);
  EXPECT_EQ(rig.Engine.FramesDup, 3);
  ASSERT_FALSE(rig.Log.empty());
  EXPECT_EQ(rig.Log.back(), "*** 2 dup!");
  // vdelta = -1.2: dropped; -1.0: emitted once.
  rig.VideoAt(2.8);
  EXPECT_EQ(rig.Ost.FrameNumber, 4);
  EXPECT_EQ(rig.Engine.FramesDrop, 1);
  EXPECT_EQ(rig.Log.back(), "*** drop!");
  rig.VideoAt(3.0);
  EXPECT_EQ(rig.Ost.FrameNumber, 5);
  EXPECT_EQ(rig.Engine.FramesDup, 3);

  // The frame limit cuts a run of duplicates short.
  rig.Engine.MaxFrames[AVMEDIA_TYPE_VIDEO] = 7;
  rig.VideoAt(10);
  EXPECT_EQ(rig.Ost.FrameNumber, 7);
  EXPECT_EQ(rig.VideoAt(20), 0);
  EXPECT_EQ(rig.Ost.FrameNumber, 7);

  // A stop request ends the emission loop.
  rig.Engine.MaxFrames[AVMEDIA_TYPE_VIDEO] = INT32_MAX;
  rig.Engine.StopRequested = true;
  rig.VideoAt(30);
  EXPECT_EQ(rig.Ost.FrameNumber, 7);
}

TEST_F(OutputPathsTest, VideoSyncMethodsAndFineTimeBases)
{
  {
    // Re-basing: every picture once, the clock follows the input.
    TRig rig(AVMEDIA_TYPE_VIDEO);
    rig.Open(AVMEDIA_TYPE_VIDEO);
    rig.Engine.VideoSyncMethod = 2;
    rig.VideoAt(0);
    rig.VideoAt(5);
    EXPECT_EQ(rig.Ost.FrameNumber, 2);
    EXPECT_EQ(rig.Ost.SyncOpts, 6);
    EXPECT_EQ(rig.Engine.FramesDup + rig.Engine.FramesDrop, 0);
  }
  {
    // A millisecond time base turns the default sync off: the clock is the input time.
    TRig rig(AVMEDIA_TYPE_VIDEO, {1, 1000});
    rig.Open(AVMEDIA_TYPE_VIDEO);
    rig.VideoAt(0);
    rig.VideoAt(400);
    rig.VideoAt(401);
    EXPECT_EQ(rig.Ost.FrameNumber, 3);
    EXPECT_EQ(rig.Ost.SyncOpts, 402);
    EXPECT_EQ(rig.Engine.FramesDup + rig.Engine.FramesDrop, 0);
  }
}

TEST_F(OutputPathsTest, VideoOfAnotherSizeIsRescaledAndBadCropIsRefused)
{
  TRig rig(AVMEDIA_TYPE_VIDEO);
  rig.Open(AVMEDIA_TYPE_VIDEO);
  EXPECT_EQ(rig.Ost.VideoResample, 0);
  // A decoder that changes size mid-stream: the encoder still gets 64x48.
  avbind::TFramePtr big(AVUtilLib.av_frame_alloc());
  big->format = AV_PIX_FMT_YUV420P;
  big->width = 128;
  big->height = 96;
  ASSERT_GE(AVUtilLib.av_frame_get_buffer(big.get(), 0), 0);
  for (int p = 0; p < 3; ++p) std::memset(big->data[p], 90, big->linesize[p] * (p ? 48 : 96));
  EXPECT_GT(rig.Engine.DoVideoOut(rig.Oc, rig.Ost, rig.Ist, *big), 0);
  EXPECT_EQ(rig.Ost.VideoResample, 1);
  EXPECT_EQ(rig.Ost.ScaleSrcWidth, 128);

  // Crop bands larger than the picture: logged, nothing emitted.
  rig.Engine.OnLog = [&](TCustomFFmpeg *, int level, const std::string &msg) {
    if (level == 0) rig.Log.push_back(msg);
  };
  rig.Ost.VideoCrop = 1;
  rig.Ost.TopBand = 60;
  rig.Ost.BottomBand = 40;
  rig.Ist.Pts = 1000000 / 25;
  EXPECT_EQ(rig.Engine.DoVideoOut(rig.Oc, rig.Ost, rig.Ist, *rig.Picture()), 0);
  EXPECT_EQ(rig.Ost.FrameNumber, 1);
  ASSERT_EQ(rig.Log.size(), 1u);
  EXPECT_EQ(rig.Log[0], "error cropping picture");
}

TEST_F(OutputPathsTest, AudioSyncPadsCutsAndLimitsThePadding)
{
  {
    // Start 0.5 s late: half a second of silence goes first.
    TRig rig(AVMEDIA_TYPE_AUDIO);
    rig.Engine.AudioSyncMethod = 1;
    rig.Open(AVMEDIA_TYPE_AUDIO);
    rig.AudioAt(500000, 1000);
    EXPECT_EQ(rig.Ist.IsStart, 0);
    EXPECT_EQ(rig.Ost.SyncOpts + rig.FifoSamples(), 22050 + 1000);
    EXPECT_EQ(rig.Ost.SyncOpts, 22 * 1024);
  }
  {
    // 1 s late: the padding stops at the block limit and the next block pads again.
    TRig rig(AVMEDIA_TYPE_AUDIO);
    rig.Engine.AudioSyncMethod = 1;
    rig.Open(AVMEDIA_TYPE_AUDIO);
    rig.AudioAt(1000000, 1000);
    EXPECT_EQ(rig.Ist.IsStart, 1);
    EXPECT_EQ(rig.Ost.SyncOpts + rig.FifoSamples(), 131072 / 4);
    // A block already beyond the limit passes whole, without silence.
    rig.AudioAt(1000000, 40000);
    EXPECT_EQ(rig.Ost.SyncOpts + rig.FifoSamples(), 131072 / 4 + 40000);
  }
  {
    // Ahead of the input clock: the surplus is cut; a cut beyond the block takes it all.
    TRig rig(AVMEDIA_TYPE_AUDIO);
    rig.Engine.AudioSyncMethod = 1;
    rig.Open(AVMEDIA_TYPE_AUDIO);
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
  rig.Open(AVMEDIA_TYPE_AUDIO);
  EXPECT_EQ(rig.Enc->sample_fmt, AV_SAMPLE_FMT_FLTP);  // the encoder's own format
  rig.AudioAt(0, 1000);
  EXPECT_EQ(rig.Engine.AudioSize, 0);  // less than one frame: it waits
  EXPECT_EQ(rig.FifoSamples(), 1000);
  rig.AudioAt(1000 * 1000000LL / 44100, 1500);
  EXPECT_EQ(rig.Ost.SyncOpts, 2048);
  EXPECT_EQ(rig.FifoSamples(), 452);
  rig.Engine.FlushAudio(rig.Oc, rig.Ost);
  EXPECT_EQ(rig.FifoSamples(), 0);
  EXPECT_EQ(rig.Ost.SyncOpts, 2500);  // the smaller last frame, no padding
  EXPECT_GT(rig.Engine.AudioSize, 0);
  EXPECT_EQ(rig.Ost.PacketsWritten, 4);  // three frames and the encoder's priming
  // Mono into a stereo encoder turns resampling on.
  TRig mono(AVMEDIA_TYPE_AUDIO);
  mono.Open(AVMEDIA_TYPE_AUDIO);
  std::vector<int16_t> block(2048, 500);
  mono.Ist.S16Channels = 1;
  mono.Ist.S16SampleRate = 44100;
  mono.Engine.DoAudioOut(mono.Oc, mono.Ost, mono.Ist, reinterpret_cast<const uint8_t *>(block.data()), 4096);
  EXPECT_EQ(mono.Ost.AudioResample, 1);
  EXPECT_EQ(mono.Ost.SyncOpts + mono.FifoSamples() + SwResampleLib.swr_get_delay(mono.Ost.Resample, 44100), 2048);
}

TEST_F(OutputPathsTest, DecodedAudioWithoutChannelLayoutBecomes16BitInterleaved)
{
  TTestEngine engine;
  TInputStream ist;
  avbind::TFramePtr f(AVUtilLib.av_frame_alloc());
  f->format = AV_SAMPLE_FMT_FLT;
  f->sample_rate = 16000;
  f->nb_samples = 320;
  f->ch_layout.order = AV_CHANNEL_ORDER_UNSPEC;  // as the Speex decoder leaves it
  f->ch_layout.nb_channels = 1;
  ASSERT_GE(AVUtilLib.av_frame_get_buffer(f.get(), 0), 0);
  auto *s = reinterpret_cast<float *>(f->data[0]);
  for (int i = 0; i < 320; ++i) s[i] = i % 2 ? 0.5f : -0.25f;
  ASSERT_EQ(engine.DecodedAudioToS16(ist, *f), 640);
  EXPECT_EQ(ist.S16Channels, 1);
  EXPECT_EQ(ist.S16SampleRate, 16000);
  const auto *out = reinterpret_cast<const int16_t *>(engine.SampleBuffer.data());
  EXPECT_EQ(out[0], -8192);
  EXPECT_EQ(out[1], 16384);
  // Planar stereo float, as AAC decodes: interleaved on the way out.
  avbind::TFramePtr g(AVUtilLib.av_frame_alloc());
  g->format = AV_SAMPLE_FMT_FLTP;
  g->sample_rate = 44100;
  g->nb_samples = 4;
  AVUtilLib.av_channel_layout_default(&g->ch_layout, 2);
  ASSERT_GE(AVUtilLib.av_frame_get_buffer(g.get(), 0), 0);
  for (int i = 0; i < 4; ++i) {
    reinterpret_cast<float *>(g->data[0])[i] = 0.5f;
    reinterpret_cast<float *>(g->data[1])[i] = -0.5f;
  }
  ASSERT_EQ(engine.DecodedAudioToS16(ist, *g), 16);
  EXPECT_EQ(out[0], 16384);
  EXPECT_EQ(out[1], -16384);
  EXPECT_EQ(ist.S16Channels, 2);
}

TEST_F(OutputPathsTest, PictureHelpersOffsetPadAndDeinterlace)
{
  // 8x4 yuv420p picture, tightly packed.
  uint8_t y[32], u[8], v[8];
  for (int i = 0; i < 32; ++i) y[i] = static_cast<uint8_t>(i);
  std::memset(u, 1, 8);
  std::memset(v, 2, 8);
  uint8_t *planes[4] = {y, u, v, nullptr};
  int lines[4] = {8, 4, 4, 0};
  uint8_t *view[4];
  int viewLines[4];
  ASSERT_TRUE(OffsetPicture(AV_PIX_FMT_YUV420P, planes, lines, 2, 4, view, viewLines));
  EXPECT_EQ(view[0], y + 2 * 8 + 4);
  EXPECT_EQ(view[1], u + 1 * 4 + 2);
  EXPECT_EQ(view[3], nullptr);
  // Packed BGR moves by three bytes a pixel.
  uint8_t rgb[8 * 3 * 2];
  uint8_t *rgbPlanes[4] = {rgb, nullptr, nullptr, nullptr};
  int rgbLines[4] = {24, 0, 0, 0};
  ASSERT_TRUE(OffsetPicture(AV_PIX_FMT_BGR24, rgbPlanes, rgbLines, 1, 2, view, viewLines));
  EXPECT_EQ(view[0], rgb + 24 + 6);
  EXPECT_FALSE(OffsetPicture(AV_PIX_FMT_MONOWHITE, rgbPlanes, rgbLines, 1, 2, view, viewLines));

  // Pad a 4x2 source into 8x6 with 2 rows on top and bottom and 2 columns left and right.
  uint8_t dy[48], du[12], dv[12];
  uint8_t *dst[4] = {dy, du, dv, nullptr};
  int dstLines[4] = {8, 4, 4, 0};
  uint8_t sy[8] = {10, 11, 12, 13, 14, 15, 16, 17}, su[2] = {50, 51}, sv[2] = {60, 61};
  const uint8_t *src[4] = {sy, su, sv, nullptr};
  int srcLines[4] = {4, 2, 2, 0};
  const int32_t color[3] = {200, 30, 40};
  ASSERT_TRUE(PadPicture(dst, dstLines, src, srcLines, 8, 6, AV_PIX_FMT_YUV420P, 2, 2, 2, 2, color));
  EXPECT_EQ(dy[0], 200);
  EXPECT_EQ(dy[2 * 8 + 1], 200);
  EXPECT_EQ(dy[2 * 8 + 2], 10);
  EXPECT_EQ(dy[3 * 8 + 5], 17);
  EXPECT_EQ(dy[3 * 8 + 6], 200);
  EXPECT_EQ(dy[5 * 8 + 7], 200);
  EXPECT_EQ(du[0], 30);
  EXPECT_EQ(du[1 * 4 + 1], 50);
  EXPECT_EQ(dv[1 * 4 + 2], 61);
  EXPECT_EQ(dv[2 * 4 + 3], 40);
  EXPECT_FALSE(PadPicture(dst, dstLines, src, srcLines, 8, 6, AV_PIX_FMT_BGR24, 2, 2, 2, 2, color));

  // Deinterlace: bottom-field lines become the mean of their neighbours.
  uint8_t iy[32];
  for (int r = 0; r < 4; ++r) std::memset(iy + r * 8, r % 2 ? 255 : r * 10, 8);
  uint8_t oy[32], ou[8], ov[8];
  uint8_t *out[4] = {oy, ou, ov, nullptr};
  const uint8_t *in[4] = {iy, u, v, nullptr};
  ASSERT_TRUE(DeinterlacePicture(out, lines, in, lines, AV_PIX_FMT_YUV420P, 8, 4));
  EXPECT_EQ(oy[0], 0);
  EXPECT_EQ(oy[8], 10);       // (0 + 20 + 1) / 2
  EXPECT_EQ(oy[16], 20);
  EXPECT_EQ(oy[24], 20);      // the last line has no line below: the one above is kept
  EXPECT_EQ(ou[4], 1);
  EXPECT_FALSE(DeinterlacePicture(out, lines, in, lines, AV_PIX_FMT_BGR24, 8, 4));
}

}  // namespace
