/*
 * QuenvaroHook.h - the interface between Quenvaro and frame-hook libraries.
 *
 * A frame hook is a shared library that sees, and may change, every decoded
 * video picture of a conversion before it is cropped, scaled and encoded.
 * The engine's option "vhook" names the library and its arguments:
 *
 *     vhook = "/path/libmyhook.so|arg1|arg2"   (split at "|" when present)
 *     vhook = "/path/libmyhook.so arg1 arg2"   (otherwise split at blanks)
 *
 * The library exports up to three plain C functions with exactly these
 * names (declared below): "Configure" (optional), "Process" (required) and
 * "Release" (optional). A library without "Configure" is accepted only when
 * it is given no arguments.
 *
 * Loading
 *   A library is loaded once per process and stays loaded until the process
 *   ends; several conversions share it. Names are matched without regard to
 *   letter case, so "/x/libHook.so" reuses a module loaded as "/x/libhook.so".
 *   A name with a folder part is loaded by its full path; a bare name goes
 *   through the system loader's search. Dependencies kept beside the library
 *   are found when the library is linked with the run path $ORIGIN
 *   (-Wl,-rpath,'$ORIGIN').
 *
 * Threads
 *   Configure  on the thread that configures the conversion, once per hook
 *              added (the same library may be added several times, to the
 *              same or to different conversions; every addition gets its own
 *              context).
 *   Process    on the conversion's worker thread, once per decoded picture,
 *              in picture order. Calls for one context never overlap, but
 *              contexts of other conversions may be processed at the same
 *              time on other threads: keep per-picture state in the context,
 *              never in unsynchronised globals.
 *   Release    once per successful Configure (and once per hook of a library
 *              without "Configure"), when the conversion's job is released:
 *              on the worker thread at the end of a run, or on the thread
 *              that prepares again or destroys the engine. No Process call
 *              for that context follows.
 *
 * What a hook may keep
 *   - Its context: whatever Configure stores through its first argument. It
 *     is handed back to every Process and to Release, which frees it.
 *   - Nothing of argv: the strings live only during Configure. Copy what you
 *     need.
 *   - Nothing of the picture: the plane pointers are valid only during one
 *     Process call. The hook may write the pixels of the width x height area
 *     in place; changes to the picture record itself are ignored.
 *
 * Hooks must not throw C++ exceptions or longjmp out of an entry point, and
 * must not end the process.
 */
#ifndef QUENVARO_HOOK_H
#define QUENVARO_HOOK_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One picture: four plane pointers and their line sizes in bytes (a line
 * size may be larger than the visible width). Planar YUV formats use planes
 * 0 (Y), 1 (U/Cb) and 2 (V/Cr); packed formats use plane 0 only. */
typedef struct QuenvaroHookPicture {
  uint8_t *data[4];
  int linesize[4];
} QuenvaroHookPicture;

/* Pixel format numbers are FFmpeg 5.1's enum AVPixelFormat values
 * (libavutil 57). The common ones: */
#define QUENVARO_PIX_FMT_YUV420P 0   /* planar 4:2:0, chroma halved both ways */
#define QUENVARO_PIX_FMT_YUYV422 1   /* packed Y0 Cb Y1 Cr */
#define QUENVARO_PIX_FMT_RGB24 2     /* packed R G B */
#define QUENVARO_PIX_FMT_BGR24 3     /* packed B G R */
#define QUENVARO_PIX_FMT_YUV422P 4   /* planar 4:2:2, chroma halved horizontally */
#define QUENVARO_PIX_FMT_YUV444P 5   /* planar 4:4:4 */
#define QUENVARO_PIX_FMT_YUV410P 6   /* planar, chroma quartered both ways */
#define QUENVARO_PIX_FMT_YUV411P 7   /* planar, chroma quartered horizontally */
#define QUENVARO_PIX_FMT_GRAY8 8     /* Y only */
#define QUENVARO_PIX_FMT_YUVJ420P 12 /* as YUV420P, full range */
#define QUENVARO_PIX_FMT_YUVJ422P 13 /* as YUV422P, full range */
#define QUENVARO_PIX_FMT_YUVJ444P 14 /* as YUV444P, full range */

/* At most this many argv entries reach Configure: the library name and up
 * to 63 arguments. A longer "vhook" text is refused. */
#define QUENVARO_HOOK_MAX_ARGS 64

/* Configure: set *ctxp to the hook's context (it starts as NULL). argv[0]
 * is the library name exactly as written in the option, argv[1..argc-1] the
 * arguments, argv[argc] is NULL. Return 0 on success; anything else refuses
 * the option, and then neither Process nor Release is called for it, so free
 * whatever was allocated before returning. */
typedef int (*QuenvaroHookConfigureFn)(void **ctxp, int argc, char *argv[]);

/* Process: one picture of pix_fmt, width x height; pts is the picture's
 * presentation time in microseconds. ctx is NULL for a library without
 * Configure. */
typedef void (*QuenvaroHookProcessFn)(void *ctx, QuenvaroHookPicture *picture, int pix_fmt, int width, int height,
                                      int64_t pts);

/* Release: free the context. */
typedef void (*QuenvaroHookReleaseFn)(void *ctx);

/* Hook libraries declare their entry points through this header so the
 * signatures are checked; the host defines QUENVARO_HOOK_HOST to skip them. */
#ifndef QUENVARO_HOOK_HOST
#define QUENVARO_HOOK_EXPORT __attribute__((visibility("default")))
QUENVARO_HOOK_EXPORT int Configure(void **ctxp, int argc, char *argv[]);
QUENVARO_HOOK_EXPORT void Process(void *ctx, QuenvaroHookPicture *picture, int pix_fmt, int width, int height,
                                  int64_t pts);
QUENVARO_HOOK_EXPORT void Release(void *ctx);
#endif

#ifdef __cplusplus
}
#endif

#endif /* QUENVARO_HOOK_H */
