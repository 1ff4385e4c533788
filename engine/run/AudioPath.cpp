// The audio path: conversion, audio clock, FIFO, encoding (see AudioPath.h).
#include "AudioPath.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "FFmpeg.h"
#include "Rational.h"
#include "Streams.h"
#include "SysFormat.h"

using avbind::Format;

namespace engine {

namespace {

constexpr int kMaxPaddedBlock = 131072;  // bytes: a padded block never grows beyond this

AVChannelLayout DefaultLayout(int AChannels)
{
  AVChannelLayout layout{};
  AVUtilLib.av_channel_layout_default(&layout, AChannels);
  return layout;
}

// The encoder clock is counted in samples; packets need the encoder time base.
AVRational AudioTimeBase(const AVCodecContext *AEnc)
{
  if (AEnc->time_base.num > 0 && AEnc->time_base.den > 0) return AEnc->time_base;
  return AVRational{1, AEnc->sample_rate > 0 ? AEnc->sample_rate : 1};
}

void GrowTo(std::vector<uint8_t> &ABuf, std::size_t ASize)
{
  if (ABuf.size() < ASize) ABuf.resize(ASize);
}

// Creates and initialises a converter; 0, or a negative error with ACtx null.
int AVSwrAllocOk(SwrContext *&ACtx, const AVChannelLayout *AOutLayout, AVSampleFormat AOutFmt, int AOutRate,
                 const AVChannelLayout *AInLayout, AVSampleFormat AInFmt, int AInRate)
{
  ACtx = nullptr;
  if (AOutRate <= 0 || AInRate <= 0) return -1;
  int ret = SwResampleLib.swr_alloc_set_opts2(&ACtx, const_cast<AVChannelLayout *>(AOutLayout), AOutFmt, AOutRate,
                                              const_cast<AVChannelLayout *>(AInLayout), AInFmt, AInRate, 0,
                                              nullptr);
  if (ret >= 0) ret = SwResampleLib.swr_init(ACtx);
  if (ret < 0) {
    SwResampleLib.swr_free(&ACtx);
    return ret;
  }
  return 0;
}

[[noreturn]] void FailResample(int AInCh, int AInRate, int AOutCh, int AOutRate)
{
  throw FFMpegException(Format("Can not resample %d channels @ %d Hz to %d channels @ %d Hz",
                               {AInCh, AInRate, AOutCh, AOutRate}));
}

}  // namespace

int DecodedAudioToS16(TInputStream &AIst, const AVFrame &AFrame)
{
  int channels = AFrame.ch_layout.nb_channels;
  if (channels <= 0 && AIst.Dec) channels = AIst.Dec->ch_layout.nb_channels;
  const int rate = AFrame.sample_rate > 0 ? AFrame.sample_rate : (AIst.Dec ? AIst.Dec->sample_rate : 0);
  if (channels <= 0 || rate <= 0 || AFrame.nb_samples <= 0 || AFrame.format < 0) return 0;

  if (!AIst.ToS16 || AIst.ToS16Format != AFrame.format || AIst.ToS16Rate != rate || AIst.ToS16Channels != channels) {
    // Decoders such as Speex leave the layout unset: take the usual one for the count.
    AVChannelLayout layout{};
    if (AFrame.ch_layout.order != AV_CHANNEL_ORDER_UNSPEC && AFrame.ch_layout.nb_channels == channels)
      AVUtilLib.av_channel_layout_copy(&layout, &AFrame.ch_layout);
    else
      AVUtilLib.av_channel_layout_default(&layout, channels);
    SwrContext *swr = nullptr;
    const int ret = AVSwrAllocOk(swr, &layout, AV_SAMPLE_FMT_S16, rate, &layout,
                                 static_cast<AVSampleFormat>(AFrame.format), rate);
    AVUtilLib.av_channel_layout_uninit(&layout);
    AIst.ToS16.reset(swr);
    if (ret != 0) {
      AIst.ToS16Format = -1;
      FailResample(channels, rate, channels, rate);
    }
    AIst.ToS16Format = AFrame.format;
    AIst.ToS16Rate = rate;
    AIst.ToS16Channels = channels;
  }

  const int outMax = SwResampleLib.swr_get_out_samples(AIst.ToS16.get(), AFrame.nb_samples);
  if (outMax <= 0) return 0;
  GrowTo(AIst.Samples, static_cast<std::size_t>(outMax) * channels * 2);
  uint8_t *out[1] = {AIst.Samples.data()};
  const int got = SwResampleLib.swr_convert(AIst.ToS16.get(), out, outMax,
                                            const_cast<const uint8_t **>(AFrame.extended_data), AFrame.nb_samples);
  if (got <= 0) return 0;
  AIst.S16Channels = channels;
  AIst.S16SampleRate = rate;
  return got * channels * 2;
}

TAudioPath::TAudioPath(TPathServices &AServices, AVFormatContext *AOut, TOutputStream &AOst)
    : TOutputPath(AServices, AOut, AOst)
{
}

void TAudioPath::Setup(TInputStream &AIst)
{
  const TFFmpegSettings &s = Settings();
  AVCodecContext *enc = FEnc;
  AVCodecContext *dec = AIst.Dec;

  FFifo.reset(AVUtilLib.av_fifo_alloc2(1024, 1, AV_FIFO_FLAG_AUTO_GROW));
  if (!FFifo) throw FFMpegException("av_fifo_init fail");

  const int decRate = dec ? dec->sample_rate : 0;
  FResample = (enc->sample_rate != decRate || s.AudioSyncMethod > 1) ? 1 : 0;

  // A context given only a channel count (or nothing) gets the usual layout for it.
  if (enc->ch_layout.order != AV_CHANNEL_ORDER_NATIVE || enc->ch_layout.nb_channels <= 0) {
    int channels = enc->ch_layout.nb_channels;
    if (channels <= 0) channels = dec && dec->ch_layout.nb_channels > 0 ? dec->ch_layout.nb_channels : s.AudioChannels;
    AVUtilLib.av_channel_layout_uninit(&enc->ch_layout);
    AVUtilLib.av_channel_layout_default(&enc->ch_layout, channels);
  }
  const AVCodec *codec = enc->codec ? enc->codec : AVCodecLib.avcodec_find_encoder(enc->codec_id);
  if (enc->sample_fmt == AV_SAMPLE_FMT_NONE)
    enc->sample_fmt = codec && codec->sample_fmts ? codec->sample_fmts[0] : AV_SAMPLE_FMT_S16;

  const int channels = enc->ch_layout.nb_channels;
  SwrContext *swr = nullptr;
  if (AVSwrAllocOk(swr, &enc->ch_layout, enc->sample_fmt, enc->sample_rate, &enc->ch_layout, AV_SAMPLE_FMT_S16,
                   enc->sample_rate) != 0)
    FailResample(channels, enc->sample_rate, channels, enc->sample_rate);
  FToEncoderFormat.reset(swr);
  FEncFrame.reset(AVUtilLib.av_frame_alloc());
  if (!FEncFrame) throw FFMpegException("av_mallocz fail");
  AIst.DecodingNeeded = 1;
  FOst.EncodingNeeded = 1;
}

int64_t TAudioPath::FifoSamples() const
{
  const int channels = FEnc->ch_layout.nb_channels;
  if (!FFifo || channels <= 0) return 0;
  return static_cast<int64_t>(AVUtilLib.av_fifo_can_read(FFifo.get())) / (2 * channels);
}

int64_t TAudioPath::HeldSamples() const
{
  return FifoSamples() + (FResampler ? SwResampleLib.swr_get_delay(FResampler.get(), FEnc->sample_rate) : 0);
}

void TAudioPath::EncodeFrame(const uint8_t *AData, int ASamples)
{
  AVCodecContext *enc = FEnc;
  AVFrame *frame = FEncFrame.get();
  AVUtilLib.av_frame_unref(frame);
  frame->nb_samples = ASamples;
  frame->format = enc->sample_fmt;
  frame->sample_rate = enc->sample_rate;
  AVUtilLib.av_channel_layout_copy(&frame->ch_layout, &enc->ch_layout);
  if (AVUtilLib.av_frame_get_buffer(frame, 0) < 0) throw FFMpegException("Audio encoding failed");
  const uint8_t *in[1] = {AData};
  if (SwResampleLib.swr_convert(FToEncoderFormat.get(), frame->extended_data, ASamples, in, ASamples) != ASamples)
    throw FFMpegException("Audio encoding failed");

  // The sample clock gives the pts; it never goes back, or the muxer would refuse the packet.
  const AVRational tb = AudioTimeBase(enc);
  int64_t pts = AVUtilLib.av_rescale_q(FOst.SyncOpts, AVRational{1, enc->sample_rate}, tb);
  if (pts < FNextEncPts) pts = FNextEncPts;
  frame->pts = pts;
  FNextEncPts = pts + AVUtilLib.av_rescale_q(ASamples, AVRational{1, enc->sample_rate}, tb);
  Send(frame);
}

void TAudioPath::Send(const AVFrame *AFrame)
{
  AVCodecContext *enc = FEnc;
  int ret = AVCodecLib.avcodec_send_frame(enc, AFrame);
  if (ret == AVERROR_EOF) return;  // already drained
  if (ret < 0) throw FFMpegException("Audio encoding failed");
  avbind::TPacketPtr pkt(AVCodecLib.av_packet_alloc());
  if (!pkt) throw FFMpegException("av_mallocz fail");
  for (;;) {
    ret = AVCodecLib.avcodec_receive_packet(enc, pkt.get());
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) break;
    if (ret < 0) throw FFMpegException("Audio encoding failed");
    FOst.Bytes += pkt->size;
    pkt->flags |= AV_PKT_FLAG_KEY;
    AVCodecLib.av_packet_rescale_ts(pkt.get(), AudioTimeBase(enc), FOst.Stream->time_base);
    FServices.WritePacket(FOut, pkt.get(), FOst);
    AVCodecLib.av_packet_unref(pkt.get());
  }
}

void TAudioPath::PrepareResampler(int ADecCh, int ADecRate)
{
  if (FResampler && FResampleInChannels == ADecCh && FResampleInRate == ADecRate) return;
  FResampler.reset();
  AVChannelLayout inLayout = DefaultLayout(ADecCh);
  SwrContext *swr = nullptr;
  const int ret =
      AVSwrAllocOk(swr, &FEnc->ch_layout, AV_SAMPLE_FMT_S16, FEnc->sample_rate, &inLayout, AV_SAMPLE_FMT_S16, ADecRate);
  AVUtilLib.av_channel_layout_uninit(&inLayout);
  FResampler.reset(swr);
  if (ret != 0) FailResample(ADecCh, ADecRate, FEnc->ch_layout.nb_channels, FEnc->sample_rate);
  FResampleInChannels = ADecCh;
  FResampleInRate = ADecRate;
}

bool TAudioPath::Correct(TInputStream &AIst, const uint8_t *&ABuf, int &ASize, int ADecCh, int ADecRate)
{
  const TFFmpegSettings &s = Settings();
  const int encCh = FEnc->ch_layout.nb_channels;
  const int encRate = FEnc->sample_rate;
  // Samples already taken in but not yet encoded: those in the FIFO and those
  // the resampler still holds.
  const int64_t resamplerDelay = FResampler ? SwResampleLib.swr_get_delay(FResampler.get(), encRate) : 0;
  const int64_t fifoBytes = static_cast<int64_t>(AVUtilLib.av_fifo_can_read(FFifo.get()));
  const double inputTime = FServices.SyncInputTime(FOst, s.StartTime);

  if (s.AudioSyncMethod == 0) {
    FOst.SyncOpts = std::llrint(inputTime * encRate) - fifoBytes / (encCh * 2) - resamplerDelay;
    return true;
  }
  const double delta = inputTime * encRate - static_cast<double>(FOst.SyncOpts) -
                       static_cast<double>(fifoBytes) / (2.0 * encCh) - static_cast<double>(resamplerDelay);
  const double idelta = delta * ADecRate / encRate;
  const double byteDelta = std::trunc(idelta) * 2.0 * ADecCh;
  if (!(std::fabs(delta) > 50)) return true;
  if (AIst.IsStart || std::fabs(delta) > encRate * s.AudioDriftThreshold) {
    if (byteDelta < 0) {
      // Cut: drop the samples that would play too late.
      const int cut = static_cast<int>(std::min<double>(-byteDelta, ASize));
      ASize -= cut;
      ABuf += cut;
      if (s.Verbose > 2)
        FServices.Log(1, Format("discarding %d audio samples", {static_cast<int64_t>(std::trunc(-delta))}));
      if (ASize == 0) return false;
      AIst.IsStart = 0;
    } else {
      // Pad: silence in front of the block, never beyond the block limit.
      int pad = static_cast<int>(std::min<double>(byteDelta, 1e9));
      if (static_cast<int64_t>(ASize) + pad <= kMaxPaddedBlock) {
        AIst.IsStart = 0;
      } else {
        // A block already at the limit passes without silence; the next block pads again.
        pad = std::max(0, kMaxPaddedBlock - ASize);
        pad -= pad % (ADecCh * 2);
      }
      GrowTo(FSilenceBuffer, static_cast<std::size_t>(ASize) + pad);
      std::memset(FSilenceBuffer.data(), 0, static_cast<std::size_t>(pad));
      std::memmove(FSilenceBuffer.data() + pad, ABuf, static_cast<std::size_t>(ASize));
      ABuf = FSilenceBuffer.data();
      ASize += pad;
      if (s.Verbose > 2)
        FServices.Log(1, Format("adding %d audio samples of silence", {static_cast<int64_t>(std::trunc(delta))}));
    }
  } else if (s.AudioSyncMethod > 1) {
    const int comp = avbind::Clip(static_cast<int>(std::trunc(delta)), -s.AudioSyncMethod, s.AudioSyncMethod);
    if (!FResampler) throw EAssertionFailed(Format("Audio resampling is off (FFmpeg, line %d)", {__LINE__}));
    if (s.Verbose > 2)
      FServices.Log(1, Format("compensating audio timestamp drift:%f compensation:%d in:%d", {delta, comp, encRate}));
    SwResampleLib.swr_set_compensation(FResampler.get(), comp, encRate);
  }
  return true;
}

void TAudioPath::Take(TInputStream &AIst, const uint8_t *ABuf, int ASize)
{
  AVCodecContext *enc = FEnc;
  const int encCh = enc->ch_layout.nb_channels;
  const int encRate = enc->sample_rate;
  const int decCh = AIst.S16Channels > 0 ? AIst.S16Channels : (AIst.Dec ? AIst.Dec->ch_layout.nb_channels : 0);
  const int decRate = AIst.S16SampleRate > 0 ? AIst.S16SampleRate : (AIst.Dec ? AIst.Dec->sample_rate : 0);
  if (encCh <= 0 || encRate <= 0 || decCh <= 0 || decRate <= 0 || !FFifo || ASize <= 0) return;
  // Whole samples only: a torn sample would shift every channel after it.
  ASize -= ASize % (decCh * 2);
  if (ASize <= 0) return;

  // Resampler: also needed when only the channel count differs.
  if (encCh != decCh || encRate != decRate) FResample = 1;
  if (FResample) PrepareResampler(decCh, decRate);
  if (!Correct(AIst, ABuf, ASize, decCh, decRate)) return;

  // Conversion to the encoder's channels and rate.
  const uint8_t *data = ABuf;
  int size = ASize;
  if (FResample) {
    const int inSamples = ASize / (decCh * 2);
    const int outMax = SwResampleLib.swr_get_out_samples(FResampler.get(), inSamples);
    if (outMax < 0) return;
    GrowTo(FAudioBuffer, static_cast<std::size_t>(outMax + 1) * encCh * 2);
    uint8_t *out[1] = {FAudioBuffer.data()};
    const uint8_t *in[1] = {ABuf};
    const int got = SwResampleLib.swr_convert(FResampler.get(), out, outMax, in, inSamples);
    if (got < 0) return;
    data = FAudioBuffer.data();
    size = got * encCh * 2;
  }
  if (size <= 0) return;

  const bool variable = enc->codec && (enc->codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE);
  if (enc->frame_size > 1 && !variable) {
    if (AVUtilLib.av_fifo_write(FFifo.get(), data, static_cast<size_t>(size)) < 0)
      throw FFMpegException("av_fifo_init fail");
    const std::size_t frameBytes = static_cast<std::size_t>(enc->frame_size) * 2 * encCh;
    while (AVUtilLib.av_fifo_can_read(FFifo.get()) >= frameBytes) {
      GrowTo(FAudioBuffer, frameBytes);
      AVUtilLib.av_fifo_read(FFifo.get(), FAudioBuffer.data(), frameBytes);
      EncodeFrame(FAudioBuffer.data(), enc->frame_size);
      FOst.SyncOpts += enc->frame_size;
    }
  } else {
    // Encoders that take any number of samples get the whole block at once.
    const int samples = size / (encCh * 2);
    EncodeFrame(data, samples);
    FOst.SyncOpts += samples;
  }
}

void TAudioPath::Flush()
{
  AVCodecContext *enc = FEnc;
  if (!enc || !FOst.Opened || FFlushed || !FEncFrame) return;
  const int encCh = enc->ch_layout.nb_channels;
  if (encCh <= 0) return;
  const bool variable = enc->codec && (enc->codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE);
  const bool framed = enc->frame_size > 1 && !variable;

  // What the resampler still holds belongs to the end of the stream.
  if (FResampler) {
    const int64_t held = SwResampleLib.swr_get_delay(FResampler.get(), enc->sample_rate) + 16;
    GrowTo(FAudioBuffer, static_cast<std::size_t>(held) * encCh * 2);
    uint8_t *out[1] = {FAudioBuffer.data()};
    const int got = SwResampleLib.swr_convert(FResampler.get(), out, static_cast<int>(held), nullptr, 0);
    if (got > 0) {
      if (framed) {
        AVUtilLib.av_fifo_write(FFifo.get(), FAudioBuffer.data(), static_cast<size_t>(got) * encCh * 2);
      } else {
        EncodeFrame(FAudioBuffer.data(), got);
        FOst.SyncOpts += got;
      }
    }
  }

  if (framed && FFifo.get()) {
    const std::size_t frameBytes = static_cast<std::size_t>(enc->frame_size) * 2 * encCh;
    GrowTo(FAudioBuffer, frameBytes);
    while (AVUtilLib.av_fifo_can_read(FFifo.get()) >= frameBytes) {
      AVUtilLib.av_fifo_read(FFifo.get(), FAudioBuffer.data(), frameBytes);
      EncodeFrame(FAudioBuffer.data(), enc->frame_size);
      FOst.SyncOpts += enc->frame_size;
    }
    const std::size_t left = AVUtilLib.av_fifo_can_read(FFifo.get());
    const std::size_t leftSamples = left / (2 * encCh);
    if (leftSamples > 0) {
      AVUtilLib.av_fifo_read(FFifo.get(), FAudioBuffer.data(), leftSamples * 2 * encCh);
      const bool smallLast = enc->codec && (enc->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME);
      int samples = static_cast<int>(leftSamples);
      if (!smallLast) {
        // The encoder wants whole frames: complete the last one with silence.
        std::memset(FAudioBuffer.data() + leftSamples * 2 * encCh, 0, frameBytes - leftSamples * 2 * encCh);
        samples = enc->frame_size;
      }
      EncodeFrame(FAudioBuffer.data(), samples);
      FOst.SyncOpts += samples;
    }
  }
  FFlushed = true;
  Send(nullptr);
}

}  // namespace engine
