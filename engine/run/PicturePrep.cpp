// The pictures' pre-processing (see PicturePrep.h).
#include "PicturePrep.h"

#include <algorithm>
#include <cstring>
#include <utility>

#include "PictureOps.h"

namespace engine {

TPicturePrep::TPicturePrep(THookLinks ALinks) : FLinks(std::move(ALinks)) {}

void TPicturePrep::DecideHook(int64_t APts)
{
  const int64_t pts = APts;
  if (!*FLinks.OnCustomHook && *FLinks.UsingVhook) {
    if (*FLinks.OnBeforeHook) {
      std::string error;
      try {
        (*FLinks.OnBeforeHook)(FLinks.Sender, *FLinks.HookAction, pts);
      } catch (const std::exception &e) {
        error = e.what();
        *FLinks.HookAction = haStop;
      } catch (...) {
        *FLinks.HookAction = haStop;
      }
      if (*FLinks.HookAction == haStop && !error.empty()) FLinks.Log(0, "Error occurs OnBeforeHook: " + error);
      if (*FLinks.HookAction == haStop) *FLinks.UsingVhook = false;
    } else if (*FLinks.HookRangeCount > 0) {
      *FLinks.HookAction = haIgnore;
      const std::vector<THookRange> &ranges = *FLinks.HookRanges;
      const int count = std::min<int>(*FLinks.HookRangeCount, static_cast<int>(ranges.size()));
      for (int i = *FLinks.HookRangeIndex; i < count; ++i) {
        if (ranges[i].StartPts <= pts && pts <= ranges[i].EndPts) {
          *FLinks.HookRangeIndex = i;
          *FLinks.HookAction = haContinue;
          break;
        }
        if (i == count - 1 && ranges[i].EndPts < pts) {
          *FLinks.HookAction = haStop;
          *FLinks.UsingVhook = false;
        }
      }
    }
  }

}

void TPicturePrep::Process(int64_t APts, AVFrame &APicture)
{
  ++FFrameNumber;
  const int64_t pts = APts;
  const int w = APicture.width, h = APicture.height;
  const int pf = APicture.format;
  DecideHook(pts);

  if (!(FLinks.Deinterlace || *FLinks.OnCustomHook || (*FLinks.UsingVhook && *FLinks.HookAction == haContinue))) return;
  if (w <= 0 || h <= 0 || pf < 0) return;

  // Working copy: hooks and the deinterlacer never write into the decoder's frames.
  const int size = AVUtilLib.av_image_get_buffer_size(static_cast<AVPixelFormat>(pf), w, h, 1);
  if (size <= 0) {
    FLinks.Log(0, "hook buf malloc error.");
    return;
  }
  try {
    if (FBuffer.size() < static_cast<size_t>(size)) FBuffer.assign(static_cast<size_t>(size), 0);
  } catch (const std::bad_alloc &) {
    FBuffer.clear();
    FLinks.Log(0, "hook buf malloc error.");
    return;
  }
  uint8_t *work[4] = {};
  int workLs[4] = {};
  AVUtilLib.av_image_fill_arrays(work, workLs, FBuffer.data(), static_cast<AVPixelFormat>(pf), w, h, 1);
  bool copied = false;
  if (FLinks.Deinterlace) {
    copied = DeinterlacePicture(work, workLs, APicture.data, APicture.linesize, pf, w, h);
    if (!copied) FLinks.Log(0, "deinterlace error.");
  }
  if (!copied)
    AVUtilLib.av_image_copy(work, workLs, const_cast<const uint8_t **>(APicture.data), APicture.linesize,
                            static_cast<AVPixelFormat>(pf), w, h);

  if (*FLinks.OnCustomHook) RunCustomHook(work, workLs, pf, w, h, pts);
  if (!*FLinks.OnCustomHook && *FLinks.UsingVhook && *FLinks.HookAction == haContinue)
    FLinks.RunFrameHooks(work, workLs, static_cast<AVPixelFormat>(pf), w, h, pts);

  for (int p = 0; p < 4; ++p) {
    APicture.data[p] = work[p];
    APicture.linesize[p] = workLs[p];
  }
}

void TPicturePrep::RunCustomHook(uint8_t *AWork[4], int AWorkLs[4], int APixFmt, int AWidth, int AHeight,
                                 int64_t APts)
{
  // A picture of another size gets a bitmap of its own size: the row copies rely on it.
  if (!FBitmap || FBitmap->Width() != AWidth || FBitmap->Height() != AHeight)
    FBitmap = std::make_unique<THookBitmap>(AWidth, AHeight);

  bool failed = false;
  uint8_t *rgb[4] = {};
  int rgbLs[4] = {};
  const auto rgbFmt = static_cast<AVPixelFormat>(FRgbPixFmt);
  if (FRgbPixFmt == APixFmt) {
    for (int p = 0; p < 4; ++p) {
      rgb[p] = AWork[p];
      rgbLs[p] = AWorkLs[p];
    }
  } else {
    const int size = AVUtilLib.av_image_get_buffer_size(rgbFmt, AWidth, AHeight, 1);
    if (size > 0 && FRgbBuffer.size() < static_cast<size_t>(size)) FRgbBuffer.assign(static_cast<size_t>(size), 0);
    FToRgb.reset(size > 0 ? SwScaleLib.sws_getCachedContext(FToRgb.release(), AWidth, AHeight,
                                                                   static_cast<AVPixelFormat>(APixFmt), AWidth, AHeight,
                                                                   rgbFmt, SWS_BICUBIC, nullptr, nullptr, nullptr)
                                : nullptr);
    if (!FToRgb) {
      FLinks.Log(0, "Cannot initialize the toRGB conversion context");
      failed = true;
    } else {
      AVUtilLib.av_image_fill_arrays(rgb, rgbLs, FRgbBuffer.data(), rgbFmt, AWidth, AHeight, 1);
      SwScaleLib.sws_scale(FToRgb.get(), AWork, AWorkLs, 0, AHeight, rgb, rgbLs);
    }
  }

  bool stop = false;
  if (!failed) {
    THookBitmap &bmp = *FBitmap;
    const size_t rowBytes = static_cast<size_t>(std::min(rgbLs[0], bmp.Stride()));
    for (int y = 0; y < AHeight; ++y)
      std::memcpy(bmp.ScanLine(y), rgb[0] + static_cast<ptrdiff_t>(y) * rgbLs[0], rowBytes);

    bool update = true;
    std::string error;
    {
      std::lock_guard<std::mutex> canvas(bmp.Canvas());
      try {
        (*FLinks.OnCustomHook)(FLinks.Sender, &bmp, FFrameNumber, APts, update, stop);
      } catch (const std::exception &e) {
        error = e.what();
        update = false;
      } catch (...) {
        error = "unknown exception";
        update = false;
      }
    }
    if (!error.empty()) FLinks.Log(0, "Error occurs OnCustomHook: " + error);

    if (update) {
      for (int y = 0; y < AHeight; ++y)
        std::memcpy(rgb[0] + static_cast<ptrdiff_t>(y) * rgbLs[0], bmp.ScanLine(y), rowBytes);
      if (FRgbPixFmt != APixFmt) {
        FFromRgb.reset(SwScaleLib.sws_getCachedContext(FFromRgb.release(), AWidth, AHeight, rgbFmt, AWidth,
                                                             AHeight, static_cast<AVPixelFormat>(APixFmt), SWS_BICUBIC,
                                                             nullptr, nullptr, nullptr));
        if (!FFromRgb) {
          FLinks.Log(0, "Cannot initialize the fromRGB conversion context");
          failed = true;
        } else {
          SwScaleLib.sws_scale(FFromRgb.get(), rgb, rgbLs, 0, AHeight, AWork, AWorkLs);
        }
      }
    }
  }
  if (stop || failed) {
    *FLinks.OnCustomHook = nullptr;
    *FLinks.HookAction = haStop;
    *FLinks.UsingVhook = false;
  }
}


}  // namespace engine
