#include "CodecThreads.h"

#include <cstring>

namespace engine {

void SetEncoderThreads(AVCodecContext &AEnc, const AVCodec *ACodec, int32_t ADefault)
{
  const bool x264 = ACodec && std::strncmp(ACodec->name, "libx264", 7) == 0;  // libx264rgb too
  AEnc.thread_count = x264 ? kX264FrameThreads : ADefault;
  // The wrapper takes slice threads only when they are all it is offered.
  if (x264) AEnc.thread_type = FF_THREAD_FRAME;
}

void SetDecoderThreads(AVCodecContext &ADec, int32_t ABudget)
{
  if (ADec.codec_type != AVMEDIA_TYPE_VIDEO || ABudget < 2) return;
  ADec.thread_count = ABudget + 1;
  ADec.thread_type = FF_THREAD_FRAME | FF_THREAD_SLICE;
}

}  // namespace engine
