// The picture helpers of the video path (see PictureOps.h).
#include "PictureOps.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

#include "AVUtilHlpr.h"
#include "Rational.h"

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

