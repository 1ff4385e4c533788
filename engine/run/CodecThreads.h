// How many threads of their own libraries the encoders and decoders of a
// run get.
//
// Encoders: a job gives the same bytes on any machine and with any thread
// budget, so no encoder's threads follow the cores or the budget. x264 runs
// on a fixed number of frame threads: for a fixed count its frame-threaded
// output is deterministic (its default), while slice threads or a count
// taken from the machine would change the bytes. Its lookahead threads
// follow from that count and the preset, never from the machine. The output
// of an x264 job thus depends on the x264 build (its version and the
// instruction sets it uses) and on kX264FrameThreads, not on the cores, the
// load or the budget. The other encoders keep the job's thread count: their
// threads are slices, which change the output.
//
// Decoders: their threads never change the pictures, so a video decoder
// follows the budget: with more than one core, the codec's frame and slice
// threads (H.264, HEVC, VP9) or its library's own (libdav1d for AV1), one
// more than the cores, as a thread waiting on a picture it refers to leaves
// a core to another.
//
// Threads: any; each call touches only the context it is given, which is
// not open yet. Failure: none.
#pragma once

#include <cstdint>

extern "C" {
#include <libavcodec/avcodec.h>
}

namespace engine {

// Enough to keep a desktop's cores busy at 720p and 1080p, few enough that
// a two-core machine loses little to waiting threads and the frames they
// hold stay within the memory of a plain conversion.
constexpr int32_t kX264FrameThreads = 4;

// Sets the threads of AEnc, which will be opened with ACodec (may be null);
// ADefault is the job's thread count.
void SetEncoderThreads(AVCodecContext &AEnc, const AVCodec *ACodec, int32_t ADefault);
// Sets the threads of ADec for a run with ABudget cores.
void SetDecoderThreads(AVCodecContext &ADec, int32_t ABudget);

}  // namespace engine
