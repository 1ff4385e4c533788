// Picture helpers of the video path that work on plane pointers and line
// sizes: a cropped or offset view, the pad fill with a colour, and the
// deinterlacer. Pure functions (they read the pixel format table of the
// loaded libavutil), any thread; each reports an unsupported layout by
// returning false and leaves the destination untouched then.
#pragma once

#include <cstdint>

// Pointers of a picture moved down ATop rows and right ALeft columns (luma
// units; chroma planes move by the subsampled amount). Line sizes unchanged.
bool OffsetPicture(int APixFmt, uint8_t *const AData[4], const int ALineSize[4], int ATop, int ALeft,
                   uint8_t *AOut[4], int AOutLineSize[4]);

// Fills the bands of an AWidth x AHeight picture with AColor (Y, U, V), and
// copies ASrc (when given) into the area inside them. 8-bit planar YUV or grey only.
bool PadPicture(uint8_t *const ADst[4], const int ADstLineSize[4], const uint8_t *const ASrc[4],
                const int ASrcLineSize[4], int AWidth, int AHeight, int APixFmt, int ATop, int ABottom, int ALeft,
                int ARight, const int32_t AColor[3]);

// Copies the top field and rebuilds the bottom field's lines by vertical
// interpolation. 8-bit planar YUV or grey only.
bool DeinterlacePicture(uint8_t *const ADst[4], const int ADstLineSize[4], const uint8_t *const ASrc[4],
                        const int ASrcLineSize[4], int APixFmt, int AWidth, int AHeight);
