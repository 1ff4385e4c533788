#include "FlvCheck.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>

#include "FlvReader.h"

namespace flv {

namespace {

// A number from onMetaData as a whole count, held to a range where sums and
// differences cannot overflow (a recorder or a damaged file may write 1e300).
int64_t Whole(double AValue)
{
  constexpr double kLimit = 1e15;
  return std::isnan(AValue) ? 0 : int64_t(std::llround(std::clamp(AValue, -kLimit, kLimit)));
}

using L = TFindingLevel;
using A = TFindingAction;

constexpr int64_t kWrapMs = int64_t(1) << 24;   // what 24 bits of milliseconds hold
constexpr int64_t kWrapSlackMs = 60000;         // how far from a whole wrap a fall may land
constexpr int64_t kJumpMs = 1000;               // a gap counts as a jump beyond this...
constexpr int64_t kJumpSteps = 10;              // ...and beyond this many usual steps
constexpr int64_t kApartMs = 1000;              // audio and video starts or ends further apart
constexpr int64_t kDurationSlackMs = 1000;      // onMetaData's duration may be off by this, or 5 %
// Muxers write the key-frame index's times before their own start offset
// (an encoder delay of a frame or two): only a larger difference is wrong.
constexpr double kIndexSlackMs = 100;

std::string Ms(int64_t AMs) { return std::to_string(AMs) + " ms"; }


// Exp-Golomb reading of an H.264 sequence parameter set, emulation bytes removed.
class TBits {
 public:
  TBits(const uint8_t *AData, std::size_t ASize)
  {
    for (std::size_t I = 0; I < ASize; ++I) {
      if (I >= 2 && AData[I] == 3 && AData[I - 1] == 0 && AData[I - 2] == 0) continue;
      FBytes.push_back(AData[I]);
    }
  }
  uint32_t Bit()
  {
    if (FPos >= FBytes.size() * 8) {
      FOver = true;
      return 0;
    }
    uint32_t B = (FBytes[FPos / 8] >> (7 - FPos % 8)) & 1;
    ++FPos;
    return B;
  }
  uint32_t Bits(int N)
  {
    uint32_t V = 0;
    while (N-- > 0) V = V << 1 | Bit();
    return V;
  }
  uint32_t Ue()
  {
    int Zeros = 0;
    while (!Bit() && !FOver && Zeros < 32) ++Zeros;
    return Zeros >= 32 ? (FOver = true, 0) : (1u << Zeros) - 1 + Bits(Zeros);
  }
  int32_t Se()
  {
    uint32_t V = Ue();
    return V & 1 ? int32_t((V + 1) / 2) : -int32_t(V / 2);
  }
  bool Over() const { return FOver; }

 private:
  std::vector<uint8_t> FBytes;
  std::size_t FPos = 0;
  bool FOver = false;
};

bool AvcSize(const uint8_t *AData, std::size_t ASize, int &AWidth, int &AHeight)
{
  // avcC: version, profile, compatibility, level, length size, SPS count, then the first SPS by its length
  if (ASize < 8 || AData[0] != 1 || (AData[5] & 0x1f) == 0) return false;
  std::size_t Len = std::size_t(AData[6]) << 8 | AData[7];
  if (Len < 4 || 8 + Len > ASize) return false;
  TBits B(AData + 9, Len - 1);  // past the NAL header
  uint32_t Profile = B.Bits(8);
  B.Bits(16);  // constraints, level
  B.Ue();
  uint32_t Chroma = 1;
  bool Separate = false;
  static const uint32_t kHigh[] = {100, 110, 122, 244, 44, 83, 86, 118, 128, 138, 139, 134, 135};
  if (std::find(std::begin(kHigh), std::end(kHigh), Profile) != std::end(kHigh)) {
    Chroma = B.Ue();
    if (Chroma == 3) Separate = B.Bit();
    B.Ue();
    B.Ue();
    B.Bit();
    if (B.Bit())
      for (int I = 0; I < (Chroma == 3 ? 12 : 8); ++I) {
        if (!B.Bit()) continue;
        int32_t Last = 8, Next = 8;
        for (int J = 0; J < (I < 6 ? 16 : 64); ++J) {
          if (Next) Next = (Last + B.Se() + 256) % 256;
          if (Next) Last = Next;
        }
      }
  }
  B.Ue();  // frame number bits
  uint32_t PocType = B.Ue();
  if (PocType == 0) {
    B.Ue();
  } else if (PocType == 1) {
    B.Bit();
    B.Se();
    B.Se();
    for (uint32_t I = 0, N = B.Ue(); I < N && !B.Over(); ++I) B.Se();
  }
  B.Ue();
  B.Bit();
  int64_t W = (int64_t(B.Ue()) + 1) * 16, H = int64_t(B.Ue()) + 1;
  bool FrameOnly = B.Bit();
  H *= (FrameOnly ? 1 : 2) * 16;
  if (!FrameOnly) B.Bit();
  B.Bit();
  if (B.Bit()) {
    uint32_t Type = Separate ? 0 : Chroma;
    int64_t UnitX = Type == 1 || Type == 2 ? 2 : 1, UnitY = (Type == 1 ? 2 : 1) * (FrameOnly ? 1 : 2);
    int64_t Left = B.Ue(), Right = B.Ue(), Top = B.Ue(), Bottom = B.Ue();
    W -= (Left + Right) * UnitX;
    H -= (Top + Bottom) * UnitY;
  }
  if (B.Over() || W <= 0 || H <= 0 || W > 16384 || H > 16384) return false;
  AWidth = int(W);
  AHeight = int(H);
  return true;
}

bool H263Size(const uint8_t *AData, std::size_t ASize, int &AWidth, int &AHeight)
{
  if (ASize < 9) return false;
  TBits B(AData, 9);  // never holds 00 00 03 where it matters: the start code is 00 00 8x
  if (B.Bits(17) != 1) return false;
  B.Bits(5 + 8);  // version, temporal reference
  static const int kSizes[][2] = {{352, 288}, {176, 144}, {128, 96}, {320, 240}, {160, 120}};
  uint32_t Format = B.Bits(3);
  if (Format <= 1) {
    AWidth = int(B.Bits(Format ? 16 : 8));
    AHeight = int(B.Bits(Format ? 16 : 8));
  } else if (Format <= 6) {
    AWidth = kSizes[Format - 2][0];
    AHeight = kSizes[Format - 2][1];
  } else {
    return false;
  }
  return AWidth > 0 && AHeight > 0;
}

}  // namespace

std::string TrackName(const TTrack &ATrack)
{
  std::string Name = ATrack.Text ? "text" : ATrack.Kind == TKind::Video ? "video" : "audio";
  return Name + " track " + std::to_string(ATrack.Index) + " (" +
         (ATrack.Codec == TCodec::Unknown && ATrack.Enhanced ? FourCCText(ATrack.FourCCValue)
                                                             : CodecText(ATrack.Codec)) +
         ")";
}

bool PictureSize(TCodec ACodec, bool AConfig, const uint8_t *AData, std::size_t ASize, int AAdjust, int &AWidth,
                 int &AHeight)
{
  if (ACodec == TCodec::AVC) return AConfig && AvcSize(AData, ASize, AWidth, AHeight);
  if (AConfig) return false;
  switch (ACodec) {
    case TCodec::SorensonH263: return H263Size(AData, ASize, AWidth, AHeight);
    case TCodec::ScreenVideo:
    case TCodec::ScreenVideo2:
      if (ASize < 4) return false;
      AWidth = (AData[0] & 0x0f) << 8 | AData[1];
      AHeight = (AData[2] & 0x0f) << 8 | AData[3];
      return AWidth > 0 && AHeight > 0;
    case TCodec::VP6: {
      // a key frame: quantizer byte, version and profile, a buffer offset
      // when the coefficients come apart or the profile is simple, then the
      // size in macroblocks (rows, columns) which the adjustment trims
      if (ASize < 2 || (AData[0] & 0x80)) return false;
      std::size_t At = (AData[0] & 1) || !(AData[1] & 6) ? 4 : 2;
      if (ASize < At + 2 || !AData[At] || !AData[At + 1]) return false;
      AHeight = AData[At] * 16 - (AAdjust & 0x0f);
      AWidth = AData[At + 1] * 16 - (AAdjust >> 4);
      return AWidth > 0 && AHeight > 0;
    }
    default: return false;
  }
}

TFinding &TCheck::Add(const char *ACode, TFindingLevel ALevel, TFindingAction AAction, int ATrack, int64_t AOffset,
                      int64_t AMs, const std::string &AText)
{
  for (std::size_t I = 0; I < FOut.size(); ++I)
    if (FOut[I].Code == ACode && FTracks[I] == ATrack) {
      ++FOut[I].Count;
      return FOut[I];
    }
  FOut.push_back({ACode, ALevel, AAction, AOffset, AMs, 1, AText});
  FTracks.push_back(ATrack);
  return FOut.back();
}

void TCheck::Header(const TFileHeader &AHeader, int64_t AFirstTagPos, int64_t AFileSize)
{
  FFileSize = AFileSize;
  if (AHeader.Version != 1)
    Add("header-fields", L::Information, A::Mended, -1, 3, -1,
        "the header gives version " + std::to_string(AHeader.Version) + "; read as version 1");
  if (AHeader.DataOffset != kFileHeaderSize)
    Add("header-fields", L::Information, A::Mended, -1, 5, -1,
        "the header gives a header size of " + std::to_string(AHeader.DataOffset) + "; tags read from offset " +
            std::to_string(AFirstTagPos));
}

void TCheck::Tag(int64_t APos, const TTagHeader &AHeader)
{
  if (AHeader.Type != ttAudio && AHeader.Type != ttVideo) return;
  const bool Video = AHeader.Type == ttVideo;
  FLastMs = AHeader.Timestamp;
  TSlot &S = FSlots[Video];
  const int64_t T = AHeader.Timestamp, Last = S.LastMs;
  S.LastMs = T;
  if (Last == INT64_MIN) return;
  const char *What = Video ? "video" : "audio";
  const int Track = Video ? -2 : -3;  // tags of one kind, whatever track they carry
  if (T < Last) {
    if (T + kWrapMs - Last >= -kWrapSlackMs && T + kWrapMs - Last <= kWrapSlackMs)
      Add("timestamp-wrap", L::Warning, A::Mended, Track, APos, T,
          std::string(What) + " timestamps fall from " + Ms(Last) + " to " + Ms(T) +
              ": a 24-bit wrap written without the extension byte");
    // back by less than the usual step is jitter of a recorder's clock, which nobody sees
    else if (S.Steps == 0 || (Last - T) * S.Steps > S.StepSumMs)
      Add("timestamp-back", L::Warning, A::Mended, Track, APos, T,
          std::string(What) + " timestamps step back from " + Ms(Last) + " to " + Ms(T));
    return;
  }
  const int64_t Step = T - Last;
  if (Step > kJumpMs && S.Steps > 0 && Step * S.Steps > kJumpSteps * S.StepSumMs)
    Add("timestamp-jump", L::Warning, A::ConvertedAnyway, Track, APos, Last,
        std::string(What) + " timestamps jump from " + Ms(Last) + " to " + Ms(T) + " (usually " +
            std::to_string(S.StepSumMs / S.Steps) + " ms apart)");
  else if (Step > 0 && Step <= kJumpMs) {
    S.StepSumMs += Step;
    ++S.Steps;
  }
}

void TCheck::BackPointer(int64_t ATagPos, int64_t ATagMs, int64_t AFound, uint32_t AWant)
{
  Add("back-pointer", L::Information, A::Mended, -1, ATagPos, ATagMs,
      AFound < 0 ? "the file ends without the back-pointer of its last tag"
                 : "the back-pointer after the tag at offset " + std::to_string(ATagPos) + " is " +
                       std::to_string(AFound) + " instead of " + std::to_string(AWant));
}

void TCheck::Skipped(int64_t AFrom, int64_t ABytes)
{
  FSkippedBytes += ABytes;
  TFinding &F = Add("damaged-data", L::Error, A::Lost, -1, AFrom, FLastMs, "");
  F.Text = std::to_string(F.Count) + (F.Count == 1 ? " region" : " regions") + " of bytes that are no tag (" +
           std::to_string(FSkippedBytes) + " bytes in all) skipped";
}

void TCheck::Truncated(int64_t APos, int64_t AMs, int64_t ABytes, bool AHeaderOnly)
{
  Add("truncated-tail", L::Error, A::Lost, -1, APos, AMs,
      AHeaderOnly ? "the file ends inside a tag header (" + std::to_string(ABytes) + " bytes): the end is missing"
                  : "the file ends inside the tag at offset " + std::to_string(APos) + " (" + std::to_string(ABytes) +
                        " bytes of it): the end is missing");
}

void TCheck::MetaData(int64_t APos, const TAmfValue &AValue)
{
  if (FMetaPos >= 0) return;
  FMetaPos = APos;
  if (const TAmfValue *Size = AValue.Find("filesize"); Size && Size->Type == TAmfValue::Number)
    FMetaFileSize = Whole(Size->Num);
  const TAmfValue *Index = AValue.Find("keyframes");
  const TAmfValue *Times = Index ? Index->Find("times") : nullptr;
  const TAmfValue *Positions = Index ? Index->Find("filepositions") : nullptr;
  if (!Times || !Positions) return;
  for (const TAmfValue &V : Times->Items) FIndexTimes.push_back(V.Type == TAmfValue::Number ? V.Num : -1);
  for (const TAmfValue &V : Positions->Items) FIndexPositions.push_back(V.Type == TAmfValue::Number ? V.Num : -1);
}

void TCheck::KeyFrame(const TTrack &ATrack, const TUnit &AUnit, int64_t APos, int64_t AMs)
{
  if (FKeyTrack < 0) FKeyTrack = ATrack.Index;
  if (FKeyTrack != ATrack.Index) return;
  if (FKeyFrames.empty() || FKeyFrames.back().first != APos) FKeyFrames.emplace_back(APos, AMs);
  if (FWidth < 0 && ATrack.Codec != TCodec::AVC) {
    int W, H;
    const int Adjust = ATrack.Config.empty() ? 0 : ATrack.Config[0];
    if (PictureSize(ATrack.Codec, false, AUnit.Data, AUnit.Size, Adjust, W, H)) {
      FWidth = W;
      FHeight = H;
    }
  }
}

void TCheck::FirstConfig(const TTrack &ATrack, const TUnit &AUnit)
{
  int W, H;
  if (FWidth < 0 && ATrack.Kind == TKind::Video && (FKeyTrack < 0 || FKeyTrack == ATrack.Index) &&
      PictureSize(ATrack.Codec, true, AUnit.Data, AUnit.Size, 0, W, H)) {
    FKeyTrack = ATrack.Index;
    FWidth = W;
    FHeight = H;
  }
}

void TCheck::Dropped(const TTrack &ATrack, bool ANoConfig, int64_t APos, int64_t AMs)
{
  if (ANoConfig)
    Add("config-late", L::Error, A::Lost, ATrack.Index, APos, AMs,
        TrackName(ATrack) + ": packets come before its configuration and are dropped");
  else
    Add("key-frame-late", L::Error, A::Lost, ATrack.Index, APos, AMs,
        TrackName(ATrack) + ": pictures before its first key frame are dropped");
}

void TCheck::ConfigChanged(const TTrack &ATrack, bool AParams, int64_t APos, int64_t AMs)
{
  Add("config-changed", L::Warning, A::ConvertedAnyway, ATrack.Index, APos, AMs,
      TrackName(ATrack) + (AParams ? ": its rate or channels change mid-stream" : ": its configuration changes mid-stream"));
}

void TCheck::UnknownCodec(const TTrack &ATrack, const std::string &AWhat, int64_t APos, int64_t AMs)
{
  Add("unknown-codec", L::Error, A::Lost, ATrack.Index, APos, AMs,
      TrackName(ATrack) + " uses a codec this program does not know (" + AWhat + "): its packets are left out");
}

void TCheck::Unreadable(int64_t APos, int64_t AMs, const std::string &AWhy)
{
  Add("unreadable-tag", L::Error, A::Lost, -1, APos, AMs, "a tag cannot be read: " + AWhy);
}

void TCheck::BadComposition(const TTrack &ATrack, int32_t ACts, int64_t APos, int64_t AMs)
{
  Add("bad-composition-time", L::Warning, A::ConvertedAnyway, ATrack.Index, APos, AMs,
      TrackName(ATrack) + ": a composition time of " + Ms(ACts) + " is damage, taken as 0");
}

void TCheck::LateTrack(int64_t APos, int64_t AMs)
{
  Add("late-track", L::Error, A::Lost, -1, APos, AMs,
      "a track that first appears this late in a stream is left out");
}

void TCheck::Finish(const TFileHeader &AHeader, const std::vector<TTrack> &ATracks, const TMetaData &AMeta,
                    int64_t ADurationMs, int64_t AReadErrorAt)
{
  if (FFinished) return;
  FFinished = true;
  if (AReadErrorAt >= 0) Add("read-error", L::Error, A::Lost, -1, AReadErrorAt, -1, "a read error ends the data");
  const TTrack *Video = nullptr, *Audio = nullptr;
  int64_t First = INT64_MAX, Last = INT64_MIN;
  for (const TTrack &T : ATracks) {
    if (T.Text) continue;
    const TTrack *&Kept = T.Kind == TKind::Video ? Video : Audio;
    if (!Kept) Kept = &T;
    if (T.Packets > 0) {
      First = std::min(First, T.FirstMs);
      Last = std::max(Last, T.LastMs);
    }
    if (T.DtsShiftMs > 0)
      Add("negative-composition", L::Information, A::Mended, T.Index, -1, -1,
          TrackName(T) + " has negative composition times: its decoding times move back by " + Ms(T.DtsShiftMs));
    if (!T.Config.empty() || (T.Codec != TCodec::AVC && T.Codec != TCodec::HEVC && T.Codec != TCodec::AAC))
      continue;
    // every packet waited for a configuration that never came
    for (std::size_t I = 0; I < FOut.size(); ++I)
      if (FOut[I].Code == "config-late" && FTracks[I] == T.Index) {
        FOut[I].Code = "config-missing";
        FOut[I].Text = TrackName(T) + " never gets its configuration: all " + std::to_string(FOut[I].Count) +
                       " of its packets are lost";
      }
  }
  struct TAnnounced {
    bool Flag;
    const TTrack *Track;
    const char *What;
  };
  for (const auto &[Flag, Track, What] :
       {TAnnounced{AHeader.HasVideo, Video, "video"}, TAnnounced{AHeader.HasAudio, Audio, "audio"}}) {
    if (Flag && !Track)
      Add("header-flags", L::Information, A::Mended, -1, 4, -1,
          std::string("the header announces ") + What + " but no " + What + " tag follows");
    else if (!Flag && Track)
      Add("header-flags", L::Information, A::Mended, -1, 4, -1,
          std::string("the header does not announce the ") + What + " tags that follow");
  }
  if (Video && Audio && Video->Packets > 0 && Audio->Packets > 0) {
    if (std::llabs(Video->FirstMs - Audio->FirstMs) > kApartMs)
      Add("av-start-apart", L::Information, A::ConvertedAnyway, -1, -1, std::min(Video->FirstMs, Audio->FirstMs),
          "video starts at " + Ms(Video->FirstMs) + ", audio at " + Ms(Audio->FirstMs));
    // A track ends where its last packet's usual step ends; a lone
    // picture (a still over sound) has no end to judge.
    auto End = [](const TTrack &T) { return T.LastMs + (T.Steps ? T.StepSumMs / T.Steps : 0); };
    if (Video->Packets > 1 && Audio->Packets > 1 && std::llabs(End(*Video) - End(*Audio)) > kApartMs)
      Add("av-end-apart", L::Warning, A::ConvertedAnyway, -1, -1, std::min(End(*Video), End(*Audio)),
          "video ends at " + Ms(End(*Video)) + ", audio at " + Ms(End(*Audio)) +
              ": one of them is missing its end");
  }
  CheckMeta(AMeta, ADurationMs >= 0 ? ADurationMs : Last >= First ? Last - First : -1);
  // file order; what concerns the whole file last
  std::vector<std::size_t> Order(FOut.size());
  for (std::size_t I = 0; I < Order.size(); ++I) Order[I] = I;
  std::stable_sort(Order.begin(), Order.end(), [this](std::size_t X, std::size_t Y) {
    return uint64_t(FOut[X].Offset) < uint64_t(FOut[Y].Offset);
  });
  std::vector<TFinding> Sorted;
  std::vector<int> Tracks;
  for (std::size_t I : Order) {
    Sorted.push_back(std::move(FOut[I]));
    Tracks.push_back(FTracks[I]);
  }
  FOut.swap(Sorted);
  FTracks.swap(Tracks);
}

void TCheck::CheckMeta(const TMetaData &AMeta, int64_t ASpanMs)
{
  if (!AMeta.Present) {
    Add("metadata-missing", L::Information, A::Mended, -1, -1, -1, "no onMetaData: the tags give what it would");
    return;
  }
  if (AMeta.Duration > 0 && ASpanMs >= 0) {
    const int64_t Said = Whole(AMeta.Duration * 1000);
    // Tags that run longer are an appended recording that kept its first
    // duration; tags that stop short may be a file that lost its end.
    if (std::llabs(Said - ASpanMs) > std::max<int64_t>(kDurationSlackMs, ASpanMs / 20)) {
      if (Said < ASpanMs)
        Add("metadata-duration", L::Information, A::Mended, -1, FMetaPos, -1,
            "onMetaData gives a duration of " + Ms(Said) + "; the tags span " + Ms(ASpanMs));
      else
        Add("metadata-duration", L::Warning, A::ConvertedAnyway, -1, FMetaPos, -1,
            "onMetaData gives a duration of " + Ms(Said) + " but the tags span only " + Ms(ASpanMs) +
                ": the file may have lost its end");
    }
  }
  if (FMetaFileSize > 0 && FFileSize >= 0 && FFileSize < FMetaFileSize)
    Add("metadata-filesize", L::Warning, A::ConvertedAnyway, -1, FMetaPos, -1,
        "onMetaData gives a file size of " + std::to_string(FMetaFileSize) + " bytes but the file holds " +
            std::to_string(FFileSize) + ": it may have lost its end");
  if (FWidth > 0 && AMeta.Width > 0 && AMeta.Height > 0 &&
      (std::lround(AMeta.Width) != FWidth || std::lround(AMeta.Height) != FHeight))
    Add("metadata-size", L::Information, A::Mended, -1, FMetaPos, -1,
        "onMetaData gives a picture size of " + std::to_string(std::lround(AMeta.Width)) + "x" +
            std::to_string(std::lround(AMeta.Height)) + "; the video is " + std::to_string(FWidth) + "x" +
            std::to_string(FHeight));
  if (FIndexTimes.empty() && FIndexPositions.empty()) return;
  // Each entry must name a key frame's tag (its start, or the back-pointer
  // just before it) and its time within kIndexSlackMs.
  int64_t Bad = 0, FirstBad = -1;
  const std::size_t N = std::max(FIndexTimes.size(), FIndexPositions.size());
  for (std::size_t I = 0; I < N; ++I) {
    bool Good = I < FIndexTimes.size() && I < FIndexPositions.size();
    if (Good) {
      const int64_t Pos = Whole(FIndexPositions[I]);
      auto At = std::lower_bound(FKeyFrames.begin(), FKeyFrames.end(), Pos,
                                 [](const auto &K, int64_t P) { return K.first < P; });
      if (At != FKeyFrames.end() && At->first != Pos && At->first != Pos + int64_t(kBackPointerSize))
        At = FKeyFrames.end();
      Good = At != FKeyFrames.end() && std::fabs(FIndexTimes[I] * 1000 - double(At->second)) <= kIndexSlackMs;
    }
    if (!Good && !Bad++) FirstBad = int64_t(I);
  }
  if (Bad)
    Add("metadata-keyframes", L::Information, A::Mended, -1, FMetaPos, -1,
        "onMetaData's key-frame index has " + std::to_string(Bad) + " of " + std::to_string(N) +
            " entries that name no key frame (the first is entry " + std::to_string(FirstBad) + ")");
}

}  // namespace flv
