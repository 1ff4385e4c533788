// What a conversion needs to know of its input before it starts: the codecs
// of its first video and audio streams, the picture's size and shape, the
// frame rate, the duration and, for a rewrap, how many bytes each stream
// holds. Also the rule that tells which inputs MP4 can carry without
// re-encoding (a rewrap).
//
// No GUI toolkit: the window and the command line share this.
// Threads: DescribeSource reads an open demuxer context and may run on any
// thread that owns that context; ScanStreamSizes opens its own.
// Failure: nothing throws; what cannot be told stays unknown (see the
// fields). ScanStreamSizes returns false when the file cannot be read.
// Both need the media libraries loaded.
#pragma once

#include <cstdint>
#include <string>

struct AVFormatContext;

struct TSourceInfo {
  // Codec names as the libraries call them ("h264", "aac", "mp3", "speex");
  // empty when the input has no such stream.
  std::string VideoCodec, AudioCodec;
  int32_t Width = 0, Height = 0;
  double DisplayAspect = 0;  // width / height as shown; 0 when unknown
  // The rate a converted copy keeps (the stream's base rate when it is a
  // plausible one, else its average); 0/0 when unknown.
  int32_t FrameRateNum = 0, FrameRateDen = 0;
  int32_t AudioChannels = 0, AudioSampleRate = 0;
  int64_t Duration = -1;  // microseconds; -1 when unknown
  // The sound's configuration changes mid-stream (re-published at another
  // rate, say): one MP4 track cannot carry it as it is.
  bool AudioChanges = false;
  // Filled by ScanStreamSizes: the bytes and packets a rewrap carries over
  // (video from its first key frame on); -1 until scanned.
  int64_t VideoBytes = -1, AudioBytes = -1;
  int64_t VideoPackets = -1, AudioPackets = -1;
};

// Everything but the stream sizes, from an open input (its streams found).
TSourceInfo DescribeSource(const AVFormatContext *AContext);

// Reads the packets of AFileName (without decoding) and fills the stream
// sizes of AInfo. Past AByteBudget bytes of packets it stops and projects
// the rest from the part read and the duration.
bool ScanStreamSizes(const std::string &AFileName, TSourceInfo &AInfo, int64_t AByteBudget = 64 << 20);

// Whether MP4 can take the input's streams as they are.
enum TRewrapKind {
  rkNone,       // the video must be re-encoded (or there is none)
  rkCopyAll,    // H.264, HEVC, AV1 or VP9 video with AAC, MP3, Opus, AC-3 or E-AC-3 audio, or none: both copied
  rkCopyVideo,  // such video with audio MP4 does not carry (Speex, Nellymoser, ADPCM, PCM, FLAC): audio to AAC
};
TRewrapKind RewrapKindOf(const TSourceInfo &ASource);
// The preset list's entry for a rewrap kind; empty for rkNone.
std::string RewrapName(TRewrapKind AKind);
