// The pictures' pre-processing: deinterlacing, frame hooks and the custom
// hook's 24-bit bitmap on a working copy of each decoded picture, before the
// video paths (VideoPath.h) take it.
#include <algorithm>
#include <cstring>

#include "FFmpeg.h"
#include "Streams.h"
#include "FrameHook.h"
#include "PictureOps.h"
#include "SysFormat.h"

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
