// TFlvSource: an FLV file or stream read by our own reader and handed to the
// rest of the program as FFmpeg sees a demuxed input: a format context whose
// streams carry codec parameters, time bases and durations, and packets
// read with Read() where other inputs use av_read_frame.
//
// The format context is made with avformat_alloc_context and
// avformat_new_stream; it has no demuxer and no I/O context of the library's,
// only a format name of ours so that reports can name it. Closing it with
// avformat_close_input is safe, but the source owns it: destroy the source
// instead.
//
// Ownership: the source owns the context, the reader and the descriptor.
// Threads: one thread at a time (the one that reads the input).
// Failure: Open returns nullptr and says why; Read returns AVERROR_EOF at the
// end (AVERROR(EIO) when a read error ended the data), never throws on
// damaged data.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "FlvReader.h"

struct AVFormatContext;
struct AVPacket;

namespace flv {

class TFlvSource {
 public:
  // ALevel: 0 error, 1 warning or information, 2 detail.
  using TLog = std::function<void(int ALevel, const std::string &AText)>;

  // Whether AFileName is to be read by this source: a file whose first bytes
  // are FLV, whatever its name, or any input when AForced (-f flv). Pipes
  // ("pipe:", "-") are ours only when forced, since their first bytes cannot
  // be looked at without taking them from the demuxer.
  static bool Claims(const std::string &AFileName, bool AForced);

  // Opens and learns the streams; nullptr with AError (the system's words,
  // naming what the file holds) when it cannot be read.
  static std::unique_ptr<TFlvSource> Open(const std::string &AFileName, TLog ALog, std::string &AError);
  ~TFlvSource();
  TFlvSource(const TFlvSource &) = delete;
  TFlvSource &operator=(const TFlvSource &) = delete;

  AVFormatContext *Context() const { return FContext; }
  // The next packet, like av_read_frame: 0, AVERROR_EOF at the end, or
  // AVERROR(EIO) when a read error cut the data short.
  int Read(AVPacket *APacket);
  // To the key frame at or before AMicroseconds (stream time); false on a pipe.
  bool Seek(int64_t AMicroseconds);

  const TReader &Reader() const { return *FReader; }
  int64_t FileSize() const { return FBytes ? FBytes->Size() : -1; }
  // The reasons streams cannot be decoded ("This file's video uses a codec
  // this program cannot decode: FourCC 'vvc1'"), one per stream; empty when
  // every stream can be.
  const std::vector<std::string> &Unreadable() const { return FUnreadable; }

 private:
  TFlvSource() = default;
  bool Build(const std::string &AFileName, std::string &AError);
  bool ProbeStreams();
  int Deliver(TPacket &AIn, AVPacket *AOut);

  std::unique_ptr<TByteSource> FBytes;
  std::unique_ptr<TReader> FReader;
  AVFormatContext *FContext = nullptr;
  TLog FLog;
  std::vector<TPacket> FQueued;  // read while probing, handed out first
  std::size_t FQueuedNext = 0;
  TPacket FPacket;
  std::vector<int> FStreamOf;     // per track: its stream's index, -1 for a track of no stream
  std::vector<int> FNalLength;    // per stream: AVC/HEVC NAL length size, 0 for others
  std::vector<std::string> FUnreadable;
};

// The codec of an FLV track as FFmpeg names it (AV_CODEC_ID_*), NONE when
// FFmpeg 5.1 has none.
int CodecIdOf(const TTrack &ATrack);

}  // namespace flv
