// Audio output path: decoded audio to 16-bit interleaved, channel and rate
// conversion, the output audio clock (cut, pad, stretch), the FIFO that cuts
// encoder frames, encoding and the end-of-run drain.
//
// Inside the engine audio is signed 16-bit interleaved; each encoder frame is
// converted to the encoder's own sample format just before it is sent.
// Every buffer used here belongs to this engine, so engines can run side by side.
#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <cstring>

#include "FFmpeg.h"
#include "Streams.h"
#include "MyUtilHlpr.h"
#include "Rational.h"
#include "SysFormat.h"

using avbind::Format;

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

}  // namespace

void TCustomFFmpeg::SetupAudioOutput(TOutputStream &AOst, TInputStream &AIst)
{
  AVCodecContext *enc = AOst.Enc;
  AVCodecContext *dec = AIst.Dec;

  AOst.Fifo.reset(AVUtilLib.av_fifo_alloc2(1024, 1, AV_FIFO_FLAG_AUTO_GROW));
  if (!AOst.Fifo) Fail("av_fifo_init fail");

  const int decRate = dec ? dec->sample_rate : 0;
  AOst.AudioResample = (enc->sample_rate != decRate || AudioSyncMethod > 1) ? 1 : 0;

  // A context given only a channel count (or nothing) gets the usual layout for it.
  if (enc->ch_layout.order != AV_CHANNEL_ORDER_NATIVE || enc->ch_layout.nb_channels <= 0) {
    int channels = enc->ch_layout.nb_channels;
    if (channels <= 0) channels = dec && dec->ch_layout.nb_channels > 0 ? dec->ch_layout.nb_channels : AudioChannels;
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
    Fail(Format("Can not resample %d channels @ %d Hz to %d channels @ %d Hz",
                {channels, enc->sample_rate, channels, enc->sample_rate}));
  AOst.ToEncoderFormat.reset(swr);
  AOst.EncFrame.reset(AVUtilLib.av_frame_alloc());
  if (!AOst.EncFrame) Fail("av_mallocz fail");
  AIst.DecodingNeeded = 1;
  AOst.EncodingNeeded = 1;
}


int TCustomFFmpeg::DecodedAudioToS16(TInputStream &AIst, const AVFrame &AFrame)
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
      Fail(Format("Can not resample %d channels @ %d Hz to %d channels @ %d Hz", {channels, rate, channels, rate}));
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

void TCustomFFmpeg::EncodeAudioFrame(AVFormatContext *AOut, TOutputStream &AOst, const uint8_t *AData, int ASamples)
{
  AVCodecContext *enc = AOst.Enc;
  AVFrame *frame = AOst.EncFrame.get();
  AVUtilLib.av_frame_unref(frame);
  frame->nb_samples = ASamples;
  frame->format = enc->sample_fmt;
  frame->sample_rate = enc->sample_rate;
  AVUtilLib.av_channel_layout_copy(&frame->ch_layout, &enc->ch_layout);
  if (AVUtilLib.av_frame_get_buffer(frame, 0) < 0) Fail("Audio encoding failed");
  const uint8_t *in[1] = {AData};
  if (SwResampleLib.swr_convert(AOst.ToEncoderFormat.get(), frame->extended_data, ASamples, in, ASamples) != ASamples)
    Fail("Audio encoding failed");

  // The sample clock gives the pts; it never goes back, or the muxer would refuse the packet.
  const AVRational tb = AudioTimeBase(enc);
  int64_t pts = AVUtilLib.av_rescale_q(AOst.SyncOpts, AVRational{1, enc->sample_rate}, tb);
  if (pts < AOst.NextEncPts) pts = AOst.NextEncPts;
  frame->pts = pts;
  AOst.NextEncPts = pts + AVUtilLib.av_rescale_q(ASamples, AVRational{1, enc->sample_rate}, tb);
  SendAudioFrame(AOut, AOst, frame);
}

void TCustomFFmpeg::SendAudioFrame(AVFormatContext *AOut, TOutputStream &AOst, const AVFrame *AFrame)
{
  AVCodecContext *enc = AOst.Enc;
  int ret = AVCodecLib.avcodec_send_frame(enc, AFrame);
  if (ret == AVERROR_EOF) return;  // already drained
  if (ret < 0) Fail("Audio encoding failed");
  avbind::TPacketPtr pkt(AVCodecLib.av_packet_alloc());
  if (!pkt) Fail("av_mallocz fail");
  for (;;) {
    ret = AVCodecLib.avcodec_receive_packet(enc, pkt.get());
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) break;
    if (ret < 0) Fail("Audio encoding failed");
    AOst.Bytes += pkt->size;
    pkt->flags |= AV_PKT_FLAG_KEY;
    AVCodecLib.av_packet_rescale_ts(pkt.get(), AudioTimeBase(enc), AOst.Stream->time_base);
    WriteFrame(AOut, pkt.get(), AOst);
    AVCodecLib.av_packet_unref(pkt.get());
  }
}

void TCustomFFmpeg::DoAudioOut(AVFormatContext *AOut, TOutputStream &AOst, TInputStream &AIst, const uint8_t *ABuf,
                               int ASize)
{
  AVCodecContext *enc = AOst.Enc;
  const int encCh = enc->ch_layout.nb_channels;
  const int encRate = enc->sample_rate;
  const int decCh = AIst.S16Channels > 0 ? AIst.S16Channels : (AIst.Dec ? AIst.Dec->ch_layout.nb_channels : 0);
  const int decRate = AIst.S16SampleRate > 0 ? AIst.S16SampleRate : (AIst.Dec ? AIst.Dec->sample_rate : 0);
  if (encCh <= 0 || encRate <= 0 || decCh <= 0 || decRate <= 0 || !AOst.Fifo || ASize <= 0) return;
  // Whole samples only: a torn sample would shift every channel after it.
  ASize -= ASize % (decCh * 2);
  if (ASize <= 0) return;

  // Resampler: also needed when only the channel count differs.
  if (encCh != decCh || encRate != decRate) AOst.AudioResample = 1;
  if (AOst.AudioResample && (!AOst.Resample || AOst.ResampleInChannels != decCh || AOst.ResampleInRate != decRate)) {
    AOst.Resample.reset();
    AVChannelLayout inLayout = DefaultLayout(decCh);
    SwrContext *swr = nullptr;
    const int ret = AVSwrAllocOk(swr, &enc->ch_layout, AV_SAMPLE_FMT_S16, encRate, &inLayout,
                                 AV_SAMPLE_FMT_S16, decRate);
    AVUtilLib.av_channel_layout_uninit(&inLayout);
    AOst.Resample.reset(swr);
    if (ret != 0)
      Fail(Format("Can not resample %d channels @ %d Hz to %d channels @ %d Hz", {decCh, decRate, encCh, encRate}));
    AOst.ResampleInChannels = decCh;
    AOst.ResampleInRate = decRate;
  }

  // Samples already taken in but not yet encoded: those in the FIFO and those
  // the resampler still holds.
  const int64_t resamplerDelay =
      AOst.Resample ? SwResampleLib.swr_get_delay(AOst.Resample.get(), encRate) : 0;
  const int64_t fifoBytes = static_cast<int64_t>(AVUtilLib.av_fifo_can_read(AOst.Fifo.get()));
  const double inputTime = SyncInputTime(AOst, StartTime);

  if (AudioSyncMethod == 0) {
    AOst.SyncOpts = std::llrint(inputTime * encRate) - fifoBytes / (encCh * 2) - resamplerDelay;
  } else {
    const double delta = inputTime * encRate - static_cast<double>(AOst.SyncOpts) -
                         static_cast<double>(fifoBytes) / (2.0 * encCh) - static_cast<double>(resamplerDelay);
    const double idelta = delta * decRate / encRate;
    const double byteDelta = std::trunc(idelta) * 2.0 * decCh;
    if (std::fabs(delta) > 50) {
      if (AIst.IsStart || std::fabs(delta) > encRate * AudioDriftThreshold) {
        if (byteDelta < 0) {
          // Cut: drop the samples that would play too late.
          const int cut = static_cast<int>(std::min<double>(-byteDelta, ASize));
          ASize -= cut;
          ABuf += cut;
          if (Verbose > 2 && OnLog)
            Log(1, Format("discarding %d audio samples", {static_cast<int64_t>(std::trunc(-delta))}));
          if (ASize == 0) return;
          AIst.IsStart = 0;
        } else {
          // Pad: silence in front of the block, never beyond the block limit.
          int pad = static_cast<int>(std::min<double>(byteDelta, 1e9));
          if (static_cast<int64_t>(ASize) + pad <= kMaxPaddedBlock) {
            AIst.IsStart = 0;
          } else {
            // A block already at the limit passes without silence; the next block pads again.
            pad = std::max(0, kMaxPaddedBlock - ASize);
            pad -= pad % (decCh * 2);
          }
          GrowTo(AOst.SilenceBuffer, static_cast<std::size_t>(ASize) + pad);
          std::memset(AOst.SilenceBuffer.data(), 0, static_cast<std::size_t>(pad));
          std::memmove(AOst.SilenceBuffer.data() + pad, ABuf, static_cast<std::size_t>(ASize));
          ABuf = AOst.SilenceBuffer.data();
          ASize += pad;
          if (Verbose > 2 && OnLog)
            Log(1, Format("adding %d audio samples of silence", {static_cast<int64_t>(std::trunc(delta))}));
        }
      } else if (AudioSyncMethod > 1) {
        const int comp = avbind::Clip(static_cast<int>(std::trunc(delta)), -AudioSyncMethod, AudioSyncMethod);
        if (!AOst.Resample) throw EAssertionFailed(Format("Audio resampling is off (FFmpeg, line %d)", {__LINE__}));
        if (Verbose > 2 && OnLog)
          Log(1, Format("compensating audio timestamp drift:%f compensation:%d in:%d", {delta, comp, encRate}));
        SwResampleLib.swr_set_compensation(AOst.Resample.get(), comp, encRate);
      }
    }
  }

  // Conversion to the encoder's channels and rate.
  const uint8_t *data = ABuf;
  int size = ASize;
  if (AOst.AudioResample) {
    const int inSamples = ASize / (decCh * 2);
    const int outMax = SwResampleLib.swr_get_out_samples(AOst.Resample.get(), inSamples);
    if (outMax < 0) return;
    GrowTo(AOst.AudioBuffer, static_cast<std::size_t>(outMax + 1) * encCh * 2);
    uint8_t *out[1] = {AOst.AudioBuffer.data()};
    const uint8_t *in[1] = {ABuf};
    const int got = SwResampleLib.swr_convert(AOst.Resample.get(), out, outMax, in, inSamples);
    if (got < 0) return;
    data = AOst.AudioBuffer.data();
    size = got * encCh * 2;
  }
  if (size <= 0) return;

  const bool variable = enc->codec && (enc->codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE);
  if (enc->frame_size > 1 && !variable) {
    if (AVUtilLib.av_fifo_write(AOst.Fifo.get(), data, static_cast<size_t>(size)) < 0) Fail("av_fifo_init fail");
    const std::size_t frameBytes = static_cast<std::size_t>(enc->frame_size) * 2 * encCh;
    while (AVUtilLib.av_fifo_can_read(AOst.Fifo.get()) >= frameBytes) {
      GrowTo(AOst.AudioBuffer, frameBytes);
      AVUtilLib.av_fifo_read(AOst.Fifo.get(), AOst.AudioBuffer.data(), frameBytes);
      EncodeAudioFrame(AOut, AOst, AOst.AudioBuffer.data(), enc->frame_size);
      AOst.SyncOpts += enc->frame_size;
    }
  } else {
    // Encoders that take any number of samples get the whole block at once.
    const int samples = size / (encCh * 2);
    EncodeAudioFrame(AOut, AOst, data, samples);
    AOst.SyncOpts += samples;
  }
}

void TCustomFFmpeg::FlushAudio(AVFormatContext *AOut, TOutputStream &AOst)
{
  AVCodecContext *enc = AOst.Enc;
  if (!enc || !AOst.Opened || AOst.Flushed || !AOst.EncFrame) return;
  const int encCh = enc->ch_layout.nb_channels;
  if (encCh <= 0) return;
  const bool variable = enc->codec && (enc->codec->capabilities & AV_CODEC_CAP_VARIABLE_FRAME_SIZE);
  const bool framed = enc->frame_size > 1 && !variable;

  // What the resampler still holds belongs to the end of the stream.
  if (AOst.Resample) {
    const int64_t held = SwResampleLib.swr_get_delay(AOst.Resample.get(), enc->sample_rate) + 16;
    GrowTo(AOst.AudioBuffer, static_cast<std::size_t>(held) * encCh * 2);
    uint8_t *out[1] = {AOst.AudioBuffer.data()};
    const int got = SwResampleLib.swr_convert(AOst.Resample.get(), out, static_cast<int>(held), nullptr, 0);
    if (got > 0) {
      if (framed) {
        AVUtilLib.av_fifo_write(AOst.Fifo.get(), AOst.AudioBuffer.data(), static_cast<size_t>(got) * encCh * 2);
      } else {
        EncodeAudioFrame(AOut, AOst, AOst.AudioBuffer.data(), got);
        AOst.SyncOpts += got;
      }
    }
  }

  if (framed && AOst.Fifo.get()) {
    const std::size_t frameBytes = static_cast<std::size_t>(enc->frame_size) * 2 * encCh;
    GrowTo(AOst.AudioBuffer, frameBytes);
    while (AVUtilLib.av_fifo_can_read(AOst.Fifo.get()) >= frameBytes) {
      AVUtilLib.av_fifo_read(AOst.Fifo.get(), AOst.AudioBuffer.data(), frameBytes);
      EncodeAudioFrame(AOut, AOst, AOst.AudioBuffer.data(), enc->frame_size);
      AOst.SyncOpts += enc->frame_size;
    }
    const std::size_t left = AVUtilLib.av_fifo_can_read(AOst.Fifo.get());
    const std::size_t leftSamples = left / (2 * encCh);
    if (leftSamples > 0) {
      AVUtilLib.av_fifo_read(AOst.Fifo.get(), AOst.AudioBuffer.data(), leftSamples * 2 * encCh);
      const bool smallLast = enc->codec && (enc->codec->capabilities & AV_CODEC_CAP_SMALL_LAST_FRAME);
      int samples = static_cast<int>(leftSamples);
      if (!smallLast) {
        // The encoder wants whole frames: complete the last one with silence.
        std::memset(AOst.AudioBuffer.data() + leftSamples * 2 * encCh, 0, frameBytes - leftSamples * 2 * encCh);
        samples = enc->frame_size;
      }
      EncodeAudioFrame(AOut, AOst, AOst.AudioBuffer.data(), samples);
      AOst.SyncOpts += samples;
    }
  }
  AOst.Flushed = true;
  SendAudioFrame(AOut, AOst, nullptr);
}
