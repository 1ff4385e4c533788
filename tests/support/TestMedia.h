// Test media made through the libraries, and a reader that tells what a
// media file holds (by reading every packet), for checking outputs.
// Needs qvtest::LoadLibs() first. Everything throws std::runtime_error on failure.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <utility>
#include <vector>

extern "C" {
#include <libavutil/frame.h>
#include <libavutil/rational.h>
}

namespace qvtest {

struct TGenOptions {
  std::string VideoCodec = "libx264";  // "" for no video; "flv" (FLV1/Sorenson), "mpeg4", ...
  std::string AudioCodec = "aac";      // "" for no audio; "libmp3lame", ...
  int Width = 320, Height = 240;
  AVRational FrameRate{25, 1};
  int SampleRate = 44100, Channels = 2;
  double Seconds = 3.0;
  std::string Container = "flv";  // muxer name
  // Container tags (key, value), e.g. {"title", "x"}, {"creation_time", "2008-03-01T12:00:00Z"}.
  std::vector<std::pair<std::string, std::string>> Tags;
  std::string Language;  // "language" tag of every stream, "" for none
  // Added to every video presentation timestamp, as recorders that show
  // pictures a constant time after decoding them write it.
  int VideoPtsOffsetMs = 0;
  int BFrames = 0;  // libx264 only
  // A timed-text track (start in ms, text), each cue shown for one second.
  std::vector<std::pair<int, std::string>> TextCues;
};

// Writes a file with a moving test pattern and a tone.
void MakeMedia(const std::string &APath, const TGenOptions &AOpts = {});

struct TStreamInfo {
  int Type = -1;  // AVMediaType
  std::string Codec;
  int Width = 0, Height = 0;
  int PixFmt = -1;
  AVRational FrameRate{0, 1};  // average
  int SampleRate = 0, Channels = 0;
  double Duration = 0;  // seconds, from the packets (last pts + duration - first pts)
  int64_t Packets = 0;
  int64_t KeyPackets = 0;
  int64_t PacketsBeforeFirstKey = 0;
};

struct TMediaInfo {
  std::string Format;
  double Duration = 0;  // container duration in seconds, 0 when unknown
  std::vector<TStreamInfo> Streams;
  const TStreamInfo *Find(int AType) const;
};

// Opens the file, reads every packet; false (with AError) when it cannot be opened.
bool ProbeMedia(const std::string &APath, TMediaInfo &AInfo, std::string *AError = nullptr);

// One packet of a stream as the demuxer hands it over.
struct TPacketInfo {
  std::string Data;  // the payload bytes
  int64_t Pts = 0, Dts = 0, Duration = 0;  // microseconds (INT64_MIN when unset)
  bool Key = false;
};

// Every packet of the first stream of AType (AVMediaType), in file order.
std::vector<TPacketInfo> ReadPackets(const std::string &APath, int AType);

// Empty when the packets of AType in ACopy are those of AOriginal from its
// first key frame on, byte for byte and each at the same time after the
// first (within a millisecond); else what differs.
std::string ComparePackets(const std::string &AOriginal, const std::string &ACopy, int AType);

// Decodes every video picture of the first video stream; returns the count.
int DecodeVideo(const std::string &APath, const std::function<void(const AVFrame &)> &AOnFrame);

}  // namespace qvtest
