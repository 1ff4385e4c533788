// Run-time binding of libavcodec (FFmpeg 5.1, libavcodec.so.59).
// See LibModule.h for ownership, threads and failure.
#pragma once

#include <string>

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavcodec/bsf.h>
}

#include "LibModule.h"

#define QV_AVCODEC_FUNCTIONS(X)                                                              \
  X(avcodec_alloc_context3) X(avcodec_free_context) X(avcodec_find_encoder_by_name)          \
  X(avcodec_find_decoder_by_name) X(avcodec_find_encoder) X(avcodec_find_decoder)            \
  X(avcodec_open2) X(avcodec_send_packet) X(avcodec_receive_frame) X(avcodec_send_frame)     \
  X(avcodec_receive_packet) X(avcodec_decode_subtitle2) X(avcodec_encode_subtitle)           \
  X(avsubtitle_free) X(avcodec_flush_buffers) X(avcodec_string)                              \
  X(avcodec_parameters_to_context) X(avcodec_parameters_from_context)                        \
  X(avcodec_parameters_copy) X(avcodec_get_name) X(av_codec_is_encoder) X(av_codec_iterate)  \
  X(av_packet_alloc) X(av_packet_free) X(av_packet_unref) X(av_packet_ref)                   \
  X(av_packet_rescale_ts) X(av_packet_get_side_data) X(av_new_packet) X(avcodec_version)        \
  X(av_packet_new_side_data) X(av_get_bits_per_sample) X(avcodec_license)

struct TAVCodecFuncs {
  QV_AVCODEC_FUNCTIONS(QV_SLOT)
};

extern TAVCodecFuncs AVCodecLib;

// ARegister is kept for callers of the older loader; 5.1 registers its codecs itself.
bool LoadAVCodec(std::string &AError, const std::string &AFolder, bool AVersioned, bool ARegister);
void UnloadAVCodec();
bool AVCodecLoaded();
