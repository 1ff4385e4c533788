// An FLV file as a list of tags that tests can edit and write back: tag
// timestamps, the composition time of AVC video tags, tags dropped or added.
// Used to make timestamp shapes that no muxer writes on purpose (steps back,
// jitter, holes in one stream, composition offsets).
//
// Plain data, no library calls; any thread. Parse/Load throw
// std::runtime_error on a file that is not FLV or whose tags run past its end.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qvtest {

enum TFlvTagType : uint8_t { fttAudio = 8, fttVideo = 9, fttScript = 18 };

struct TFlvTag {
  uint8_t Flags = 0;  // the first header byte above the 5 type bits (reserved, filter)
  uint8_t Type = 0;   // 5 bits: 8 audio, 9 video, 18 script data
  int64_t Timestamp = 0;  // milliseconds; written as 24 bits plus an 8-bit extension (upper bits)
  uint32_t StreamId = 0;  // 24 bits, normally 0
  std::string Data;

  bool IsAudio() const { return Type == fttAudio; }
  bool IsVideo() const { return Type == fttVideo; }
  bool IsScript() const { return Type == fttScript; }
  // Video: codec id (low nibble of the first data byte: 2 FLV1, 3 screen video, 7 AVC).
  int VideoCodecId() const;
  // Video: frame type 1 (key frame) in the high nibble.
  bool IsKeyFrame() const;
  // Audio: sound format (high nibble of the first data byte: 2 MP3, 10 AAC, ...).
  int SoundFormat() const;
  // An audio or video tag that the demuxer hands on as a packet: not an AAC
  // or AVC configuration (sequence header) and not an AVC end of sequence.
  bool CarriesMedia() const;
  // An AVC video tag that carries pictures (packet type 1), so has a
  // composition time; sequence headers and end-of-sequence tags do not.
  bool IsAvcPicture() const;
  // The signed 24-bit composition time (presentation minus decoding time, ms)
  // of an AVC video tag; throws for other tags.
  int32_t CompositionTime() const;
  void SetCompositionTime(int32_t AMs);
  // Presentation time: the timestamp plus the composition time for AVC pictures.
  int64_t PresentationTime() const { return Timestamp + (IsAvcPicture() ? CompositionTime() : 0); }
};

struct TFlvFile {
  std::string Header;  // signature, version, flags, header size and PreviousTagSize0, as read
  std::vector<TFlvTag> Tags;
  std::string Trailer;  // bytes after the last whole tag (normally none), kept as they were

  static TFlvFile Parse(const std::string &ABytes);
  static TFlvFile Load(const std::string &APath);
  // Every tag followed by its size + 11 as the back-pointer.
  std::string Bytes() const;
  void Save(const std::string &APath) const;

  // The highest timestamp of the tags of AType (-1 when there is none).
  int64_t LastTimestamp(uint8_t AType) const;
};

// An AMF0 script tag "ANAME" with one object argument of string and number
// properties, the shape of onCuePoint and onTextData tags.
struct TAmfValue {
  std::string Key;
  bool IsString = false;
  std::string Text;
  double Number = 0;
};
TFlvTag MakeScriptTag(int64_t ATimestamp, const std::string &AName, const std::vector<TAmfValue> &AValues);

// Makes onMetaData's duration say ASeconds, as recorders that get it wrong
// do; a negative ASeconds removes it (the property renamed, so no reader
// finds it). Throws when the file's onMetaData has no duration.
void SetMetaDuration(TFlvFile &AFile, double ASeconds);

}  // namespace qvtest
