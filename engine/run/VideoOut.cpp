// Video paths: pre-processing of each decoded picture (deinterlacing, frame
// hooks, the custom hook's 24-bit bitmap) and video output per re-encoded
// stream (sync: drop, duplicate, re-base; crop, rescale, pad; encoding).
//
// The picture handed to an encoder always lives in a buffer of that output
// stream (PictTmp or EncFrame): the encoder may keep a reference to it, so
// it must not point into the decoder's frames or the shared hook buffer.
#include <algorithm>
#include <cmath>
#include <cstring>

#include "FFmpeg.h"
#include "Streams.h"
#include "FrameHook.h"
#include "MyUtilHlpr.h"
#include "PictureOps.h"
#include "Rational.h"
#include "SysFormat.h"

using avbind::Format;

namespace {

int CeilShift(int AValue, int AShift) { return -((-AValue) >> AShift); }

// 8-bit planar YUV or grey: the formats our own pad fill and deinterlacer handle.
bool IsPlanar8Bit(const AVPixFmtDescriptor *ADesc)
{
  if (!ADesc || (ADesc->flags & (AV_PIX_FMT_FLAG_RGB | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_BITSTREAM |
                                 AV_PIX_FMT_FLAG_HWACCEL | AV_PIX_FMT_FLAG_BE)))
    return false;
  if (ADesc->nb_components != 1 && !(ADesc->flags & AV_PIX_FMT_FLAG_PLANAR)) return false;
  for (int c = 0; c < ADesc->nb_components; ++c)
    if (ADesc->comp[c].depth != 8 || ADesc->comp[c].step != 1) return false;
  return true;
}

int PlaneCount(const AVPixFmtDescriptor *ADesc)
{
  int planes = 0;
  for (int c = 0; c < ADesc->nb_components; ++c) planes = std::max(planes, ADesc->comp[c].plane + 1);
  return planes;
}

}  // namespace

// Pointers of a picture moved down ATop rows and right ALeft columns (in
// luma units), with the line sizes unchanged. False for layouts where a
// pixel has no own byte position (bit-packed, palette).
bool OffsetPicture(int APixFmt, uint8_t *const AData[4], const int ALineSize[4], int ATop, int ALeft,
                   uint8_t *AOut[4], int AOutLineSize[4])
{
  const AVPixFmtDescriptor *desc = AVUtilLib.av_pix_fmt_desc_get(static_cast<AVPixelFormat>(APixFmt));
  if (!desc || ATop < 0 || ALeft < 0) return false;
  if ((ATop || ALeft) && (desc->flags & (AV_PIX_FMT_FLAG_BITSTREAM | AV_PIX_FMT_FLAG_PAL | AV_PIX_FMT_FLAG_HWACCEL)))
    return false;
  int steps[4] = {0, 0, 0, 0};
  for (int c = 0; c < desc->nb_components; ++c)
    steps[desc->comp[c].plane] = std::max(steps[desc->comp[c].plane], desc->comp[c].step);
  for (int p = 0; p < 4; ++p) {
    AOutLineSize[p] = ALineSize[p];
    if (!AData[p]) {
      AOut[p] = nullptr;
      continue;
    }
    const bool chroma = p == 1 || p == 2;
    const int y = chroma ? ATop >> desc->log2_chroma_h : ATop;
    const int x = chroma ? ALeft >> desc->log2_chroma_w : ALeft;
    AOut[p] = AData[p] + static_cast<ptrdiff_t>(y) * ALineSize[p] + static_cast<ptrdiff_t>(x) * steps[p];
  }
  return true;
}

// Fills the bands around a AWidth x AHeight picture with AColor (Y, U, V) and,
// when ASrc is given, copies ASrc into the inner area. False for formats
// other than 8-bit planar YUV or grey.
bool PadPicture(uint8_t *const ADst[4], const int ADstLineSize[4], const uint8_t *const ASrc[4],
                const int ASrcLineSize[4], int AWidth, int AHeight, int APixFmt, int ATop, int ABottom, int ALeft,
                int ARight, const int32_t AColor[3])
{
  const AVPixFmtDescriptor *desc = AVUtilLib.av_pix_fmt_desc_get(static_cast<AVPixelFormat>(APixFmt));
  if (!IsPlanar8Bit(desc) || PlaneCount(desc) > 3) return false;
  for (int p = 0; p < PlaneCount(desc); ++p) {
    const int hs = p ? desc->log2_chroma_w : 0;
    const int vs = p ? desc->log2_chroma_h : 0;
    const int w = CeilShift(AWidth, hs), h = CeilShift(AHeight, vs);
    const int top = std::min(ATop >> vs, h), bottom = std::min(ABottom >> vs, h - top);
    const int left = std::min(ALeft >> hs, w), right = std::min(ARight >> hs, w - left);
    const int innerW = w - left - right;
    const uint8_t color = static_cast<uint8_t>(avbind::Clip(AColor[p], 0, 255));
    for (int y = 0; y < h; ++y) {
      uint8_t *row = ADst[p] + static_cast<ptrdiff_t>(y) * ADstLineSize[p];
      if (y < top || y >= h - bottom) {
        std::memset(row, color, static_cast<size_t>(w));
        continue;
      }
      std::memset(row, color, static_cast<size_t>(left));
      std::memset(row + w - right, color, static_cast<size_t>(right));
      if (ASrc && ASrc[p])
        std::memcpy(row + left, ASrc[p] + static_cast<ptrdiff_t>(y - top) * ASrcLineSize[p],
                    static_cast<size_t>(innerW));
    }
  }
  return true;
}

// Our own deinterlacer: keeps the top field and rebuilds every line of the
// bottom field as the mean of the lines above and below it. A plain vertical
// filter needs no further run-time library and no frame delay.
bool DeinterlacePicture(uint8_t *const ADst[4], const int ADstLineSize[4], const uint8_t *const ASrc[4],
                        const int ASrcLineSize[4], int APixFmt, int AWidth, int AHeight)
{
  const AVPixFmtDescriptor *desc = AVUtilLib.av_pix_fmt_desc_get(static_cast<AVPixelFormat>(APixFmt));
  if (!IsPlanar8Bit(desc)) return false;
  for (int p = 0; p < PlaneCount(desc); ++p) {
    const bool chroma = p == 1 || p == 2;
    const int w = chroma ? CeilShift(AWidth, desc->log2_chroma_w) : AWidth;
    const int h = chroma ? CeilShift(AHeight, desc->log2_chroma_h) : AHeight;
    for (int y = 0; y < h; ++y) {
      uint8_t *out = ADst[p] + static_cast<ptrdiff_t>(y) * ADstLineSize[p];
      const uint8_t *cur = ASrc[p] + static_cast<ptrdiff_t>(y) * ASrcLineSize[p];
      if (y % 2 == 0 || y + 1 >= h) {
        std::memcpy(out, y % 2 == 0 ? cur : cur - ASrcLineSize[p], static_cast<size_t>(w));
        continue;
      }
      const uint8_t *above = cur - ASrcLineSize[p];
      const uint8_t *below = cur + ASrcLineSize[p];
      for (int x = 0; x < w; ++x) out[x] = static_cast<uint8_t>((above[x] + below[x] + 1) >> 1);
    }
  }
  return true;
}

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

void TCustomFFmpeg::SetupVideoOutput(TOutputStream &AOst, TInputStream &AIst)
{
  AVCodecContext *enc = AOst.Enc;
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

  AOst.VideoCrop = (FrameTopBand + FrameBottomBand + FrameLeftBand + FrameRightBand) != 0 ? 1 : 0;
  AOst.VideoPad = (FramePadTop + FramePadBottom + FramePadLeft + FramePadRight) != 0 ? 1 : 0;
  const int srcW = decW - FrameLeftBand - FrameRightBand, srcH = decH - FrameTopBand - FrameBottomBand;
  const int dstW = enc->width - FramePadLeft - FramePadRight, dstH = enc->height - FramePadTop - FramePadBottom;
  AOst.VideoResample = (srcW == dstW && srcH == dstH && enc->pix_fmt == decFmt) ? 0 : 1;
  if (AOst.VideoCrop) {
    AOst.TopBand = FrameTopBand;
    AOst.LeftBand = FrameLeftBand;
    AOst.BottomBand = FrameBottomBand;
    AOst.RightBand = FrameRightBand;
  }
  if (AOst.VideoPad) {
    AOst.PadTop = FramePadTop;
    AOst.PadLeft = FramePadLeft;
    AOst.PadBottom = FramePadBottom;
    AOst.PadRight = FramePadRight;
    if (!AOst.VideoResample) {
      AOst.PictTmp.reset(AllocPicture(enc->pix_fmt, enc->width, enc->height));
      if (!AOst.PictTmp) Fail("avpicture_alloc fail");
    }
  }
  if (AOst.VideoResample) {
    AOst.PictTmp.reset(AllocPicture(enc->pix_fmt, enc->width, enc->height));
    if (!AOst.PictTmp) Fail("Cannot allocate temp picture, check pix fmt");
    int64_t flags = SwsFlags;
    if (FJob.SwsOpts && AVUtilLib.av_opt_get_int(FJob.SwsOpts, "sws_flags", 0, &flags) >= 0) SwsFlags = static_cast<int32_t>(flags);
    // A decoder that has not told its pixel format yet gets its scaler with the first picture.
    if (decFmt != AV_PIX_FMT_NONE) {
      AOst.ImgResampleCtx.reset(SwScaleLib.sws_getContext(srcW, srcH, static_cast<AVPixelFormat>(decFmt), dstW, dstH,
                                                           enc->pix_fmt, SwsFlags, nullptr, nullptr, nullptr));
      if (!AOst.ImgResampleCtx) Fail("Cannot get resampling context");
      AOst.ScaleSrcWidth = srcW;
      AOst.ScaleSrcHeight = srcH;
      AOst.ScaleSrcPixFmt = decFmt;
    }
    AOst.ResampleHeight = srcH;
  }
  AOst.EncFrame.reset(AVUtilLib.av_frame_alloc());
  if (!AOst.EncFrame) Fail("av_mallocz fail");
  AIst.DecodingNeeded = 1;
  AOst.EncodingNeeded = 1;
}

void TCustomFFmpeg::PreProcessVideoFrame(TInputStream &AIst, AVFrame &APicture)
{
  ++HookFrameNumber;
  const int64_t pts = AIst.Pts;
  const int w = APicture.width, h = APicture.height;
  const int pf = APicture.format;

  // Hook decision.
  if (!OnCustomHook && UsingVhook) {
    if (OnBeforeHook) {
      std::string error;
      try {
        OnBeforeHook(this, HookAction, pts);
      } catch (const std::exception &e) {
        error = e.what();
        HookAction = haStop;
      } catch (...) {
        HookAction = haStop;
      }
      if (HookAction == haStop && !error.empty()) Log(0, "Error occurs OnBeforeHook: " + error);
      if (HookAction == haStop) UsingVhook = false;
    } else if (HookRangeCount > 0) {
      HookAction = haIgnore;
      const int count = std::min<int>(HookRangeCount, static_cast<int>(HookRanges.size()));
      for (int i = HookRangeIndex; i < count; ++i) {
        if (HookRanges[i].StartPts <= pts && pts <= HookRanges[i].EndPts) {
          HookRangeIndex = i;
          HookAction = haContinue;
          break;
        }
        if (i == count - 1 && HookRanges[i].EndPts < pts) {
          HookAction = haStop;
          UsingVhook = false;
        }
      }
    }
  }

  if (!(DoDeinterlace || OnCustomHook || (UsingVhook && HookAction == haContinue))) return;
  if (w <= 0 || h <= 0 || pf < 0) return;

  // Working copy: hooks and the deinterlacer never write into the decoder's frames.
  const int size = AVUtilLib.av_image_get_buffer_size(static_cast<AVPixelFormat>(pf), w, h, 1);
  if (size <= 0) {
    Log(0, "hook buf malloc error.");
    return;
  }
  try {
    if (HookBuffer.size() < static_cast<size_t>(size)) HookBuffer.assign(static_cast<size_t>(size), 0);
  } catch (const std::bad_alloc &) {
    HookBuffer.clear();
    Log(0, "hook buf malloc error.");
    return;
  }
  uint8_t *work[4] = {};
  int workLs[4] = {};
  AVUtilLib.av_image_fill_arrays(work, workLs, HookBuffer.data(), static_cast<AVPixelFormat>(pf), w, h, 1);
  bool copied = false;
  if (DoDeinterlace) {
    copied = DeinterlacePicture(work, workLs, APicture.data, APicture.linesize, pf, w, h);
    if (!copied) Log(0, "deinterlace error.");
  }
  if (!copied)
    AVUtilLib.av_image_copy(work, workLs, const_cast<const uint8_t **>(APicture.data), APicture.linesize,
                            static_cast<AVPixelFormat>(pf), w, h);

  if (OnCustomHook) RunCustomHook(work, workLs, pf, w, h, pts);
  if (!OnCustomHook && UsingVhook && HookAction == haContinue)
    RunFrameHooks(work, workLs, static_cast<AVPixelFormat>(pf), w, h, pts);

  for (int p = 0; p < 4; ++p) {
    APicture.data[p] = work[p];
    APicture.linesize[p] = workLs[p];
  }
}

void TCustomFFmpeg::RunCustomHook(uint8_t *AWork[4], int AWorkLs[4], int APixFmt, int AWidth, int AHeight,
                                  int64_t APts)
{
  // A picture of another size gets a bitmap of its own size: the row copies rely on it.
  if (!HookBitmap || HookBitmap->Width() != AWidth || HookBitmap->Height() != AHeight)
    HookBitmap = std::make_unique<THookBitmap>(AWidth, AHeight);

  bool failed = false;
  uint8_t *rgb[4] = {};
  int rgbLs[4] = {};
  const auto rgbFmt = static_cast<AVPixelFormat>(HookRgbPixFmt);
  if (HookRgbPixFmt == APixFmt) {
    for (int p = 0; p < 4; ++p) {
      rgb[p] = AWork[p];
      rgbLs[p] = AWorkLs[p];
    }
  } else {
    const int size = AVUtilLib.av_image_get_buffer_size(rgbFmt, AWidth, AHeight, 1);
    if (size > 0 && RgbBuffer.size() < static_cast<size_t>(size)) RgbBuffer.assign(static_cast<size_t>(size), 0);
    ToRgbContext.reset(size > 0 ? SwScaleLib.sws_getCachedContext(ToRgbContext.release(), AWidth, AHeight,
                                                                   static_cast<AVPixelFormat>(APixFmt), AWidth, AHeight,
                                                                   rgbFmt, SWS_BICUBIC, nullptr, nullptr, nullptr)
                                : nullptr);
    if (!ToRgbContext) {
      Log(0, "Cannot initialize the toRGB conversion context");
      failed = true;
    } else {
      AVUtilLib.av_image_fill_arrays(rgb, rgbLs, RgbBuffer.data(), rgbFmt, AWidth, AHeight, 1);
      SwScaleLib.sws_scale(ToRgbContext.get(), AWork, AWorkLs, 0, AHeight, rgb, rgbLs);
    }
  }

  bool stop = false;
  if (!failed) {
    THookBitmap &bmp = *HookBitmap;
    const size_t rowBytes = static_cast<size_t>(std::min(rgbLs[0], bmp.Stride()));
    for (int y = 0; y < AHeight; ++y)
      std::memcpy(bmp.ScanLine(y), rgb[0] + static_cast<ptrdiff_t>(y) * rgbLs[0], rowBytes);

    bool update = true;
    std::string error;
    {
      std::lock_guard<std::mutex> canvas(bmp.Canvas());
      try {
        OnCustomHook(this, &bmp, HookFrameNumber, APts, update, stop);
      } catch (const std::exception &e) {
        error = e.what();
        update = false;
      } catch (...) {
        error = "unknown exception";
        update = false;
      }
    }
    if (!error.empty()) Log(0, "Error occurs OnCustomHook: " + error);

    if (update) {
      for (int y = 0; y < AHeight; ++y)
        std::memcpy(rgb[0] + static_cast<ptrdiff_t>(y) * rgbLs[0], bmp.ScanLine(y), rowBytes);
      if (HookRgbPixFmt != APixFmt) {
        FromRgbContext.reset(SwScaleLib.sws_getCachedContext(FromRgbContext.release(), AWidth, AHeight, rgbFmt, AWidth,
                                                             AHeight, static_cast<AVPixelFormat>(APixFmt), SWS_BICUBIC,
                                                             nullptr, nullptr, nullptr));
        if (!FromRgbContext) {
          Log(0, "Cannot initialize the fromRGB conversion context");
          failed = true;
        } else {
          SwScaleLib.sws_scale(FromRgbContext.get(), rgb, rgbLs, 0, AHeight, AWork, AWorkLs);
        }
      }
    }
  }
  if (stop || failed) {
    OnCustomHook = nullptr;
    HookAction = haStop;
    UsingVhook = false;
  }
}

double TCustomFFmpeg::SyncInputTime(const TOutputStream &AOst, int64_t AStartTime) const
{
  return static_cast<double>(AOst.SyncIst->Pts - AStartTime) / 1000000.0;
}

bool TCustomFFmpeg::VideoSyncApplies(const TOutputStream &AOst) const
{
  const double tb = avbind::Q2D(AOst.Enc->time_base);
  return VideoSyncMethod > 0 || (VideoSyncMethod != 0 && tb > 0.001);
}

int64_t TCustomFFmpeg::VideoSyncCount(TOutputStream &AOst, double ATb)
{
  int64_t nbFrames = 1;
  const double inputTime = SyncInputTime(AOst, StartTime);

  // After the first picture SyncOpts is the tick after the last one
  // emitted; a re-based tick below it would repeat or reverse a timestamp,
  // which the encoder refuses, so such a picture is dropped instead.
  const int64_t nextFree = AOst.FrameNumber > 0 ? AOst.SyncOpts : INT64_MIN;
  if (VideoSyncApplies(AOst)) {
    const double vdelta = inputTime / ATb - static_cast<double>(AOst.SyncOpts);
    if (vdelta < -1.1)
      nbFrames = 0;
    else if (VideoSyncMethod == 2)
      AOst.SyncOpts = std::llrint(inputTime / ATb);
    else if (vdelta > 1.1)
      nbFrames = std::llrint(vdelta);
  } else {
    AOst.SyncOpts = std::llrint(inputTime / ATb);
  }
  if (nbFrames > 0 && AOst.SyncOpts < nextFree) {
    AOst.SyncOpts = nextFree;
    nbFrames = 0;
  }
  if (nbFrames == 0) {
    ++AOst.Drop;
    if (Verbose > 2 && OnLog) Log(1, "*** drop!");
    return 0;
  }
  if (nbFrames > 1) {
    AOst.Dup += static_cast<int32_t>(std::min<int64_t>(nbFrames, INT32_MAX));
    if (Verbose > 2 && OnLog) Log(1, Format("*** %d dup!", {nbFrames - 1}));
  }
  return std::min<int64_t>(nbFrames, static_cast<int64_t>(MaxFrames[AVMEDIA_TYPE_VIDEO]) - AOst.FrameNumber);
}

int TCustomFFmpeg::DoVideoOut(AVFormatContext *AOut, TOutputStream &AOst, TInputStream &AIst, AVFrame &APicture)
{
  (void)AIst;
  AVCodecContext *enc = AOst.Enc;
  const double tb = avbind::Q2D(enc->time_base);
  if (!(tb > 0)) return 0;
  const int64_t nbFrames = VideoSyncCount(AOst, tb);
  if (nbFrames <= 0) return 0;

  // Crop.
  const int pf = APicture.format;
  int srcW = APicture.width, srcH = APicture.height;
  uint8_t *src[4] = {};
  int srcLs[4] = {};
  if (AOst.VideoCrop) {
    srcW -= AOst.LeftBand + AOst.RightBand;
    srcH -= AOst.TopBand + AOst.BottomBand;
    if (srcW <= 0 || srcH <= 0 ||
        !OffsetPicture(pf, APicture.data, APicture.linesize, AOst.TopBand, AOst.LeftBand, src, srcLs)) {
      Log(0, "error cropping picture");
      return 0;
    }
  } else {
    for (int p = 0; p < 4; ++p) {
      src[p] = APicture.data[p];
      srcLs[p] = APicture.linesize[p];
    }
  }
  if (srcW <= 0 || srcH <= 0 || pf < 0) return 0;

  // A picture other than the set-up expected (size change, pixel format) is rescaled.
  const int dstW = enc->width - AOst.PadLeft - AOst.PadRight;
  const int dstH = enc->height - AOst.PadTop - AOst.PadBottom;
  if (!AOst.VideoResample && (srcW != dstW || srcH != dstH || pf != enc->pix_fmt)) AOst.VideoResample = 1;
  if (AOst.VideoResample) {
    if (!AOst.PictTmp) AOst.PictTmp.reset(AllocPicture(enc->pix_fmt, enc->width, enc->height));
    if (!AOst.PictTmp) {
      Log(0, "Cannot allocate temp picture, check pix fmt");
      return 0;
    }
    if (!AOst.ImgResampleCtx || AOst.ScaleSrcWidth != srcW || AOst.ScaleSrcHeight != srcH ||
        AOst.ScaleSrcPixFmt != pf) {
      // The cached call frees the context it replaces, or fails having freed it.
      AOst.ImgResampleCtx.reset(
          SwScaleLib.sws_getCachedContext(AOst.ImgResampleCtx.release(), srcW, srcH, static_cast<AVPixelFormat>(pf),
                                          dstW, dstH, enc->pix_fmt, SwsFlags, nullptr, nullptr, nullptr));
      if (!AOst.ImgResampleCtx) {
        Log(0, "Cannot get resampling context");
        return 0;
      }
      AOst.ScaleSrcWidth = srcW;
      AOst.ScaleSrcHeight = srcH;
      AOst.ScaleSrcPixFmt = pf;
      AOst.ResampleHeight = srcH;
    }
  }

  // Targets, rescale and pad.
  AVFrame *final = nullptr;
  if (AOst.VideoPad || AOst.VideoResample) {
    final = AOst.PictTmp.get();
    // The encoder may still hold the previous picture: write into a buffer of our own.
    if (AVUtilLib.av_frame_make_writable(final) < 0) {
      Log(0, "Cannot allocate temp picture, check pix fmt");
      return 0;
    }
    uint8_t *target[4] = {};
    int targetLs[4] = {};
    if (!OffsetPicture(final->format, final->data, final->linesize, AOst.VideoPad ? AOst.PadTop : 0,
                       AOst.VideoPad ? AOst.PadLeft : 0, target, targetLs)) {
      Log(0, "error padding picture");
      return 0;
    }
    if (AOst.VideoResample)
      SwScaleLib.sws_scale(AOst.ImgResampleCtx.get(), src, srcLs, 0, AOst.ResampleHeight, target, targetLs);
    if (AOst.VideoPad &&
        !PadPicture(final->data, final->linesize, AOst.VideoResample ? nullptr : src, srcLs, enc->width,
                    enc->height, final->format, AOst.PadTop, AOst.PadBottom, AOst.PadLeft, AOst.PadRight, PadColor)) {
      Log(0, "error padding picture");
      return 0;
    }
  } else {
    final = AOst.EncFrame.get();
    if (final->format != enc->pix_fmt || final->width != enc->width || final->height != enc->height ||
        !final->buf[0]) {
      AVUtilLib.av_frame_unref(final);
      final->format = enc->pix_fmt;
      final->width = enc->width;
      final->height = enc->height;
      if (AVUtilLib.av_frame_get_buffer(final, 0) < 0) {
        Log(0, "Cannot allocate temp picture, check pix fmt");
        return 0;
      }
    }
    if (AVUtilLib.av_frame_make_writable(final) < 0) {
      Log(0, "Cannot allocate temp picture, check pix fmt");
      return 0;
    }
    AVUtilLib.av_image_copy(final->data, final->linesize, const_cast<const uint8_t **>(src), srcLs, enc->pix_fmt,
                            enc->width, enc->height);
  }

  // Emit.
  const bool interlacedCoding =
      FJob.CodecOpts[AVMEDIA_TYPE_VIDEO] &&
      (FJob.CodecOpts[AVMEDIA_TYPE_VIDEO]->flags & (AV_CODEC_FLAG_INTERLACED_DCT | AV_CODEC_FLAG_INTERLACED_ME));
  float streamQuality = 0;
  if (AOst.FileIndex >= 0 && AOst.FileIndex < MaxFiles && AOst.Index >= 0 && AOst.Index < MaxStreams)
    streamQuality = FJob.OutputSetups[AOst.FileIndex].Streams[AOst.Index].Quality;
  final->interlaced_frame = APicture.interlaced_frame;
  if (interlacedCoding) final->top_field_first = TopFieldFirst != -1 ? TopFieldFirst : APicture.top_field_first;
  final->quality = static_cast<int>(std::lrint(SameQuality ? static_cast<double>(APicture.quality) : streamQuality));
  // With a motion-estimation threshold the input's picture types are kept
  // (an intra picture stays intra); otherwise the encoder chooses.
  final->pict_type = MeThreshold == 0 ? AV_PICTURE_TYPE_NONE : APicture.pict_type;
  AOst.LastFinal = final;
  const int frameSize = EmitVideoFrames(AOut, AOst, *final, nbFrames);
  // One statistics line per picture, duplicates included in its numbers.
  if (frameSize > 0 && !VstatsFileName.empty()) DoVideoStats(AOut, AOst, frameSize, AOst.CodedPictType, AOst.CodedQuality);
  return frameSize;
}

int TCustomFFmpeg::EmitVideoFrames(AVFormatContext *AOut, TOutputStream &AOst, AVFrame &AFinal, int64_t ACount)
{
  int frameSize = 0;
  for (int64_t i = 0; i < ACount; ++i) {
    if (StopRequested) break;
    AFinal.key_frame = 0;
    AFinal.pts = AOst.SyncOpts;
    const int size = SendVideoFrame(AOut, AOst, &AFinal);
    if (size > 0) frameSize = size;
    ++AOst.SyncOpts;
    ++AOst.FrameNumber;
  }
  return frameSize;
}

void TCustomFFmpeg::FillVideoEnd(AVFormatContext *AOut, TOutputStream &AOst, const TInputStream &AIst)
{
  // The last picture is shown until the source's end (its timestamp plus its
  // duration), not for one output tick only: at low source rates that tick
  // would lose most of its display time.
  if (StopRequested || !AOst.LastFinal || !AOst.Enc || AOst.Flushed || !VideoSyncApplies(AOst) ||
      VideoSyncMethod == 2 || AIst.EndPts == NoPts)
    return;
  const double tb = avbind::Q2D(AOst.Enc->time_base);
  if (!(tb > 0)) return;
  double endTicks = static_cast<double>(AIst.EndPts - StartTime) / 1000000.0 / tb;
  if (RecordingTime != INT64_MAX) endTicks = std::min(endTicks, static_cast<double>(RecordingTime) / 1000000.0 / tb);
  int64_t count = std::llrint(endTicks - static_cast<double>(AOst.SyncOpts));
  count = std::min<int64_t>(count, static_cast<int64_t>(MaxFrames[AVMEDIA_TYPE_VIDEO]) - AOst.FrameNumber);
  if (count <= 0) return;
  AOst.Dup += static_cast<int32_t>(std::min<int64_t>(count, INT32_MAX));
  EmitVideoFrames(AOut, AOst, *AOst.LastFinal, count);
}

int TCustomFFmpeg::SendVideoFrame(AVFormatContext *AOut, TOutputStream &AOst, const AVFrame *AFrame)
{
  AVCodecContext *enc = AOst.Enc;
  int ret = AVCodecLib.avcodec_send_frame(enc, AFrame);
  if (ret == AVERROR_EOF) return 0;  // already drained
  if (ret < 0) Fail("Video encoding failed");
  avbind::TPacketPtr pkt(AVCodecLib.av_packet_alloc());
  if (!pkt) Fail("av_mallocz fail");
  int last = 0;
  for (;;) {
    ret = AVCodecLib.avcodec_receive_packet(enc, pkt.get());
    if (ret == AVERROR(EAGAIN) || ret == AVERROR_EOF) break;
    if (ret < 0) Fail("Video encoding failed");
    const int size = pkt->size;
    ReadQualityStats(pkt.get(), AOst);
    AOst.Bytes += size;
    if (AOst.LogFile && enc->stats_out) MyUtilLib.my_fprintf(AOst.LogFile.get(), "%s", enc->stats_out);
    // Each picture lasts one tick of a frame-rate time base.
    if (pkt->duration <= 0 && avbind::Q2D(enc->time_base) > 0.001) pkt->duration = 1;
    AVCodecLib.av_packet_rescale_ts(pkt.get(), enc->time_base, AOst.Stream->time_base);
    WriteFrame(AOut, pkt.get(), AOst);
    AVCodecLib.av_packet_unref(pkt.get());
    last = size;
  }
  return last;
}

void TCustomFFmpeg::FlushVideo(AVFormatContext *AOut, TOutputStream &AOst)
{
  if (!AOst.Enc || !AOst.Opened || AOst.Flushed) return;
  AOst.Flushed = true;
  SendVideoFrame(AOut, AOst, nullptr);
}
