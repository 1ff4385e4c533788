// What a media file holds, as the ffprobe and ffmpeg commands see it: per
// stream its codec, format, span (from the packets' presentation times and
// durations), packet, frame and decoded sample counts. The same reading is
// applied to our output and to the ffmpeg command's, so the two compare like
// for like.
//
// Any thread; runs the commands as child processes. Probe returns false with
// the command's error text when the file cannot be read at all.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qvdiff {

struct TStreamFigures {
  std::string Type;  // "video", "audio", "subtitle", "data"
  std::string Codec;
  std::string Tag;  // the codec tag (FourCC) as ffprobe names it
  int Width = 0, Height = 0;
  int SampleRate = 0, Channels = 0;
  bool HasSpan = false;  // some packet had a presentation time
  double Start = 0, End = 0;  // seconds: first presentation time; last presentation time plus duration
  double LastPts = 0;         // the latest presentation time
  double Period = 0;          // median step between presentation times (0 with fewer than two)
  int64_t Packets = 0;
  int64_t Frames = 0;   // decoded pictures or audio frames (only when decoded)
  int64_t Samples = 0;  // decoded audio samples per channel (only when decoded)
};

struct TFigures {
  std::vector<TStreamFigures> Streams;
  // The first stream of AType, or nullptr.
  const TStreamFigures *Find(const std::string &AType) const;
  int Count(const std::string &AType) const;
  // The earliest start of the video and audio streams (0 when neither has one).
  double Start() const;
};

// Takes the streams of each kind together as one, where the ffmpeg command
// split one stream in two: counts summed, the earliest start, the latest
// end; codec and format of the first.
void MergeKinds(TFigures &AFigures);

// Reads every packet of APath with ffprobe; with ADecode also decodes every
// frame to count pictures and samples.
bool Probe(const std::string &APath, bool ADecode, TFigures &AFigures, std::string &AError);

// What `ffmpeg -v error -i APath -f null -` prints: decoding problems, empty
// for a clean file.
std::string DecodeErrors(const std::string &APath);

}  // namespace qvdiff
