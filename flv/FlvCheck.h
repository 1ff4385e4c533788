// TCheck: turns what the reader meets while it reads the tags into findings
// (FlvFindings.h). The reader calls it while it counts (the scan of a file,
// everything read from a pipe) and calls Finish once the data has ended;
// what needs the whole file (drift, onMetaData against the tags, missing
// configurations) is judged there.
//
// Inside the FLV library only. Plain C++, one thread at a time; appends to
// the list it is given, which must outlive it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "FlvFindings.h"
#include "FlvTags.h"

namespace flv {

struct TTrack;
struct TMetaData;

class TCheck {
 public:
  explicit TCheck(std::vector<TFinding> &AOut) : FOut(AOut) {}

  // The file header: its version and the header size it claims; the
  // file's size, -1 on a pipe.
  void Header(const TFileHeader &AHeader, int64_t AFirstTagPos, int64_t AFileSize);
  // Every tag read, in file order, before its body is looked at.
  void Tag(int64_t APos, const TTagHeader &AHeader);
  // The back-pointer after the tag at ATagPos holds AFound instead of AWant;
  // AFound -1: the file ends where it should be.
  void BackPointer(int64_t ATagPos, int64_t ATagMs, int64_t AFound, uint32_t AWant);
  void Skipped(int64_t AFrom, int64_t ABytes);
  // The file ends inside a tag (or its header when AHeaderOnly).
  void Truncated(int64_t APos, int64_t AMs, int64_t ABytes, bool AHeaderOnly);
  // onMetaData as read: its key-frame index is kept for Finish.
  void MetaData(int64_t APos, const TAmfValue &AValue);
  // A video key frame that is handed on: its place, and the picture size of
  // the codecs whose frames carry it.
  void KeyFrame(const TTrack &ATrack, const TUnit &AUnit, int64_t APos, int64_t AMs);
  void FirstConfig(const TTrack &ATrack, const TUnit &AUnit);
  // A packet dropped before its track's configuration (or first key frame).
  void Dropped(const TTrack &ATrack, bool ANoConfig, int64_t APos, int64_t AMs);
  void ConfigChanged(const TTrack &ATrack, bool AParams, int64_t APos, int64_t AMs);
  void UnknownCodec(const TTrack &ATrack, const std::string &AWhat, int64_t APos, int64_t AMs);
  void Unreadable(int64_t APos, int64_t AMs, const std::string &AWhy);
  void BadComposition(const TTrack &ATrack, int32_t ACts, int64_t APos, int64_t AMs);
  void LateTrack(int64_t APos, int64_t AMs);

  // The data has ended: judges the whole and puts the findings in file
  // order. ADurationMs: the tags' span, -1 to take it from the tracks;
  // AReadErrorAt: where a read error ended the data, -1 when none did.
  void Finish(const TFileHeader &AHeader, const std::vector<TTrack> &ATracks, const TMetaData &AMeta,
              int64_t ADurationMs, int64_t AReadErrorAt);

 private:
  // Adds a finding, or counts one more of the same code and track.
  TFinding &Add(const char *ACode, TFindingLevel ALevel, TFindingAction AAction, int ATrack, int64_t AOffset,
                int64_t AMs, const std::string &AText);
  void CheckMeta(const TMetaData &AMeta, int64_t ASpanMs);

  struct TSlot {
    int64_t LastMs = INT64_MIN, StepSumMs = 0, Steps = 0;
  };
  std::vector<TFinding> &FOut;
  std::vector<int> FTracks;  // per finding: the track it concerns, -1 for the file
  TSlot FSlots[2];           // audio, video tags
  int64_t FLastMs = -1;       // the last audio or video tag's time
  int64_t FMetaPos = -1, FMetaFileSize = -1, FFileSize = -1, FSkippedBytes = 0;
  std::vector<double> FIndexTimes, FIndexPositions;  // onMetaData's key-frame index
  std::vector<std::pair<int64_t, int64_t>> FKeyFrames;  // (position, ms) of the first video track's key frames
  int FKeyTrack = -1;
  int FWidth = -1, FHeight = -1;  // the first video track's picture size, -1 when unknown
  bool FFinished = false;
};

// "video track 0 (AVC)" for messages.
std::string TrackName(const TTrack &ATrack);

// The picture size a codec configuration (AVC's record) or a legacy key
// frame (Sorenson H.263, Screen Video, VP6 with its adjustment byte in
// AAdjust) gives; false when it does not say or cannot be read.
bool PictureSize(TCodec ACodec, bool AConfig, const uint8_t *AData, std::size_t ASize, int AAdjust, int &AWidth,
                 int &AHeight);

}  // namespace flv
