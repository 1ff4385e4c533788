// Frame geometry: rate, size, aspect ratio, pixel format, crop bands,
// padding and its colour.
#include <limits>

#include "AVUtilHlpr.h"
#include "FFmpeg.h"
#include "OptionText.h"

using engine::StrToFloatDef;
using engine::StrToIntDef;
using engine::Trim;

void TCustomFFmpeg::SetFrameRate(const std::string &AValue)
{
  if (AValue.empty()) return;
  AVRational rate{0, 0};
  if (AVUtilLib.av_parse_video_rate(&rate, AValue.c_str()) < 0) Fail("Incorrect frame rate");
  FrameRate = rate;
}

void TCustomFFmpeg::SetFrameSize(const std::string &AValue)
{
  if (AValue.empty()) return;
  int w = 0, h = 0;
  if (AVUtilLib.av_parse_video_size(&w, &h, AValue.c_str()) < 0) Fail("Incorrect frame size");
  // Sizes whose picture buffers cannot be addressed are refused here rather
  // than overflowing the buffer arithmetic of the run.
  if ((static_cast<int64_t>(w) + 128) * (static_cast<int64_t>(h) + 128) >= INT32_MAX / 8) Fail("Incorrect frame size");
  FrameWidth = w;
  FrameHeight = h;
  if ((FrameWidth % 2) != 0 || (FrameHeight % 2) != 0) Fail("Frame size must be a multiple of 2");
}

void TCustomFFmpeg::SetFrameAspectRatio(const std::string &AValue)
{
  double ratio;
  const size_t colon = AValue.find(':');
  if (colon != std::string::npos) {
    const int32_t x = StrToIntDef(AValue.substr(0, colon), 0);
    const int32_t y = StrToIntDef(AValue.substr(colon + 1), 0);
    ratio = y > 0 ? static_cast<double>(x) / y : 0;
  } else {
    ratio = StrToFloatDef(AValue, 0);
  }
  // A negative or unbounded ratio is no more a display aspect than zero.
  if (!(ratio > 0) || ratio > std::numeric_limits<float>::max()) Fail("Incorrect aspect ratio specification.");
  FrameAspectRatio = static_cast<float>(ratio);
}

void TCustomFFmpeg::SetFramePixFmt(const std::string &AValue)
{
  if (AValue.empty()) return;
  if (AValue != "list") {
    FramePixFmt = AVUtilLib.av_get_pix_fmt(AValue.c_str());
    return;
  }
  if (!OnLog) return;
  char buf[128];
  for (int fmt = -1;; ++fmt) {
    if (fmt >= 0 && !AVUtilLib.av_pix_fmt_desc_get(static_cast<AVPixelFormat>(fmt))) break;
    buf[0] = '\0';
    AVUtilLib.av_get_pix_fmt_string(buf, sizeof buf, static_cast<AVPixelFormat>(fmt));
    Log(1, Trim(buf));
  }
}

namespace {

const char *const kVerticalCrop =
    "Vertical crop dimensions are outside the range of the original image.\n"
    "Remember to crop first and scale second.";
const char *const kHorizontalCrop =
    "Horizontal crop dimensions are outside the range of the original image.\n"
    "Remember to crop first and scale second.";

// A crop band refers to the frame size current now (normally the input's)
// and is taken off it at once; negative values are ignored.
void ApplyCrop(int32_t AValue, const char *AOddMsg, const char *ARangeMsg, int32_t &ABand, int32_t &ASize)
{
  if (AValue < 0) return;
  if (AValue % 2 != 0) throw FFMpegException(AOddMsg);
  if (AValue >= ASize) throw FFMpegException(ARangeMsg);
  ABand = AValue;
  ASize -= AValue;
}

}  // namespace

void TCustomFFmpeg::SetFrameCropTop(int32_t AValue)
{
  ApplyCrop(AValue, "Top crop size must be a multiple of 2", kVerticalCrop, FrameTopBand, FrameHeight);
}

void TCustomFFmpeg::SetFrameCropBottom(int32_t AValue)
{
  ApplyCrop(AValue, "Bottom crop size must be a multiple of 2", kVerticalCrop, FrameBottomBand, FrameHeight);
}

void TCustomFFmpeg::SetFrameCropLeft(int32_t AValue)
{
  ApplyCrop(AValue, "Left crop size must be a multiple of 2", kHorizontalCrop, FrameLeftBand, FrameWidth);
}

void TCustomFFmpeg::SetFrameCropRight(int32_t AValue)
{
  ApplyCrop(AValue, "Right crop size must be a multiple of 2", kHorizontalCrop, FrameRightBand, FrameWidth);
}

namespace {

void ApplyPad(int32_t AValue, const char *AOddMsg, int32_t &APad)
{
  if (AValue < 0) return;
  if (AValue % 2 != 0) throw FFMpegException(AOddMsg);
  APad = AValue;
}

}  // namespace

void TCustomFFmpeg::SetFramePadTop(int32_t AValue)
{
  ApplyPad(AValue, "Top pad size must be a multiple of 2", FramePadTop);
}

void TCustomFFmpeg::SetFramePadBottom(int32_t AValue)
{
  ApplyPad(AValue, "Bottom pad size must be a multiple of 2", FramePadBottom);
}

void TCustomFFmpeg::SetFramePadLeft(int32_t AValue)
{
  ApplyPad(AValue, "Left pad size must be a multiple of 2", FramePadLeft);
}

void TCustomFFmpeg::SetFramePadRight(int32_t AValue)
{
  ApplyPad(AValue, "Right pad size must be a multiple of 2", FramePadRight);
}

void TCustomFFmpeg::SetPadColor(int32_t AValue)
{
  // 0x00BBGGRR to full-range BT.601 YUV, factors scaled by 1024; ">>" on a
  // negative int floors, which the chroma terms rely on.
  const int r = AValue & 0xFF;
  const int g = (AValue >> 8) & 0xFF;
  const int b = (AValue >> 16) & 0xFF;
  PadColor[0] = (307 * r + 602 * g + 117 * b + 512) >> 10;
  PadColor[1] = ((-173 * r - 340 * g + 512 * b + 511) >> 10) + 128;
  PadColor[2] = ((512 * r - 429 * g - 84 * b + 511) >> 10) + 128;
}
