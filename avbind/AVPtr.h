// Owners for FFmpeg objects: unique_ptr with deleters that release through
// the run-time tables. Each owner must be released while the libraries are
// still loaded (they stay loaded until the process ends once loaded).
#pragma once

#include <memory>

#include "AVCodecHlpr.h"
#include "AVFormatHlpr.h"
#include "AVUtilHlpr.h"
#include "MyUtilHlpr.h"
#include "SwResampleHlpr.h"
#include "SwScaleHlpr.h"

namespace avbind {

struct TCodecCtxDeleter {
  void operator()(AVCodecContext *p) const { AVCodecLib.avcodec_free_context(&p); }
};
struct TFrameDeleter {
  void operator()(AVFrame *p) const { AVUtilLib.av_frame_free(&p); }
};
struct TPacketDeleter {
  void operator()(AVPacket *p) const { AVCodecLib.av_packet_free(&p); }
};
struct TInputCtxDeleter {
  void operator()(AVFormatContext *p) const { AVFormatLib.avformat_close_input(&p); }
};
struct TSwsDeleter {
  void operator()(SwsContext *p) const { SwScaleLib.sws_freeContext(p); }
};
struct TSwrDeleter {
  void operator()(SwrContext *p) const { SwResampleLib.swr_free(&p); }
};
struct TFifoDeleter {
  void operator()(AVFifo *p) const { AVUtilLib.av_fifo_freep2(&p); }
};
// A stdio stream opened through myutil, closed through it.
struct TMyFileDeleter {
  void operator()(FILE *p) const { MyUtilLib.my_fclose(p); }
};
struct TAVFreeDeleter {
  void operator()(void *p) const { AVUtilLib.av_free(p); }
};

using TCodecCtxPtr = std::unique_ptr<AVCodecContext, TCodecCtxDeleter>;
using TFramePtr = std::unique_ptr<AVFrame, TFrameDeleter>;
using TPacketPtr = std::unique_ptr<AVPacket, TPacketDeleter>;
using TInputCtxPtr = std::unique_ptr<AVFormatContext, TInputCtxDeleter>;
using TSwsPtr = std::unique_ptr<SwsContext, TSwsDeleter>;
using TSwrPtr = std::unique_ptr<SwrContext, TSwrDeleter>;
using TFifoPtr = std::unique_ptr<AVFifo, TFifoDeleter>;
using TMyFilePtr = std::unique_ptr<FILE, TMyFileDeleter>;
template <typename T>
using TAVBufPtr = std::unique_ptr<T, TAVFreeDeleter>;

// An AVDictionary owned by its holder.
class TDict {
 public:
  TDict() = default;
  TDict(const TDict &) = delete;
  TDict &operator=(const TDict &) = delete;
  ~TDict() { Clear(); }
  void Clear()
  {
    if (FDict) AVUtilLib.av_dict_free(&FDict);
  }
  AVDictionary **Addr() { return &FDict; }
  AVDictionary *Get() const { return FDict; }

 private:
  AVDictionary *FDict = nullptr;
};

}  // namespace avbind
