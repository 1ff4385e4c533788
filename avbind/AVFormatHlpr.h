// Run-time binding of libavformat (FFmpeg 5.1, libavformat.so.59).
// See LibModule.h for ownership, threads and failure.
#pragma once

#include <string>

extern "C" {
#include <libavformat/avformat.h>
#include <libavformat/avio.h>
}

#include "LibModule.h"

#define QV_AVFORMAT_FUNCTIONS(X)                                                                 \
  X(avformat_alloc_context) X(avformat_alloc_output_context2) X(avformat_free_context)           \
  X(avformat_open_input) X(avformat_close_input) X(avformat_find_stream_info)                    \
  X(avformat_new_stream) X(av_guess_format) X(av_guess_codec) X(av_filename_number_test)         \
  X(avio_open2) X(avio_closep) X(avio_seek) X(avio_size) X(av_codec_get_id) X(av_codec_get_tag)  \
  X(av_codec_get_tag2) X(avformat_write_header) X(av_write_trailer)                              \
  X(av_interleaved_write_frame) X(av_read_frame) X(av_seek_frame) X(av_find_input_format)        \
  X(av_dump_format) X(av_pkt_dump_log2) X(av_sdp_create) X(av_muxer_iterate)                     \
  X(avformat_version)

struct TAVFormatFuncs {
  QV_AVFORMAT_FUNCTIONS(QV_SLOT)
};

extern TAVFormatFuncs AVFormatLib;

// ARegister is kept for callers of the older loader; 5.1 registers its formats itself.
bool LoadAVFormat(std::string &AError, const std::string &AFolder, bool AVersioned, bool ARegister);
void UnloadAVFormat();
bool AVFormatLoaded();
