/* libfillrect.so: fills a rectangle of every picture with one colour.
 *
 *   vhook = "libfillrect.so|X|Y|WIDTH|HEIGHT|LUMA|CB|CR"
 *
 * X, Y, WIDTH and HEIGHT are in pixels of the decoded picture; LUMA, CB and
 * CR are the colour's 8-bit YUV components (red is 81, 90, 240). The part of
 * the rectangle outside the picture is left out. Planar 8-bit YUV and grey
 * pictures are filled; pictures of other formats pass unchanged. */
#include <errno.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>

#include "QuenvaroHook.h"

typedef struct FillRect {
  int x, y, width, height;
  unsigned char colour[3]; /* Y, Cb, Cr */
} FillRect;

static int parse_int(const char *text, long min, long max, int *out)
{
  char *end;
  long v;
  errno = 0;
  v = strtol(text, &end, 10);
  if (end == text) return -1;
  while (*end == ' ' || *end == '\t') ++end; /* "16 | 16" splits into padded tokens */
  if (*end != '\0' || errno != 0 || v < min || v > max) return -1;
  *out = (int)v;
  return 0;
}

int Configure(void **ctxp, int argc, char *argv[])
{
  FillRect r;
  int c[3], i;
  FillRect *ctx;
  if (argc != 8) return -1;
  if (parse_int(argv[1], 0, INT_MAX, &r.x) || parse_int(argv[2], 0, INT_MAX, &r.y) ||
      parse_int(argv[3], 1, INT_MAX, &r.width) || parse_int(argv[4], 1, INT_MAX, &r.height))
    return -1;
  for (i = 0; i < 3; ++i)
    if (parse_int(argv[5 + i], 0, 255, &c[i])) return -1;
  for (i = 0; i < 3; ++i) r.colour[i] = (unsigned char)c[i];
  ctx = malloc(sizeof *ctx);
  if (!ctx) return -1;
  *ctx = r;
  *ctxp = ctx;
  return 0;
}

/* Chroma subsampling as shifts; 0 for formats this hook leaves alone. */
static int planar_layout(int pix_fmt, int *shift_x, int *shift_y, int *planes)
{
  *planes = 3;
  switch (pix_fmt) {
    case QUENVARO_PIX_FMT_YUV420P:
    case QUENVARO_PIX_FMT_YUVJ420P: *shift_x = 1; *shift_y = 1; return 1;
    case QUENVARO_PIX_FMT_YUV422P:
    case QUENVARO_PIX_FMT_YUVJ422P: *shift_x = 1; *shift_y = 0; return 1;
    case QUENVARO_PIX_FMT_YUV444P:
    case QUENVARO_PIX_FMT_YUVJ444P: *shift_x = 0; *shift_y = 0; return 1;
    case QUENVARO_PIX_FMT_YUV410P: *shift_x = 2; *shift_y = 2; return 1;
    case QUENVARO_PIX_FMT_YUV411P: *shift_x = 2; *shift_y = 0; return 1;
    case QUENVARO_PIX_FMT_GRAY8: *shift_x = 0; *shift_y = 0; *planes = 1; return 1;
    default: return 0;
  }
}

static long long clip(long long v, long long lo, long long hi) { return v < lo ? lo : v > hi ? hi : v; }

/* Fills columns [x0, x1) of rows [y0, y1); the bounds are already clipped. */
static void fill(unsigned char *plane, int linesize, long long x0, long long y0, long long x1, long long y1,
                 unsigned char value)
{
  long long y;
  for (y = y0; y < y1; ++y) memset(plane + y * linesize + x0, value, (size_t)(x1 - x0));
}

void Process(void *ctx, QuenvaroHookPicture *picture, int pix_fmt, int width, int height, int64_t pts)
{
  const FillRect *r = ctx;
  int sx, sy, planes, p;
  long long x0, y0, x1, y1;
  (void)pts;
  if (!r || width <= 0 || height <= 0 || !planar_layout(pix_fmt, &sx, &sy, &planes)) return;
  /* 64-bit so that x + width cannot overflow. */
  x0 = clip(r->x, 0, width);
  y0 = clip(r->y, 0, height);
  x1 = clip((long long)r->x + r->width, 0, width);
  y1 = clip((long long)r->y + r->height, 0, height);
  if (x0 >= x1 || y0 >= y1) return;
  fill(picture->data[0], picture->linesize[0], x0, y0, x1, y1, r->colour[0]);
  for (p = 1; p < planes; ++p) {
    /* Every chroma sample the rectangle touches, within the chroma plane. */
    long long cw = ((long long)width + (1 << sx) - 1) >> sx, ch = ((long long)height + (1 << sy) - 1) >> sy;
    fill(picture->data[p], picture->linesize[p], x0 >> sx, y0 >> sy, clip((x1 + (1 << sx) - 1) >> sx, 0, cw),
         clip((y1 + (1 << sy) - 1) >> sy, 0, ch), r->colour[p]);
  }
}

void Release(void *ctx) { free(ctx); }
