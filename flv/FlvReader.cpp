#include "FlvReader.h"

#include "FlvCheck.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstring>
#include <deque>

namespace flv {

namespace {

constexpr std::size_t kChunk = 256 * 1024;        // one read from the source
constexpr uint32_t kMaxBody = 16 * 1024 * 1024;   // larger bodies are damage
constexpr int64_t kResyncWindowMs = 60000;        // a found tag must be this close in time
constexpr int64_t kPipeWindowMs = 3000;           // what a pipe is read ahead to learn its tracks
constexpr int64_t kPipeReadyMs = 1000;            // at least this much even when every track is ready
constexpr int64_t kPipeWindowBytes = 2 * 1024 * 1024;
constexpr std::size_t kMaxQueued = 20000;
constexpr std::size_t kMaxHistoryBytes = 64 * 1024 * 1024;
constexpr int kMaxUnreadableLogs = 10;
// Reordering never needs seconds; a larger composition time is a damaged
// one, and taken as is it would move a whole track's decoding times.
constexpr int32_t kMaxCompositionMs = 10000;

uint32_t U32(const uint8_t *P) { return uint32_t(P[0]) << 24 | uint32_t(P[1]) << 16 | uint32_t(P[2]) << 8 | P[3]; }

bool Sane(const TTagHeader &H)
{
  return (H.Type == ttAudio || H.Type == ttVideo || H.Type == ttScript) && H.StreamId == 0 && H.DataSize <= kMaxBody;
}

int Slot(uint8_t AType) { return AType == ttAudio ? 0 : AType == ttVideo ? 1 : 2; }

bool NeedsConfig(TCodec ACodec) { return ACodec == TCodec::AVC || ACodec == TCodec::HEVC || ACodec == TCodec::AAC; }

// Numbers as text without the locale's decimal separator.
std::string NumberText(double AValue)
{
  char Text[64];
  auto Result = std::to_chars(Text, Text + sizeof Text, AValue);
  return std::string(Text, Result.ptr);
}

// A codec id of onMetaData: the legacy number, or a FourCC stored as a number.
std::string CodecIdText(const TAmfValue &AValue)
{
  if (AValue.Type == TAmfValue::String) return AValue.Text;
  if (AValue.Type != TAmfValue::Number) return {};
  if (AValue.Num >= 0x01000000 && AValue.Num <= 4294967295.0 && AValue.Num == std::floor(AValue.Num)) {
    std::string Text = FourCCText(uint32_t(AValue.Num));
    if (Text.compare(0, 2, "0x") != 0) return Text;
  }
  return NumberText(AValue.Num);
}

}  // namespace

// ---------------------------------------------------------------- sources

TFdSource::TFdSource(int AFd, bool AOwn) : FFd(AFd), FOwn(AOwn), FSeekable(false), FSize(-1)
{
  struct stat St;
  if (fstat(FFd, &St) == 0 && S_ISREG(St.st_mode) && lseek(FFd, 0, SEEK_CUR) >= 0) {
    FSeekable = true;
    FSize = St.st_size;
  }
}

TFdSource::~TFdSource()
{
  if (FOwn && FFd >= 0) close(FFd);
}

int64_t TFdSource::Read(uint8_t *ABuffer, int64_t ASize)
{
  std::size_t Want = std::size_t(std::min<int64_t>(ASize, 1 << 30));
  for (;;) {
    ssize_t Got = read(FFd, ABuffer, Want);
    if (Got >= 0) return Got;
    if (errno != EINTR) return -1;
  }
}

bool TFdSource::Seek(int64_t APosition)
{
  return FSeekable && APosition >= 0 && lseek(FFd, off_t(APosition), SEEK_SET) == off_t(APosition);
}

int64_t TMemorySource::Read(uint8_t *ABuffer, int64_t ASize)
{
  if (ASize <= 0) return 0;
  std::size_t Count = std::min<std::size_t>(std::size_t(ASize), FSize - FPos);
  if (Count) std::memcpy(ABuffer, FData + FPos, Count);
  FPos += Count;
  return int64_t(Count);
}

bool TMemorySource::Seek(int64_t APosition)
{
  if (!FSeekable || APosition < 0 || uint64_t(APosition) > FSize) return false;
  FPos = std::size_t(APosition);
  return true;
}

bool LooksLikeFlv(const uint8_t *AData, std::size_t ASize)
{
  return ASize >= kFileHeaderSize && AData[0] == 'F' && AData[1] == 'L' && AData[2] == 'V' && AData[3] == 1 &&
         U32(AData + 5) >= kFileHeaderSize;
}

// ---------------------------------------------------------------- reader

struct TReader::TImpl {
  struct TTag {
    int64_t Pos = 0;
    TTagHeader H;
    const uint8_t *Body = nullptr;  // inside Buf, valid until the next read
  };
  // What the reading position knows of a track, beside the figures in TTrack.
  struct TState {
    bool HaveConfig = false, KeySeen = false, DropLogged = false, UnknownLogged = false, ParamsLogged = false;
    bool CtsLogged = false;
    std::vector<uint8_t> Current;    // the configuration in force where we read
    std::vector<uint8_t> Delivered;  // the one the caller has last been given
    int32_t MinCts = 0;
    int64_t FirstConfigPos = -1;     // kept across passes, for seeking
  };
  struct TQueued {
    TPacket Packet;
    int64_t Ms = 0;
    int32_t Cts = 0, Nano = 0;
  };
  struct TIndexEntry {
    int64_t Ms, Pos;
  };
  struct TConfigEntry {
    int64_t Pos;
    int Track;
    std::vector<uint8_t> Bytes;
  };

  TByteSource &Src;
  TLog Log;

  // buffered input: Buf[0] is at file offset BufOff, Pos is the reading position
  std::unique_ptr<uint8_t[]> Buf;
  std::size_t Cap = 0;
  int64_t BufOff = 0, Pos = 0;
  std::size_t BufLen = 0;
  bool SrcEnd = false, ReadError = false;
  bool Seekable = false;
  int64_t FileSize = -1;

  TFileHeader Header;
  int64_t FirstTagPos = 13;
  std::vector<TTrack> Tracks;
  std::vector<TState> States;
  int TextTrack = -1;
  TMetaData Meta;
  TRepairs Repairs;
  std::vector<TFinding> Findings;
  TCheck Check{Findings};
  int64_t Duration = -1;
  // the duration: the first media tag's time, and the last audio and video
  // tags' (the later of the two; a damaged time mid-file does not count)
  int64_t FirstMediaMs = INT64_MIN, LastMediaMs[2] = {INT64_MIN, INT64_MIN};

  // Counting: repairs are counted and logged and track figures gathered (the
  // scan, and everything read from a pipe). A seekable file's packet pass
  // meets the same damage again and stays quiet.
  bool Counting = true, MayAddTracks = true, Emitting = false, Ended = true, LateTrackLogged = false;
  int64_t LastTs[3] = {INT64_MIN, INT64_MIN, INT64_MIN};
  int UnreadableLogs = 0;

  std::deque<TQueued> Queue;
  TPacket *Out = nullptr;
  bool OutUsed = false;

  std::vector<TIndexEntry> KeyIndex, AnyIndex;
  std::vector<TConfigEntry> History;
  std::size_t HistoryBytes = 0;

  std::vector<TUnit> Units;
  std::string Error;

  TImpl(TByteSource &ASource, TLog ALog) : Src(ASource), Log(std::move(ALog)) {}

  void Say(int ALevel, const std::string &AText)
  {
    if (Log) Log(ALevel, AText);
  }

  // ---- buffer

  const uint8_t *At(int64_t AOffset) const { return Buf.get() + (AOffset - BufOff); }
  int64_t BufEnd() const { return BufOff + int64_t(BufLen); }

  // Makes [Pos, Pos + N) readable as far as the data goes; the count that is.
  // The buffer grows only as data arrives, doubling, so a claimed size near
  // the end of a short input costs nothing.
  std::size_t Ensure(std::size_t N)
  {
    std::size_t Start = std::size_t(Pos - BufOff);
    if (Start + N <= BufLen) return N;
    if (!SrcEnd) {
      if (Start > 0 && Start + N > Cap) {
        std::memmove(Buf.get(), Buf.get() + Start, BufLen - Start);
        BufLen -= Start;
        BufOff = Pos;
        Start = 0;
      }
      while (BufLen < Start + N && !SrcEnd) {
        if (BufLen == Cap) Grow(std::max(Cap * 2, kChunk));
        int64_t Got = Src.Read(Buf.get() + BufLen, int64_t(Cap - BufLen));
        if (Got <= 0) {
          SrcEnd = true;
          ReadError = Got < 0;
        } else {
          BufLen += std::size_t(Got);
        }
      }
    }
    return std::min(N, BufLen - Start);
  }

  void Grow(std::size_t ACap)
  {
    std::unique_ptr<uint8_t[]> Bigger(new uint8_t[ACap]);
    if (BufLen) std::memcpy(Bigger.get(), Buf.get(), BufLen);
    Buf = std::move(Bigger);
    Cap = ACap;
  }

  bool SetPos(int64_t AOffset)
  {
    if (AOffset >= BufOff && AOffset <= BufEnd()) {
      Pos = AOffset;
      return true;
    }
    if (Seekable) {
      BufOff = Pos = AOffset;
      BufLen = 0;
      SrcEnd = !Src.Seek(AOffset);
      return !SrcEnd;
    }
    // a pipe only goes forward
    if (AOffset < BufOff) return false;
    Pos = BufEnd();
    while (Pos < AOffset) {
      std::size_t Got = Ensure(std::size_t(std::min<int64_t>(AOffset - Pos, int64_t(kChunk))));
      if (!Got) return false;
      Pos += int64_t(Got);
    }
    return true;
  }

  // ---- tags

  bool NextFits(int64_t AOffset, const TTagHeader &AHeader) const
  {
    return FileSize < 0 || AOffset + int64_t(kTagHeaderSize) + int64_t(AHeader.DataSize) <= FileSize;
  }

  // Scans forward from AFrom + 1 for a whole tag: a plausible header whose
  // back-pointer agrees and whose time is near the last one of its type.
  bool Resync(int64_t AFrom)
  {
    for (int64_t Q = AFrom + 1;; ++Q) {
      Pos = Q;
      if (Ensure(kTagHeaderSize) < kTagHeaderSize) return false;
      const uint8_t *P = At(Q);
      if ((P[0] != ttAudio && P[0] != ttVideo && P[0] != ttScript) || P[8] || P[9] || P[10]) continue;
      TTagHeader H = ParseTagHeader(P);
      if (H.DataSize > kMaxBody || !NextFits(Q, H)) continue;
      std::size_t Whole = kTagHeaderSize + H.DataSize;
      if (Ensure(Whole + kBackPointerSize) < Whole + kBackPointerSize || U32(At(Q + int64_t(Whole))) != Whole)
        continue;
      int64_t Last = LastTs[Slot(H.Type)];
      if (Last != INT64_MIN && std::llabs(H.Timestamp - Last) > kResyncWindowMs) continue;
      if (Counting) {
        ++Repairs.Resyncs;
        Repairs.BytesSkipped += Q - AFrom;
        Check.Skipped(AFrom, Q - AFrom);
        Say(1, "FLV: " + std::to_string(Q - AFrom) + " bytes that are no tag skipped at offset " +
                   std::to_string(AFrom));
      }
      Pos = Q;
      return true;
    }
  }

  // The next whole tag, finding its way past damage; false at the end.
  bool ReadTag(TTag &ATag)
  {
    for (;;) {
      int64_t P = Pos;
      std::size_t Avail = Ensure(kTagHeaderSize);
      if (Avail == 0) return false;
      if (Avail < kTagHeaderSize) {
        if (Counting) {
          ++Repairs.TruncatedTags;
          Check.Truncated(P, -1, int64_t(Avail), true);
          Say(1, "FLV: the last " + std::to_string(Avail) + " bytes are a cut tag header: dropped");
        }
        Pos += int64_t(Avail);
        return false;
      }
      TTagHeader H = ParseTagHeader(At(P));
      bool Cut = false;
      if (Sane(H)) {
        std::size_t Whole = kTagHeaderSize + H.DataSize, Need = Whole + kBackPointerSize;
        if (NextFits(P, H) && (Avail = Ensure(Need + kTagHeaderSize)) >= Whole) {
          bool Accept = true;
          // Many muxers write wrong back-pointers: a plausible next header is
          // enough. Plausible is strict (no flag bits, near in time), as a
          // wrong size lands it in the middle of data.
          if (Avail == Need + kTagHeaderSize && U32(At(P + int64_t(Whole))) != Whole) {
            const uint8_t *N = At(P + int64_t(Need));
            TTagHeader Next = ParseTagHeader(N);
            Accept = (N[0] == ttAudio || N[0] == ttVideo || N[0] == ttScript) && Sane(Next) &&
                     NextFits(P + int64_t(Need), Next) && std::llabs(Next.Timestamp - H.Timestamp) <= kResyncWindowMs;
          }
          if (Accept) {
            if (Counting) {
              if (Avail < Need)
                Check.BackPointer(P, H.Timestamp, -1, uint32_t(Whole));
              else if (U32(At(P + int64_t(Whole))) != Whole)
                Check.BackPointer(P, H.Timestamp, U32(At(P + int64_t(Whole))), uint32_t(Whole));
              Check.Tag(P, H);
            }
            ATag.Pos = P;
            ATag.H = H;
            ATag.Body = At(P + int64_t(kTagHeaderSize));
            Pos = P + int64_t(std::min(Need, Avail));
            LastTs[Slot(H.Type)] = H.Timestamp;
            return true;
          }
        } else {
          Cut = true;
        }
      }
      if (Resync(P)) continue;
      Pos = BufEnd();
      if (Counting) {
        if (Cut) {
          ++Repairs.TruncatedTags;
          Check.Truncated(P, H.Timestamp, Pos - P, false);
          Say(1, "FLV: the tag at offset " + std::to_string(P) + " (" + std::to_string(H.DataSize) +
                     " bytes at " + std::to_string(H.Timestamp) + " ms) is cut by the end of the file: dropped");
        } else {
          Repairs.BytesSkipped += Pos - P;
          Check.Skipped(P, Pos - P);
          Say(1, "FLV: the last " + std::to_string(Pos - P) + " bytes, from offset " + std::to_string(P) +
                     ", hold no whole tag: skipped");
        }
      }
      return false;
    }
  }

  // ---- tracks and packets

  int FindTrack(TKind AKind, uint8_t AId) const
  {
    for (const TTrack &T : Tracks)
      if (!T.Text && T.Kind == AKind && T.TrackId == AId) return T.Index;
    return -1;
  }

  int AddTrack()
  {
    Tracks.emplace_back();
    Tracks.back().Index = int(Tracks.size() - 1);
    States.emplace_back();
    return Tracks.back().Index;
  }

  void Unreadable(const TTag &ATag, const std::string &AWhy)
  {
    if (!Counting) return;
    ++Repairs.UnreadableUnits;
    Check.Unreadable(ATag.Pos, ATag.H.Timestamp, AWhy);
    if (UnreadableLogs++ < kMaxUnreadableLogs)
      Say(1, "FLV: the tag at offset " + std::to_string(ATag.Pos) + " (" + std::to_string(ATag.H.Timestamp) +
                 " ms) cannot be read: " + AWhy);
  }

  void Times(int AStream, int64_t AMs, int32_t ACts, int32_t ANano, TPacket &APacket) const
  {
    int64_t Shift = Tracks[AStream].DtsShiftMs;
    // a later frame more negative than the window showed: presentation no earlier than decoding
    if (ACts < -Shift) ACts = int32_t(-Shift);
    APacket.DtsNs = (AMs - Shift) * 1000000 + ANano;
    APacket.PtsNs = (AMs + ACts) * 1000000 + ANano;
  }

  void Emit(int AStream, const TTag &ATag, int32_t ACts, int32_t ANano, bool AKey, const uint8_t *AData,
            std::size_t ASize)
  {
    if (!Emitting) return;
    TState &S = States[AStream];
    bool Changed = S.Current != S.Delivered;
    if (Changed) S.Delivered = S.Current;
    TPacket *P;
    if (Out && !OutUsed) {
      P = Out;
      OutUsed = true;
      Times(AStream, ATag.H.Timestamp, ACts, ANano, *P);
    } else {
      Queue.emplace_back();
      Queue.back().Ms = ATag.H.Timestamp;
      Queue.back().Cts = ACts;
      Queue.back().Nano = ANano;
      P = &Queue.back().Packet;
    }
    P->Stream = AStream;
    P->Key = AKey;
    P->Data.assign(AData, AData + ASize);
    if (Changed)
      P->NewConfig = S.Current;
    else
      P->NewConfig.clear();
    P->Position = ATag.Pos;
  }

  void Count(TTrack &ATrack, int64_t AMs, std::size_t ASize, int32_t ACts = 0)
  {
    // Steps between pictures up to a second long: the rate they come at,
    // which holes and jumps in the timestamps would otherwise pull down.
    if (ATrack.Packets > 0 && AMs > ATrack.LastMs && AMs - ATrack.LastMs <= 1000) {
      ATrack.StepSumMs += AMs - ATrack.LastMs;
      ++ATrack.Steps;
    }
    ++ATrack.Packets;
    ATrack.Bytes += int64_t(ASize);
    if (ATrack.FirstMs == INT64_MIN) ATrack.FirstMs = AMs;
    ATrack.LastMs = AMs;
    ATrack.LastPtsMs = std::max(ATrack.LastPtsMs, AMs + ACts);
  }

  void Config(const TTag &ATag, const TUnit &AUnit, TTrack &ATrack, TState &S)
  {
    if (!S.HaveConfig) {
      S.HaveConfig = true;
      S.Current.assign(AUnit.Data, AUnit.Data + AUnit.Size);
      if (Counting && S.FirstConfigPos < 0) {
        S.FirstConfigPos = ATag.Pos;
        ATrack.Config = S.Current;
        S.Delivered = S.Current;
        Check.FirstConfig(ATrack, AUnit);
      }
      return;
    }
    // identical repeats are common and mean nothing
    if (S.Current.size() == AUnit.Size && std::equal(S.Current.begin(), S.Current.end(), AUnit.Data)) return;
    S.Current.assign(AUnit.Data, AUnit.Data + AUnit.Size);
    if (!Counting) return;
    ++Repairs.ConfigChanges;
    ++ATrack.ConfigChanges;
    Check.ConfigChanged(ATrack, false, ATag.Pos, ATag.H.Timestamp);
    Say(1, "FLV: the configuration of " + TrackName(ATrack) + " changes at " + std::to_string(ATag.H.Timestamp) +
               " ms");
    if (Seekable && HistoryBytes + S.Current.size() <= kMaxHistoryBytes) {
      History.push_back({ATag.Pos, ATrack.Index, S.Current});
      HistoryBytes += S.Current.size();
    }
  }

  void Frame(const TTag &ATag, const TUnit &AUnit, TTrack &ATrack, TState &S)
  {
    if (NeedsConfig(AUnit.Codec)) {
      bool Drop = !S.HaveConfig;
      if (!Drop && AUnit.Kind == TKind::Video && !S.KeySeen) {
        S.KeySeen = AUnit.Key;
        Drop = !AUnit.Key;
      }
      if (Drop) {
        if (Counting) {
          ++Repairs.DroppedBeforeConfig;
          Check.Dropped(ATrack, !S.HaveConfig, ATag.Pos, ATag.H.Timestamp);
          if (!S.DropLogged)
            Say(1, "FLV: " + TrackName(ATrack) + ": packets before its " +
                       (S.HaveConfig ? "first key frame" : "configuration") + " are dropped, from " +
                       std::to_string(ATag.H.Timestamp) + " ms");
        }
        S.DropLogged = true;
        return;
      }
    }
    int32_t Cts = AUnit.CompositionMs;
    if (Cts > kMaxCompositionMs || Cts < -kMaxCompositionMs) {
      if (Counting) Check.BadComposition(ATrack, Cts, ATag.Pos, ATag.H.Timestamp);
      if (Counting && !S.CtsLogged)
        Say(1, "FLV: " + TrackName(ATrack) + ": a composition time of " + std::to_string(Cts) + " ms at " +
                   std::to_string(ATag.H.Timestamp) + " ms is damage, taken as 0");
      S.CtsLogged = true;
      Cts = 0;
    }
    if (Counting) {
      if (AUnit.Kind == TKind::Audio && !AUnit.Enhanced) {
        if (ATrack.Packets == 0) {
          ATrack.SampleRate = AUnit.SampleRate;
          ATrack.Bits = AUnit.Bits;
          ATrack.Channels = AUnit.Channels;
        } else if (AUnit.SampleRate != ATrack.SampleRate || AUnit.Channels != ATrack.Channels) {
          ATrack.ParamsChange = true;
          Check.ConfigChanged(ATrack, true, ATag.Pos, ATag.H.Timestamp);
          if (!S.ParamsLogged)
            Say(1, "FLV: " + TrackName(ATrack) + " changes its rate or channels at " +
                       std::to_string(ATag.H.Timestamp) + " ms");
          S.ParamsLogged = true;
        }
      }
      Count(ATrack, ATag.H.Timestamp, AUnit.Size, Cts);
      S.MinCts = std::min(S.MinCts, Cts);
      if (AUnit.NanoOffset) ATrack.UsesNano = true;
      if (AUnit.Kind == TKind::Video && AUnit.Key) Check.KeyFrame(ATrack, AUnit, ATag.Pos, ATag.H.Timestamp);
      if (Seekable && AUnit.Kind == TKind::Video && AUnit.Key && (KeyIndex.empty() || KeyIndex.back().Pos != ATag.Pos))
        KeyIndex.push_back({ATag.H.Timestamp, ATag.Pos});
    }
    Emit(ATrack.Index, ATag, Cts, AUnit.NanoOffset, AUnit.Key, AUnit.Data, AUnit.Size);
  }

  void Unit(const TTag &ATag, const TUnit &AUnit)
  {
    if (AUnit.Command) return;
    int Index = FindTrack(AUnit.Kind, AUnit.Track);
    if (Index < 0) {
      if (!MayAddTracks) {
        if (Counting) Check.LateTrack(ATag.Pos, ATag.H.Timestamp);
        if (!LateTrackLogged && Counting)
          Say(1, "FLV: a track that first appears at " + std::to_string(ATag.H.Timestamp) + " ms is left out");
        LateTrackLogged = true;
        return;
      }
      Index = AddTrack();
      TTrack &T = Tracks[Index];
      T.Kind = AUnit.Kind;
      T.TrackId = AUnit.Track;
      T.Codec = AUnit.Codec;
      T.Enhanced = AUnit.Enhanced;
      T.FourCCValue = AUnit.FourCCValue;
      T.LegacyId = AUnit.LegacyId;
      T.SampleRate = AUnit.SampleRate;
      T.Bits = AUnit.Bits;
      T.Channels = AUnit.Channels;
    }
    TTrack &T = Tracks[Index];
    TState &S = States[Index];
    if (AUnit.Codec == TCodec::Unknown) {
      if (Counting) {
        ++Repairs.UnreadableUnits;
        Check.UnknownCodec(T,
                           AUnit.Enhanced ? "FourCC " + FourCCText(AUnit.FourCCValue)
                                          : "id " + std::to_string(AUnit.LegacyId),
                           ATag.Pos, ATag.H.Timestamp);
        if (!S.UnknownLogged)
          Say(1, "FLV: " + TrackName(T) + " uses a codec this reader does not know (" +
                     (AUnit.Enhanced ? "FourCC " + FourCCText(AUnit.FourCCValue)
                                     : "id " + std::to_string(AUnit.LegacyId)) +
                     "): its packets are left out");
      }
      S.UnknownLogged = true;
      return;
    }
    switch (AUnit.Type) {
      case TUnitType::Config: Config(ATag, AUnit, T, S); break;
      case TUnitType::Frame: Frame(ATag, AUnit, T, S); break;
      case TUnitType::Metadata:
        if (Counting && AUnit.Color.Present()) T.Color = AUnit.Color;
        break;
      case TUnitType::Multichannel:
        if (Counting) T.MultichannelCount = AUnit.MultichannelCount;
        break;
      case TUnitType::EndOfSequence: break;
    }
  }

  void FillMeta(const TAmfValue &AValue)
  {
    Meta.Present = true;
    for (const auto &[Name, Value] : AValue.Props) {
      if (Value.Type == TAmfValue::Number) {
        double *Field = Name == "duration"          ? &Meta.Duration
                        : Name == "width"           ? &Meta.Width
                        : Name == "height"          ? &Meta.Height
                        : Name == "framerate"       ? &Meta.FrameRate
                        : Name == "videodatarate"   ? &Meta.VideoDataRate
                        : Name == "audiodatarate"   ? &Meta.AudioDataRate
                        : Name == "audiosamplerate" ? &Meta.AudioSampleRate
                                                    : nullptr;
        if (Field) *Field = Value.Num;
      }
      if (Name == "videocodecid") Meta.VideoCodecId = CodecIdText(Value);
      if (Name == "audiocodecid") Meta.AudioCodecId = CodecIdText(Value);
      if (Value.Type == TAmfValue::String)
        Meta.Tags.emplace_back(Name, Value.Text);
      else if (Value.Type == TAmfValue::Number)
        Meta.Tags.emplace_back(Name, NumberText(Value.Num));
      else if (Value.Type == TAmfValue::Boolean)
        Meta.Tags.emplace_back(Name, Value.Num ? "true" : "false");
    }
  }

  void Script(const TTag &ATag)
  {
    std::string Name;
    TAmfValue Value;
    // a value cut short still gives its first properties
    ParseScriptBody(ATag.Body, ATag.H.DataSize, Name, Value);
    if (Name == "onMetaData") {
      if (!Meta.Present && Counting) {
        FillMeta(Value);
        Check.MetaData(ATag.Pos, Value);
      }
      return;
    }
    // Captions give their text; other named script data (cue points, say)
    // travels whole, so that a copy keeps it.
    const uint8_t *Bytes = ATag.Body;
    std::size_t Size = ATag.H.DataSize;
    if (Name == "onTextData" || Name == "onCaption") {
      const TAmfValue *Text = Value.Find("text");
      if (!Text || Text->Type != TAmfValue::String) return;
      Bytes = reinterpret_cast<const uint8_t *>(Text->Text.data());
      Size = Text->Text.size();
    } else if (Name.empty()) {
      return;
    }
    if (TextTrack < 0) {
      if (!MayAddTracks) return;
      TextTrack = AddTrack();
      Tracks[TextTrack].Text = true;
    }
    if (Counting) Count(Tracks[TextTrack], ATag.H.Timestamp, Size);
    Emit(TextTrack, ATag, 0, 0, true, Bytes, Size);
  }

  void ProcessTag(const TTag &ATag)
  {
    if (ATag.H.Type == ttScript) {
      Script(ATag);
      return;
    }
    if (Counting && Seekable) {
      if (FirstMediaMs == INT64_MIN) FirstMediaMs = ATag.H.Timestamp;
      LastMediaMs[ATag.H.Type == ttVideo] = ATag.H.Timestamp;
      if (AnyIndex.empty() || ATag.H.Timestamp > AnyIndex.back().Ms) AnyIndex.push_back({ATag.H.Timestamp, ATag.Pos});
    }
    if (ATag.H.DataSize == 0) return;  // silence or a keep-alive: nothing to read
    if (ATag.H.Filter) {
      Unreadable(ATag, "its body is encrypted");
      return;
    }
    Units.clear();
    bool Ok = ATag.H.Type == ttVideo ? ParseVideoBody(ATag.Body, ATag.H.DataSize, Units, Error)
                                     : ParseAudioBody(ATag.Body, ATag.H.DataSize, Units, Error);
    if (!Ok) Unreadable(ATag, Error);
    for (const TUnit &U : Units) Unit(ATag, U);
  }

  // ---- opening

  void SetShifts()
  {
    for (TTrack &T : Tracks) {
      T.DtsShiftMs = std::max(0, -States[T.Index].MinCts);
      if (T.DtsShiftMs > 0) {
        ++Repairs.ShiftedTracks;
        Say(1, "FLV: " + TrackName(T) + " has negative composition times: its decoding times move back by " +
                   std::to_string(T.DtsShiftMs) + " ms");
      }
    }
  }

  void ResetStates()
  {
    for (std::size_t I = 0; I < States.size(); ++I) {
      TState &S = States[I];
      S.HaveConfig = S.KeySeen = false;
      S.Current.clear();
      S.Delivered = Tracks[I].Config;
    }
  }

  void Scan()
  {
    TTag Tag;
    while (ReadTag(Tag)) ProcessTag(Tag);
    SetShifts();
    if (FirstMediaMs != INT64_MIN)
      Duration = std::max<int64_t>(0, std::max(LastMediaMs[0], LastMediaMs[1]) - FirstMediaMs);
    Check.Finish(Header, Tracks, Meta, Duration, ReadError ? BufEnd() : -1);
    bool HasVideo = std::any_of(Tracks.begin(), Tracks.end(),
                                [](const TTrack &T) { return !T.Text && T.Kind == TKind::Video; });
    if (!HasVideo || KeyIndex.empty()) KeyIndex.swap(AnyIndex);
    AnyIndex.clear();
    AnyIndex.shrink_to_fit();
    ResetStates();
    Counting = MayAddTracks = false;
    Emitting = true;
    std::fill(std::begin(LastTs), std::end(LastTs), INT64_MIN);
    Ended = !SetPos(FirstTagPos);
  }

  bool Ready() const
  {
    if (!Header.HasAudio && !Header.HasVideo) return false;
    for (TKind Kind : {TKind::Audio, TKind::Video}) {
      if (!(Kind == TKind::Audio ? Header.HasAudio : Header.HasVideo)) continue;
      if (std::none_of(Tracks.begin(), Tracks.end(), [Kind](const TTrack &T) { return !T.Text && T.Kind == Kind; }))
        return false;
    }
    for (const TTrack &T : Tracks)
      if (!T.Text && (T.Packets == 0 || (NeedsConfig(T.Codec) && !States[T.Index].HaveConfig))) return false;
    return true;
  }

  void Prefetch()
  {
    Emitting = true;
    int64_t Start = Pos, FirstMs = INT64_MIN;
    TTag Tag;
    for (;;) {
      if (!ReadTag(Tag)) {
        Ended = true;
        break;
      }
      ProcessTag(Tag);
      if (Tag.H.Type != ttScript && FirstMs == INT64_MIN) FirstMs = Tag.H.Timestamp;
      int64_t Span = FirstMs == INT64_MIN ? 0 : Tag.H.Timestamp - FirstMs;
      // Ready tracks still wait a second: the first frames of a stream with
      // B-frames are what shows how far its composition times go negative.
      if (Pos - Start >= kPipeWindowBytes || Queue.size() >= kMaxQueued || Span >= kPipeWindowMs ||
          (Span >= kPipeReadyMs && Ready()))
        break;
    }
    SetShifts();
    MayAddTracks = false;
  }

  bool Open(std::string &AError)
  {
    // A caller that looked at the first bytes may have left the position anywhere.
    Seekable = Src.CanSeek() && Src.Size() >= 0 && Src.Seek(0);
    FileSize = Seekable ? Src.Size() : -1;
    // a small file needs no full chunk (the fuzzer opens thousands a second)
    Grow(Seekable ? std::size_t(std::clamp<int64_t>(FileSize + 16, 4096, int64_t(kChunk))) : kChunk);
    std::size_t Avail = Ensure(kFileHeaderSize);
    if (Avail < 3 || std::memcmp(At(0), "FLV", 3) != 0) {
      AError = "not an FLV file: it does not start with \"FLV\"";
      return false;  // Ended stays true: Next gives nothing
    }
    if (!ParseFileHeader(At(0), Avail, Header)) {
      AError = Avail < kFileHeaderSize ? "the FLV header is cut short"
                                       : "the FLV header gives a header size of " +
                                             std::to_string(U32(At(5))) + ", less than 9";
      return false;
    }
    if (Header.Version != 1)
      Say(1, "FLV: version " + std::to_string(Header.Version) + " in the header, read as version 1");
    // A larger header size is honoured when a tag starts there; else the
    // tags most likely start where they always do.
    int64_t Claimed = int64_t(Header.DataOffset) + int64_t(kBackPointerSize);
    if (Header.DataOffset != kFileHeaderSize) {
      if (Claimed <= int64_t(64 * 1024)) {
        Avail = Ensure(std::size_t(Claimed) + kTagHeaderSize);
        if (Avail >= std::size_t(Claimed) + kTagHeaderSize && Sane(ParseTagHeader(At(Claimed))))
          FirstTagPos = Claimed;
      }
      Say(1, "FLV: the header gives a header size of " + std::to_string(Header.DataOffset) + "; tags read from " +
                 std::to_string(FirstTagPos));
    }
    Check.Header(Header, FirstTagPos, FileSize);
    Ensure(std::size_t(FirstTagPos));
    Ended = !SetPos(std::min(FirstTagPos, BufEnd()));
    if (!Ended) {
      if (Seekable)
        Scan();
      else
        Prefetch();
    }
    if (ReadError) Say(0, "FLV: a read error ends the data");
    if (Tracks.empty()) {
      AError = "no audio or video data could be read";
      Ended = true;
      Queue.clear();
      return false;
    }
    return true;
  }

  bool Next(TPacket &APacket)
  {
    for (;;) {
      if (!Queue.empty()) {
        TQueued &Q = Queue.front();
        APacket.Stream = Q.Packet.Stream;
        APacket.Key = Q.Packet.Key;
        APacket.Data.swap(Q.Packet.Data);
        APacket.NewConfig.swap(Q.Packet.NewConfig);
        APacket.Position = Q.Packet.Position;
        Times(APacket.Stream, Q.Ms, Q.Cts, Q.Nano, APacket);
        Queue.pop_front();
        return true;
      }
      if (Ended) {
        // a pipe's findings are whole once its data has ended
        if (Counting) Check.Finish(Header, Tracks, Meta, -1, ReadError ? BufEnd() : -1);
        return false;
      }
      TTag Tag;
      if (!ReadTag(Tag)) {
        Ended = true;
        if (ReadError && Counting) Say(0, "FLV: a read error ends the data");
        if (Counting) Check.Finish(Header, Tracks, Meta, -1, ReadError ? BufEnd() : -1);
        return false;
      }
      Out = &APacket;
      OutUsed = false;
      ProcessTag(Tag);
      Out = nullptr;
      if (OutUsed) return true;
    }
  }

  bool SeekMs(int64_t AMs)
  {
    if (!Seekable) return false;
    const TIndexEntry *Best = nullptr;
    for (const TIndexEntry &E : KeyIndex)
      if (E.Ms <= AMs && (!Best || E.Ms > Best->Ms)) Best = &E;
    if (!Best || !SetPos(Best->Pos)) return false;
    Queue.clear();
    Ended = false;
    std::fill(std::begin(LastTs), std::end(LastTs), INT64_MIN);
    for (std::size_t I = 0; I < States.size(); ++I) {
      TState &S = States[I];
      S.KeySeen = false;
      S.HaveConfig = S.FirstConfigPos >= 0 && S.FirstConfigPos < Best->Pos;
      S.Current = S.HaveConfig ? Tracks[I].Config : std::vector<uint8_t>{};
      for (const TConfigEntry &C : History)
        if (C.Track == int(I) && C.Pos < Best->Pos) S.Current = C.Bytes;
    }
    return true;
  }
};

TReader::TReader(TByteSource &ASource, TLog ALog) : FImpl(std::make_unique<TImpl>(ASource, std::move(ALog))) {}
TReader::~TReader() = default;

bool TReader::Open(std::string &AError) { return FImpl->Open(AError); }
const std::vector<TTrack> &TReader::Tracks() const { return FImpl->Tracks; }
const TMetaData &TReader::Meta() const { return FImpl->Meta; }
const TRepairs &TReader::Repairs() const { return FImpl->Repairs; }
const std::vector<TFinding> &TReader::Findings() const { return FImpl->Findings; }
int64_t TReader::DurationMs() const { return FImpl->Seekable ? FImpl->Duration : -1; }
bool TReader::Next(TPacket &APacket) { return FImpl->Next(APacket); }
bool TReader::ReadFailed() const { return FImpl->ReadError; }
bool TReader::SeekMs(int64_t AMs) { return FImpl->SeekMs(AMs); }

const char *LevelName(TFindingLevel ALevel)
{
  switch (ALevel) {
    case TFindingLevel::Information: return "information";
    case TFindingLevel::Warning: return "warning";
    case TFindingLevel::Error: return "error";
  }
  return "warning";
}

const char *ActionName(TFindingAction AAction)
{
  switch (AAction) {
    case TFindingAction::Mended: return "mended";
    case TFindingAction::ConvertedAnyway: return "converted anyway";
    case TFindingAction::Lost: return "lost";
  }
  return "converted anyway";
}

}  // namespace flv
