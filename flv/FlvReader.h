// TReader: reads an FLV file or stream into packets, one track at a time
// (each video and audio track of a multitrack file its own), repairing what
// recorders, disks and networks damage:
// - after bytes that are no tag (garbage, a torn write) it finds the next
//   whole tag and goes on, counting the bytes it passed over;
// - a tag cut by the end of the file is dropped;
// - packets of a codec that needs a configuration (AVC, HEVC, AAC) before
//   that configuration are dropped, and video then starts at a key frame;
// - a configuration that differs from the one before is handed on with the
//   first packet after it (TPacket::NewConfig);
// - negative composition times: the track's decoding times are moved back
//   by one amount, so none exceeds its presentation time.
// Every repair goes to the log and into Repairs().
//
// Plain C++: no library calls besides the byte source's. Owns nothing but
// its buffers; the byte source must outlive it. One thread at a time.
// Never throws on bad bytes; Open fails with a reason, Next ends.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "FlvFindings.h"
#include "FlvTags.h"

namespace flv {

// Where the bytes come from: a file (can seek, has a size) or a pipe.
class TByteSource {
 public:
  virtual ~TByteSource() = default;
  // Up to ASize bytes; the count read, 0 at the end, -1 on a read error.
  virtual int64_t Read(uint8_t *ABuffer, int64_t ASize) = 0;
  virtual bool CanSeek() const = 0;
  virtual bool Seek(int64_t APosition) = 0;  // false when it cannot
  virtual int64_t Size() const = 0;          // -1 when unknown
};

// A file or pipe by its descriptor (POSIX read/lseek); owns the descriptor
// when told so.
class TFdSource : public TByteSource {
 public:
  TFdSource(int AFd, bool AOwn);
  ~TFdSource() override;
  int64_t Read(uint8_t *ABuffer, int64_t ASize) override;
  bool CanSeek() const override { return FSeekable; }
  bool Seek(int64_t APosition) override;
  int64_t Size() const override { return FSize; }

 private:
  int FFd;
  bool FOwn, FSeekable;
  int64_t FSize;
};

// Bytes in memory (tests, the fuzzer); the span must outlive the source.
class TMemorySource : public TByteSource {
 public:
  TMemorySource(const uint8_t *AData, std::size_t ASize, bool ASeekable = true)
      : FData(AData), FSize(ASize), FSeekable(ASeekable) {}
  int64_t Read(uint8_t *ABuffer, int64_t ASize) override;
  bool CanSeek() const override { return FSeekable; }
  bool Seek(int64_t APosition) override;
  int64_t Size() const override { return FSeekable ? static_cast<int64_t>(FSize) : -1; }

 private:
  const uint8_t *FData;
  std::size_t FSize, FPos = 0;
  bool FSeekable;
};

// A track as the tags present it; the index is its stream's index.
struct TTrack {
  int Index = 0;  // in order of discovery
  TKind Kind = TKind::Video;
  bool Text = false;  // a text track made from onTextData/onCaption script tags (Kind unused)
  uint8_t TrackId = 0;
  TCodec Codec = TCodec::Unknown;
  bool Enhanced = false;
  uint32_t FourCCValue = 0;
  uint8_t LegacyId = 0;
  std::vector<uint8_t> Config;      // the first configuration record, empty when none came
                                    // (VP6: its size adjustment byte, the decoder's extradata)
  int SampleRate = 0, Bits = 0, Channels = 0;  // legacy audio header of its first frame
  int MultichannelCount = 0;
  TColorInfo Color;
  bool UsesNano = false;            // a ModEx nanosecond offset was seen
  int32_t DtsShiftMs = 0;           // decoding times moved back by this (negative composition times)
  int ConfigChanges = 0;            // configurations that differed from the one before
  bool ParamsChange = false;        // legacy audio whose rate or channels change mid-stream
  int64_t FirstMs = INT64_MIN, LastMs = INT64_MIN;  // first and last timestamps seen
  int64_t LastPtsMs = INT64_MIN;  // the latest presentation time seen (timestamp plus composition time)
  int64_t Packets = 0, Bytes = 0;   // seen by the scan (whole file) or so far
  int64_t StepSumMs = 0, Steps = 0;  // steps between consecutive timestamps of at most a second
};

// What onMetaData says; every field may be missing (-1 / empty) or wrong.
struct TMetaData {
  bool Present = false;
  double Duration = -1, Width = -1, Height = -1, FrameRate = -1;
  double VideoDataRate = -1, AudioDataRate = -1, AudioSampleRate = -1;
  std::string VideoCodecId, AudioCodecId;  // the number as text, or a FourCC
  // Every string, number and Boolean property as text, in file order.
  std::vector<std::pair<std::string, std::string>> Tags;
};

struct TPacket {
  int Stream = -1;   // TTrack::Index
  int64_t DtsNs = 0, PtsNs = 0;  // nanoseconds: tag ms, plus ModEx offset, plus composition time (pts)
  bool Key = false;
  std::vector<uint8_t> Data;       // reused between calls: keep one TPacket
  std::vector<uint8_t> NewConfig;  // non-empty: the configuration in force from this packet on
  int64_t Position = -1;           // the tag's file offset
};

struct TRepairs {
  int Resyncs = 0;
  int64_t BytesSkipped = 0;
  int TruncatedTags = 0;
  int64_t DroppedBeforeConfig = 0;  // packets before their configuration or first key frame
  int ConfigChanges = 0;
  int ShiftedTracks = 0;            // tracks whose decoding times were moved back
  int64_t UnreadableUnits = 0;      // bodies that could not be parsed, or of unknown codecs
  bool Any() const { return Resyncs || TruncatedTags || DroppedBeforeConfig || ConfigChanges || ShiftedTracks; }
};

class TReader {
 public:
  // ALevel: 0 error, 1 warning or information, 2 detail.
  using TLog = std::function<void(int ALevel, const std::string &AText)>;

  explicit TReader(TByteSource &ASource, TLog ALog = {});
  ~TReader();
  TReader(const TReader &) = delete;
  TReader &operator=(const TReader &) = delete;

  // Reads the header and learns the tracks: on a source that can seek from a
  // scan of every tag (which also gives the real length, the composition
  // shifts and the configuration changes), on a pipe from the tags of the
  // first seconds, which Next then hands out first. False with AError when
  // the bytes are no FLV or hold no readable track.
  bool Open(std::string &AError);
  const std::vector<TTrack> &Tracks() const;
  const TMetaData &Meta() const;
  const TRepairs &Repairs() const;
  // The span from the first to the last timestamp of the tags, in ms, as
  // read by the scan; -1 on a pipe.
  int64_t DurationMs() const;
  // What is wrong with the file, in file order; complete after Open on a
  // source that can seek, so far on a pipe.
  const std::vector<TFinding> &Findings() const;

  // The next packet; false at the end of the data (or after a read error).
  bool Next(TPacket &APacket);
  // Whether the data ended with a read error (a failing disk, a share that
  // dropped) rather than at its end: what follows is lost, not absent.
  bool ReadFailed() const;
  // Goes to the last video key frame at or before AMs (any tag when there is
  // no video); false on a pipe or with nothing before AMs.
  bool SeekMs(int64_t AMs);

 private:
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
};

// Whether the first bytes of a file look like FLV (the signature, version 1,
// a header size of at least 9).
bool LooksLikeFlv(const uint8_t *AData, std::size_t ASize);

}  // namespace flv
