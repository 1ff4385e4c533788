// The job description: what the configuration half (config/) makes of the
// options and files, and what a run (run/Run.h) is made from. The settings
// proper stay in TFFmpegSettings; this holds everything else a job is: the
// inputs (FLV source, decoder set-ups, timestamp offset and scales, rate
// emulation), the outputs (encoder set-ups, muxer options, the facts their
// fate is decided on), the stream and metadata maps and the generic option
// contexts new codec contexts are given.
//
// Ownership: owns the FLV sources, the decoder and encoder contexts until a
// run takes them, and the muxer options. The generic option contexts are
// raw because the libraries' option API wants them so; the engine allocates
// them in Prepare and frees them in ReleaseJob. The demuxer and muxer
// contexts stay in the engine's file tables (InputFiles, OutputFiles).
// Threads: written on the caller's thread while no run exists; a run reads
// it on its own threads and never changes its shape.
// Failure: plain data; nothing here throws.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "AVPtr.h"
#include "EngineLimits.h"
#include "FlvSource.h"
#include "OutputFate.h"

struct TStreamMap {
  int32_t FileIndex = 0;
  int32_t StreamIndex = 0;
  int32_t SyncFileIndex = 0;
  int32_t SyncStreamIndex = 0;
};

struct TMetaDataMap {
  int32_t OutFile = 0;
  int32_t InFile = 0;
};

// What OpenOutputFile leaves per output stream until the run.
struct TOutputStreamSetup {
  avbind::TCodecCtxPtr Enc;
  bool StreamCopy = false;
  float Quality = 0;
  std::string CodecName;  // the encoder chosen by name, if any (aliases resolved)
};

struct TOutputFileSetup {
  std::array<TOutputStreamSetup, MaxStreams> Streams;
  avbind::TDict MuxOpts;  // muxer-private options handed to avformat_write_header
  engine::TOutputFileFacts File;  // what its fate is decided on (see OutputFate.h)
};

struct TInputFileSetup {
  std::vector<avbind::TCodecCtxPtr> Dec;  // one decoder context per stream
  int32_t RateEmu = 0;                     // "re" was given before this file
};

namespace engine {

struct TJob {
  // ---- inputs, by file index ----
  // FLV inputs are read by our own reader: its source owns the demuxer
  // context in the engine's InputFiles and gives the packets; other inputs
  // have none here.
  std::unique_ptr<flv::TFlvSource> FlvInputs[MaxFiles];
  TInputFileSetup InputSetups[MaxFiles];
  int64_t InputTsOffsets[MaxFiles] = {};           // µs, added to the input's timestamps: "itsoffset", less its start unless "copyts"
  double InputTsScales[MaxFiles][MaxStreams] = {};  // "itsscale", 0 for none

  // ---- outputs, by file index ----
  TOutputFileSetup OutputSetups[MaxFiles];

  // ---- maps ----
  TStreamMap StreamMaps[MaxStreamMaps];
  int32_t StreamMapCount = 0;
  TMetaDataMap MetaDataMaps[MaxMetaDataMaps];
  int32_t MetaDataMapCount = 0;

  // ---- generic options ----
  // The names set through the generic contexts, in acceptance order.
  std::vector<std::string> OptNames;
  AVCodecContext *CodecOpts[5] = {};  // video, audio, data, subtitle, attachment
  AVFormatContext *FormatOpts = nullptr;
  SwsContext *SwsOpts = nullptr;
  // Options no generic context knows but some encoder's or muxer's private
  // option set does (name, value), in acceptance order. Applied to each new
  // encoder context with AV_OPT_SEARCH_CHILDREN and handed to the muxer.
  std::vector<std::pair<std::string, std::string>> PrivateOpts;
};

}  // namespace engine
