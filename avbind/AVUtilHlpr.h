// Run-time binding of libavutil (FFmpeg 5.1, libavutil.so.57).
// Every function the system calls is resolved by name into the process-wide
// table AVUtil; a missing one fails the load. See LibModule.h for ownership,
// threads and failure.
#pragma once

#include <string>

extern "C" {
#include <libavutil/audio_fifo.h>
#include <libavutil/avstring.h>
#include <libavutil/channel_layout.h>
#include <libavutil/dict.h>
#include <libavutil/error.h>
#include <libavutil/fifo.h>
#include <libavutil/frame.h>
#include <libavutil/imgutils.h>
#include <libavutil/log.h>
#include <libavutil/mathematics.h>
#include <libavutil/mem.h>
#include <libavutil/opt.h>
#include <libavutil/parseutils.h>
#include <libavutil/pixdesc.h>
#include <libavutil/samplefmt.h>
#include <libavutil/time.h>
}

#include "LibModule.h"

#define QV_AVUTIL_FUNCTIONS(X)                                                               \
  X(av_log_set_callback) X(av_log_default_callback) X(av_log_get_level) X(av_log_set_level)  \
  X(av_strlcpy) X(av_strstart) X(av_reduce) X(av_fifo_alloc2) X(av_fifo_freep2)              \
  X(av_fifo_can_read) X(av_fifo_read) X(av_fifo_write) X(av_fifo_grow2) X(av_rescale_q)      \
  X(av_rescale) X(av_log) X(av_strdup) X(av_malloc) X(av_mallocz) X(av_realloc) X(av_free)   \
  X(av_freep) X(av_gcd) X(av_fast_realloc) X(av_opt_get) X(av_opt_set) X(av_opt_find)        \
  X(av_opt_get_int) X(av_parse_video_rate) X(av_parse_video_size) X(av_parse_time)           \
  X(av_gettime) X(av_usleep) X(av_strerror) X(av_frame_alloc) X(av_frame_free)               \
  X(av_frame_unref) X(av_frame_get_buffer) X(av_frame_make_writable) X(av_frame_copy)        \
  X(av_image_alloc) X(av_image_copy) X(av_image_get_buffer_size) X(av_image_fill_arrays)     \
  X(av_get_pix_fmt) X(av_get_pix_fmt_name) X(av_get_pix_fmt_string) X(av_pix_fmt_desc_get)   \
  X(av_get_sample_fmt) X(av_get_sample_fmt_name) X(av_get_bytes_per_sample)                  \
  X(av_sample_fmt_is_planar) X(av_channel_layout_default) X(av_channel_layout_uninit)        \
  X(av_channel_layout_copy) X(av_dict_set) X(av_dict_get) X(av_dict_free) X(av_dict_copy)    \
  X(av_get_picture_type_char) X(av_log_format_line2) X(avutil_version)

struct TAVUtilFuncs {
  QV_AVUTIL_FUNCTIONS(QV_SLOT)
};

extern TAVUtilFuncs AVUtilLib;

bool LoadAVUtil(std::string &AError, const std::string &AFolder, bool AVersioned);
void UnloadAVUtil();
bool AVUtilLoaded();
