// The video path: sync, crop, rescale, pad, encode (see VideoPath.h).
#include "VideoPath.h"

#include <algorithm>
#include <cmath>

#include "FFmpeg.h"
#include "MyUtilHlpr.h"
#include "PictureOps.h"
#include "Rational.h"
#include "Streams.h"
#include "SysFormat.h"

using avbind::Format;

namespace engine {

namespace {

AVFrame *AllocPicture(int APixFmt, int AWidth, int AHeight)
{
  if (APixFmt < 0 || AWidth <= 0 || AHeight <= 0) return nullptr;
  AVFrame *f = AVUtilLib.av_frame_alloc();
  if (!f) return nullptr;
  f->format = APixFmt;
  f->width = AWidth;
  f->height = AHeight;
  if (AVUtilLib.av_frame_get_buffer(f, 0) < 0) AVUtilLib.av_frame_free(&f);
  return f;
}

// Encoder statistics of a packet: quality (lambda), picture type, per-plane errors.
void ReadQualityStats(const AVPacket *APkt, TOutputStream &AOst)
{
  size_t size = 0;
  const uint8_t *sd = AVCodecLib.av_packet_get_side_data(APkt, AV_PKT_DATA_QUALITY_STATS, &size);
  if (!sd || size < 6) return;
  AOst.CodedQuality = static_cast<int32_t>(sd[0] | (sd[1] << 8) | (sd[2] << 16) | (static_cast<uint32_t>(sd[3]) << 24));
  AOst.CodedPictType = sd[4];
  const int count = sd[5];
  for (int i = 0; i < 3; ++i) {
    AOst.CodedError[i] = 0;
    if (i < count && size >= 8 + 8 * static_cast<size_t>(i + 1))
      for (int b = 7; b >= 0; --b) AOst.CodedError[i] = (AOst.CodedError[i] << 8) | sd[8 + 8 * i + b];
  }
}

}  // namespace

bool VideoSyncApplies(const TFFmpegSettings &ASettings, const AVCodecContext &AEnc)
{
  const double tb = avbind::Q2D(AEnc.time_base);
  return ASettings.VideoSyncMethod > 0 || (ASettings.VideoSyncMethod != 0 && tb > 0.001);
}

TVideoPath::TVideoPath(TPathServices &AServices, AVFormatContext *AOut, TOutputStream &AOst,
                       const TVideoPathOptions &AOptions)
    : TOutputPath(AServices, AOut, AOst), FOptions(AOptions)
{
}

void TVideoPath::Setup(TInputStream &AIst)
{
  const TFFmpegSettings &s = Settings();
  AVCodecContext *enc = FEnc;
  AVCodecContext *dec = AIst.Dec;
  const int decW = dec ? dec->width : 0, decH = dec ? dec->height : 0;
  const int decFmt = dec ? dec->pix_fmt : AV_PIX_FMT_NONE;

  if (enc->pix_fmt == AV_PIX_FMT_NONE) {
    const AVCodec *codec = enc->codec ? enc->codec : AVCodecLib.avcodec_find_encoder(enc->codec_id);
    enc->pix_fmt = codec && codec->pix_fmts ? codec->pix_fmts[0] : static_cast<AVPixelFormat>(decFmt);
    if (codec && codec->pix_fmts)
      for (const AVPixelFormat *f = codec->pix_fmts; *f != AV_PIX_FMT_NONE; ++f)
        if (*f == decFmt) enc->pix_fmt = *f;
  }

  FCrop = (s.FrameTopBand + s.FrameBottomBand + s.FrameLeftBand + s.FrameRightBand) != 0 ? 1 : 0;
  FPad = (s.FramePadTop + s.FramePadBottom + s.FramePadLeft + s.FramePadRight) != 0 ? 1 : 0;
  const int srcW = decW - s.FrameLeftBand - s.FrameRightBand, srcH = decH - s.FrameTopBand - s.FrameBottomBand;
  const int dstW = enc->width - s.FramePadLeft - s.FramePadRight, dstH = enc->height - s.FramePadTop - s.FramePadBottom;
  FResample = (srcW == dstW && srcH == dstH && enc->pix_fmt == decFmt) ? 0 : 1;
  if (FCrop) {
    FTopBand = s.FrameTopBand;
    FLeftBand = s.FrameLeftBand;
    FBottomBand = s.FrameBottomBand;
    FRightBand = s.FrameRightBand;
  }
  if (FPad) {
    FPadTop = s.FramePadTop;
    FPadLeft = s.FramePadLeft;
    FPadBottom = s.FramePadBottom;
    FPadRight = s.FramePadRight;
    if (!FResample) {
      FPictTmp.reset(AllocPicture(enc->pix_fmt, enc->width, enc->height));
      if (!FPictTmp) throw FFMpegException("Cannot allocate temp picture, check pix fmt");
    }
  }
  if (FResample) {
    FPictTmp.reset(AllocPicture(enc->pix_fmt, enc->width, enc->height));
    if (!FPictTmp) throw FFMpegException("Cannot allocate temp picture, check pix fmt");
    // A decoder that has not told its pixel format yet gets its scaler with the first picture.
    if (decFmt != AV_PIX_FMT_NONE) {
      FScaler.reset(SwScaleLib.sws_getContext(srcW, srcH, static_cast<AVPixelFormat>(decFmt), dstW, dstH,
                                              enc->pix_fmt, FOptions.SetupScalerFlags, nullptr, nullptr, nullptr));
      if (!FScaler) throw FFMpegException("Cannot get resampling context");
      FScaleSrcWidth = srcW;
      FScaleSrcHeight = srcH;
      FScaleSrcPixFmt = decFmt;
    }
    FResampleHeight = srcH;
  }
  FEncFrame.reset(AVUtilLib.av_frame_alloc());
  if (!FEncFrame) throw FFMpegException("av_mallocz fail");
  AIst.DecodingNeeded = 1;
  FOst.EncodingNeeded = 1;
}

int64_t TVideoPath::SyncCount(double ATb)
{
  const TFFmpegSettings &s = Settings();
  int64_t nbFrames = 1;
  const double inputTime = FServices.SyncInputTime(FOst, s.StartTime);

  // After the first picture SyncOpts is the tick after the last one
  // emitted; a re-based tick below it would repeat or reverse a timestamp,
  // which the encoder refuses, so such a picture is dropped instead.
  const int64_t nextFree = FOst.FrameNumber > 0 ? FOst.SyncOpts : INT64_MIN;
  if (VideoSyncApplies(s, *FEnc)) {
    const double vdelta = inputTime / ATb - static_cast<double>(FOst.SyncOpts);
    if (vdelta < -1.1)
      nbFrames = 0;
    else if (s.VideoSyncMethod == 2)
      FOst.SyncOpts = std::llrint(inputTime / ATb);
    else if (vdelta > 1.1)
      nbFrames = std::llrint(vdelta);
  } else {
    FOst.SyncOpts = std::llrint(inputTime / ATb);
  }
  if (nbFrames > 0 && FOst.SyncOpts < nextFree) {
    FOst.SyncOpts = nextFree;
    nbFrames = 0;
  }
  if (nbFrames == 0) {
    ++FOst.Drop;
    if (s.Verbose > 2) FServices.Log(1, "*** drop!");
    return 0;
  }
  if (nbFrames > 1) {
    FOst.Dup += static_cast<int32_t>(std::min<int64_t>(nbFrames, INT32_MAX));
    if (s.Verbose > 2) FServices.Log(1, Format("*** %d dup!", {nbFrames - 1}));
  }
  return std::min<int64_t>(nbFrames, static_cast<int64_t>(s.MaxFrames[AVMEDIA_TYPE_VIDEO]) - FOst.FrameNumber);
}

bool TVideoPath::Crop(const AVFrame &APicture, uint8_t *ASrc[4], int ASrcLs[4], int &AWidth, int &AHeight)
{
  AWidth = APicture.width;
  AHeight = APicture.height;
  if (!FCrop) {
    for (int p = 0; p < 4; ++p) {
      ASrc[p] = APicture.data[p];
      ASrcLs[p] = APicture.linesize[p];
    }
    return true;
  }
  AWidth -= FLeftBand + FRightBand;
  AHeight -= FTopBand + FBottomBand;
  if (AWidth <= 0 || AHeight <= 0 ||
      !OffsetPicture(APicture.format, APicture.data, APicture.linesize, FTopBand, FLeftBand, ASrc, ASrcLs)) {
    FServices.Log(0, "error cropping picture");
    return false;
  }
  return true;
}

bool TVideoPath::PrepareScaler(int ASrcW, int ASrcH, int APixFmt, int ADstW, int ADstH)
{
  if (!FPictTmp) FPictTmp.reset(AllocPicture(FEnc->pix_fmt, FEnc->width, FEnc->height));
  if (!FPictTmp) {
    FServices.Log(0, "Cannot allocate temp picture, check pix fmt");
    return false;
  }
  if (FScaler && FScaleSrcWidth == ASrcW && FScaleSrcHeight == ASrcH && FScaleSrcPixFmt == APixFmt) return true;
  // The cached call frees the context it replaces, or fails having freed it.
  FScaler.reset(SwScaleLib.sws_getCachedContext(FScaler.release(), ASrcW, ASrcH, static_cast<AVPixelFormat>(APixFmt),
                                                ADstW, ADstH, FEnc->pix_fmt, Settings().SwsFlags, nullptr, nullptr,
                                                nullptr));
  if (!FScaler) {
    FServices.Log(0, "Cannot get resampling context");
    return false;
  }
  FScaleSrcWidth = ASrcW;
  FScaleSrcHeight = ASrcH;
  FScaleSrcPixFmt = APixFmt;
  FResampleHeight = ASrcH;
  return true;
}

AVFrame *TVideoPath::Compose(uint8_t *ASrc[4], int ASrcLs[4])
{
  AVCodecContext *enc = FEnc;
  AVFrame *final = nullptr;
  if (FPad || FResample) {
    final = FPictTmp.get();
    // The encoder may still hold the previous picture: write into a buffer of our own.
    if (AVUtilLib.av_frame_make_writable(final) < 0) {
      FServices.Log(0, "Cannot allocate temp picture, check pix fmt");
      return nullptr;
    }
    uint8_t *target[4] = {};
    int targetLs[4] = {};
    if (!OffsetPicture(final->format, final->data, final->linesize, FPad ? FPadTop : 0, FPad ? FPadLeft : 0, target,
                       targetLs)) {
      FServices.Log(0, "error padding picture");
      return nullptr;
    }
    if (FResample) SwScaleLib.sws_scale(FScaler.get(), ASrc, ASrcLs, 0, FResampleHeight, target, targetLs);
    if (FPad && !PadPicture(final->data, final->linesize, FResample ? nullptr : ASrc, ASrcLs, enc->width, enc->height,
                            final->format, FPadTop, FPadBottom, FPadLeft, FPadRight, Settings().PadColor)) {
      FServices.Log(0, "error padding picture");
      return nullptr;
    }
    return final;
  }
  final = FEncFrame.get();
  if (final->format != enc->pix_fmt || final->width != enc->width || final->height != enc->height ||
      !final->buf[0]) {
    AVUtilLib.av_frame_unref(final);
    final->format = enc->pix_fmt;
    final->width = enc->width;
    final->height = enc->height;
    if (AVUtilLib.av_frame_get_buffer(final, 0) < 0) {
      FServices.Log(0, "Cannot allocate temp picture, check pix fmt");
      return nullptr;
    }
  }
  if (AVUtilLib.av_frame_make_writable(final) < 0) {
    FServices.Log(0, "Cannot allocate temp picture, check pix fmt");
    return nullptr;
  }
  AVUtilLib.av_image_copy(final->data, final->linesize, const_cast<const uint8_t **>(ASrc), ASrcLs, enc->pix_fmt,
                          enc->width, enc->height);
  return final;
}

int TVideoPath::Take(const TInputStream &AIst, const AVFrame &APicture)
{
  (void)AIst;
  const TFFmpegSettings &s = Settings();
  AVCodecContext *enc = FEnc;
  const double tb = avbind::Q2D(enc->time_base);
  if (!(tb > 0)) return 0;
  const int64_t nbFrames = SyncCount(tb);
  if (nbFrames <= 0) return 0;

  const int pf = APicture.format;
  int srcW = 0, srcH = 0;
  uint8_t *src[4] = {};
  int srcLs[4] = {};
  if (!Crop(APicture, src, srcLs, srcW, srcH)) return 0;
  if (srcW <= 0 || srcH <= 0 || pf < 0) return 0;

  // A picture other than the set-up expected (size change, pixel format) is rescaled.
  const int dstW = enc->width - FPadLeft - FPadRight;
  const int dstH = enc->height - FPadTop - FPadBottom;
  if (!FResample && (srcW != dstW || srcH != dstH || pf != enc->pix_fmt)) FResample = 1;
  if (FResample && !PrepareScaler(srcW, srcH, pf, dstW, dstH)) return 0;

  AVFrame *final = Compose(src, srcLs);
  if (!final) return 0;

  final->interlaced_frame = APicture.interlaced_frame;
  if (FOptions.InterlacedCoding)
    final->top_field_first = s.TopFieldFirst != -1 ? s.TopFieldFirst : APicture.top_field_first;
  final->quality =
      static_cast<int>(std::lrint(s.SameQuality ? static_cast<double>(APicture.quality) : FOptions.Quality));
  // With a motion-estimation threshold the input's picture types are kept
  // (an intra picture stays intra); otherwise the encoder chooses.
  final->pict_type = s.MeThreshold == 0 ? AV_PICTURE_TYPE_NONE : APicture.pict_type;
  FLastFinal = final;
  const int frameSize = Emit(*final, nbFrames);
  // One statistics line per picture, duplicates included in its numbers.
  if (frameSize > 0 && !s.VstatsFileName.empty())
    FServices.VideoStats(FOst, frameSize, FOst.CodedPictType, FOst.CodedQuality);
  return frameSize;
}

int TVideoPath::Emit(AVFrame &AFinal, int64_t ACount)
{
  int frameSize = 0;
  for (int64_t i = 0; i < ACount; ++i) {
    if (FServices.StopRequested()) break;
    AFinal.key_frame = 0;
    AFinal.pts = FOst.SyncOpts;
    const int size = Send(&AFinal);
    if (size > 0) frameSize = size;
    ++FOst.SyncOpts;
    ++FOst.FrameNumber;
  }
  return frameSize;
}

void TVideoPath::FillEnd(const TInputStream &AIst)
{
  // The last picture is shown until the source's end (its timestamp plus its
  // duration), not for one output tick only: at low source rates that tick
  // would lose most of its display time.
  const TFFmpegSettings &s = Settings();
  if (FServices.StopRequested() || !FLastFinal || !FEnc || FFlushed || !VideoSyncApplies(s, *FEnc) ||
      s.VideoSyncMethod == 2 || AIst.EndPts == NoPts)
    return;
  const double tb = avbind::Q2D(FEnc->time_base);
  if (!(tb > 0)) return;
  double endTicks = static_cast<double>(AIst.EndPts - s.StartTime) / 1000000.0 / tb;
  if (s.RecordingTime != INT64_MAX)
    endTicks = std::min(endTicks, static_cast<double>(s.RecordingTime) / 1000000.0 / tb);
  int64_t count = std::llrint(endTicks - static_cast<double>(FOst.SyncOpts));
  count = std::min<int64_t>(count, static_cast<int64_t>(s.MaxFrames[AVMEDIA_TYPE_VIDEO]) - FOst.FrameNumber);
  if (count <= 0) return;
  FOst.Dup += static_cast<int32_t>(std::min<int64_t>(count, INT32_MAX));
  Emit(*FLastFinal, count);
}

int TVideoPath::Send(const AVFrame *AFrame)
{
  AVCodecContext *enc = FEnc;
  int ret = AVCodecLib.avcodec_send_frame(enc, AFrame);
  if (ret == AVERROR_EOF) return 0;  // already drained
  if (ret < 0) throw FFMpegException("Video encoding failed");
  avbind::TPacketPtr pkt(AVCodecLib.av_packet_alloc());
  if (!pkt) throw FFMpegException("av_mallocz fail");
  int last = 0;
  for (;;) {
    ret = AVCodecLib.avcodec_receive_packet(enc, pkt.get());
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) break;
    if (ret < 0) throw FFMpegException("Video encoding failed");
    const int size = pkt->size;
    ReadQualityStats(pkt.get(), FOst);
    FOst.Bytes += size;
    if (FLogFile && enc->stats_out) MyUtilLib.my_fprintf(FLogFile.get(), "%s", enc->stats_out);
    // Each picture lasts one tick of a frame-rate time base.
    if (pkt->duration <= 0 && avbind::Q2D(enc->time_base) > 0.001) pkt->duration = 1;
    AVCodecLib.av_packet_rescale_ts(pkt.get(), enc->time_base, FOst.Stream->time_base);
    FServices.WritePacket(FOut, pkt.get(), FOst);
    AVCodecLib.av_packet_unref(pkt.get());
    last = size;
  }
  return last;
}

void TVideoPath::Flush()
{
  if (!FEnc || !FOst.Opened || FFlushed) return;
  FFlushed = true;
  Send(nullptr);
}

}  // namespace engine
