/* libnegate.so: turns the brightness of every picture upside down
 * (luma v becomes 255 - v). It takes no arguments and keeps no state, so it
 * exports "Process" only. Planar 8-bit YUV and grey pictures are changed;
 * other formats pass unchanged. */
#include "QuenvaroHook.h"

static int has_luma_plane(int pix_fmt)
{
  switch (pix_fmt) {
    case QUENVARO_PIX_FMT_YUV420P:
    case QUENVARO_PIX_FMT_YUVJ420P:
    case QUENVARO_PIX_FMT_YUV422P:
    case QUENVARO_PIX_FMT_YUVJ422P:
    case QUENVARO_PIX_FMT_YUV444P:
    case QUENVARO_PIX_FMT_YUVJ444P:
    case QUENVARO_PIX_FMT_YUV410P:
    case QUENVARO_PIX_FMT_YUV411P:
    case QUENVARO_PIX_FMT_GRAY8: return 1;
    default: return 0;
  }
}

void Process(void *ctx, QuenvaroHookPicture *picture, int pix_fmt, int width, int height, int64_t pts)
{
  int x, y;
  (void)ctx;
  (void)pts;
  if (!has_luma_plane(pix_fmt)) return;
  for (y = 0; y < height; ++y) {
    unsigned char *row = picture->data[0] + (long long)y * picture->linesize[0];
    for (x = 0; x < width; ++x) row[x] = (unsigned char)(255 - row[x]);
  }
}
