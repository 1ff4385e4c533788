// The records of one run's streams: what the run knows of each input file,
// each input stream and each output path while it converts.
//
// Ownership: a TOutputStream owns its output path (OutputPath.h), and
// through it the path's encoder and working resources, so dropping the
// record frees them. An input stream's record owns its decoder context; a
// stream copy's codec context and the streams are borrowed from the job and
// the engine's file tables, which outlive the run.
// Threads: the fields of an input stream and of the output paths it feeds
// belong to the job running for that stream (on the run's thread or on its
// stage thread, see Pipeline.h), except where a field says otherwise.
// Failure: plain data; nothing here throws.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <vector>

#include "AVPtr.h"
#include "EngineLimits.h"
#include "OutputPath.h"

// Per input file, per run.
struct TInputFileInfo {
  int32_t EofReached = 0;
  int32_t FirstStream = 0;
  int32_t StreamCount = 0;
  int64_t FirstDts = NoPts;  // µs, first decoding timestamp read (rate emulation's origin)
  int64_t ReachedUs = NoPts;  // µs, the furthest packet end read, in the file's own times
  bool ReadError = false;     // the reading ended with an error rather than at the end
};

// Per input stream, per run. Timestamps in µs.
struct TInputStream {
  int32_t FileIndex = 0;
  int32_t Index = 0;
  AVStream *Stream = nullptr;
  AVCodecContext *Dec = nullptr;  // the stream's decoder context (DecOwner's), or null
  avbind::TCodecCtxPtr DecOwner;  // taken from the job's input set-up for the run
  int32_t Discard = 1;
  int32_t DecodingNeeded = 0;
  int64_t Start = 0;
  uint32_t Frame = 0;
  int32_t RateEmu = 0;  // read at its native rate ("re" given before its file)
  // Two clocks, both in µs. The decode clock follows the packets' decoding
  // timestamps: the discontinuity rule, the choice of the next input and
  // stream copy use it. The presentation clock follows the decoded data:
  // audio and video sync, hooks and the start-time cut use it. Streams whose
  // pictures are shown later than they are decoded (composition offsets,
  // B-frames) keep the two apart.
  int64_t Dts = 0;
  int64_t NextDts = NoPts;
  int64_t LastDuration = 0;  // of the last packet, µs
  int64_t NextPts = NoPts;
  int64_t Pts = 0;
  int64_t JobDts = 0;  // the decoding job's copy of the last packet's decoding time
  int64_t EndPts = NoPts;  // end of the latest picture shown or dropped (time plus duration)
  int64_t LastDecodedPts = NoPts;  // of the last decoded picture, in the decoding job
  // Set by the decoding job when its pictures stop following their packets'
  // presentation times, which the drop predictor relies on.
  std::atomic<bool> PredictionBroken{false};
  int32_t IsStart = 0;
  // Decoded audio converted to 16-bit interleaved in the decoder's layout and rate.
  avbind::TSwrPtr ToS16;
  int32_t ToS16Format = -1, ToS16Rate = 0, ToS16Channels = 0;  // input the ToS16 converter was made for
  int32_t S16Channels = 0, S16SampleRate = 0;  // what the last converted block holds (0: not yet)
  bool Opened = false;  // decoder open, listed in OpenDecoders
  // The output streams this stream feeds: re-encoded ones, copied ones.
  std::vector<struct TOutputStream *> EncodeFeeds, CopyFeeds;
  std::vector<uint8_t> Samples;  // the last decoded audio block, 16-bit interleaved (only grows)
};

// The counters of one output stream that the progress report and the loop's
// limits read (see TOutputStream::Reported).
struct TOstStats {
  int32_t FrameNumber = 0;
  int64_t SyncOpts = 0;
  int32_t Quality = 0;  // of the last encoded picture, in lambda units
  int32_t PictType = 0;
  uint64_t Error[3] = {};
  int64_t Bytes = 0;  // encoded (or copied) bytes
  int32_t Dup = 0, Drop = 0;
};

// Per output stream, per run. The job that feeds the stream (on the run's
// thread or on a stage thread, see Pipeline.h) owns every field but
// Reported, OutTime, LastMuxDts and PacketsWritten, which belong to the
// writer on the run's thread.
struct TOutputStream {
  int32_t FileIndex = 0;
  int32_t Index = 0;
  int32_t SourceIndex = 0;
  AVStream *Stream = nullptr;
  // The encoder context: a stream copy's stays in the job's output table, a
  // re-encoded stream's belongs to its Path from the set-up on.
  AVCodecContext *Enc = nullptr;
  bool StreamCopy = false;
  int32_t EncodingNeeded = 0;
  int32_t FrameNumber = 0;
  TInputStream *SyncIst = nullptr;
  int64_t SyncOpts = 0;
  int64_t LastMuxDts = NoPts;            // in the stream time base; keeps dts strictly rising
  double OutTime = 0;                    // end of the last packet written, seconds
  int64_t PacketsWritten = 0;
  bool Opened = false;                   // encoder open, listed in OpenEncoders
  // The path from decoded data to this stream's encoder, with its working
  // resources (see OutputPath.h); null for a stream copy.
  std::unique_ptr<engine::TOutputPath> Path;
  // statistics of the last encoded video packet (quality side data), for the report
  int32_t CodedQuality = 0;
  int32_t CodedPictType = 0;
  uint64_t CodedError[3] = {};
  int64_t Bytes = 0;           // encoded or copied bytes
  int32_t Dup = 0, Drop = 0;   // video sync counts of this stream
  // The counters as of the last job whose packets were written: what the
  // report and the loop's limits read, whichever thread ran the job.
  TOstStats Reported;
  TOstStats LiveStats() const
  {
    TOstStats s;
    s.FrameNumber = FrameNumber;
    s.SyncOpts = SyncOpts;
    s.Quality = CodedQuality;
    s.PictType = CodedPictType;
    for (int i = 0; i < 3; ++i) s.Error[i] = CodedError[i];
    s.Bytes = Bytes;
    s.Dup = Dup;
    s.Drop = Drop;
    return s;
  }
};
