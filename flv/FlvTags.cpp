#include "FlvTags.h"

#include <cmath>
#include <cstdio>

namespace flv {

namespace {

uint32_t U16(const uint8_t *P) { return (uint32_t(P[0]) << 8) | P[1]; }
uint32_t U24(const uint8_t *P) { return (uint32_t(P[0]) << 16) | (uint32_t(P[1]) << 8) | P[2]; }
uint32_t U32(const uint8_t *P) { return (U24(P) << 8) | P[3]; }
int32_t S24(const uint8_t *P)
{
  uint32_t V = U24(P);
  return (V & 0x800000) ? int32_t(V) - 0x1000000 : int32_t(V);
}

// Enhanced packet types shared by audio and video where the numbers agree.
constexpr int kPtSequenceStart = 0, kPtCodedFrames = 1, kPtSequenceEnd = 2;
constexpr int kVideoCodedFramesX = 3, kVideoMetadata = 4, kVideoMpeg2TsStart = 5, kVideoMultitrack = 6;
constexpr int kAudioMultichannel = 4, kAudioMultitrack = 5;
constexpr int kPtModEx = 7;
constexpr int kFrameCommand = 5;
enum { kOneTrack = 0, kManyTracks = 1, kManyTracksManyCodecs = 2 };

TCodec VideoCodecOf(uint32_t AFourCC)
{
  switch (AFourCC) {
    case FourCC("avc1"): return TCodec::AVC;
    case FourCC("hvc1"): return TCodec::HEVC;
    case FourCC("av01"): return TCodec::AV1;
    case FourCC("vp09"): return TCodec::VP9;
    case FourCC("vp08"): return TCodec::VP8;
    default: return TCodec::Unknown;
  }
}

TCodec AudioCodecOf(uint32_t AFourCC)
{
  switch (AFourCC) {
    case FourCC("mp4a"): return TCodec::AAC;
    case FourCC("Opus"): return TCodec::Opus;
    case FourCC("fLaC"): return TCodec::FLAC;
    case FourCC("ac-3"): return TCodec::AC3;
    case FourCC("ec-3"): return TCodec::EAC3;
    case FourCC(".mp3"): return TCodec::MP3;
    default: return TCodec::Unknown;
  }
}

// A cursor over one body; every read checks what is left.
struct TCursor {
  const uint8_t *P, *End;
  std::size_t Left() const { return std::size_t(End - P); }
  bool Has(std::size_t N) const { return Left() >= N; }
};

// The ModEx prefixes: each carries data, a modifier type and the next packet
// type. Only the nanosecond offset is known; other modifiers are passed over.
bool ReadModEx(TCursor &C, int &APacketType, int32_t &ANano, std::string &AError)
{
  while (APacketType == kPtModEx) {
    if (!C.Has(1)) { AError = "ModEx header cut short"; return false; }
    std::size_t Size = std::size_t(*C.P++) + 1;
    if (Size == 256) {
      if (!C.Has(2)) { AError = "ModEx size cut short"; return false; }
      Size = std::size_t(U16(C.P)) + 1;
      C.P += 2;
    }
    if (!C.Has(Size + 1)) { AError = "ModEx data cut short"; return false; }
    const uint8_t *Data = C.P;
    C.P += Size;
    int ModType = *C.P >> 4;
    APacketType = *C.P & 0x0f;
    ++C.P;
    if (ModType == 0 && Size >= 3) {
      uint32_t Nano = U24(Data);
      ANano = int32_t(Nano > 999999 ? 999999 : Nano);
    }
  }
  return true;
}

int ClampInt(const TAmfValue *AValue)
{
  if (!AValue || AValue->Type != TAmfValue::Number || !std::isfinite(AValue->Num) || AValue->Num < 0 ||
      AValue->Num > 1e9)
    return -1;
  return int(AValue->Num);
}

void ReadColorInfo(const uint8_t *AData, std::size_t ASize, TColorInfo &AColor)
{
  std::string Name;
  TAmfValue Value;
  if (!ParseScriptBody(AData, ASize, Name, Value) || Name != "colorInfo") return;
  if (const TAmfValue *Config = Value.Find("colorConfig")) {
    AColor.ColorPrimaries = ClampInt(Config->Find("colorPrimaries"));
    AColor.TransferCharacteristics = ClampInt(Config->Find("transferCharacteristics"));
    AColor.MatrixCoefficients = ClampInt(Config->Find("matrixCoefficients"));
  }
  if (const TAmfValue *Cll = Value.Find("hdrCll")) {
    AColor.MaxCLL = ClampInt(Cll->Find("maxCLL"));
    AColor.MaxFALL = ClampInt(Cll->Find("maxFall"));
  }
}

// One track's payload of an enhanced video body, [C.P, C.End).
bool EnhancedVideoUnit(TCursor C, TUnit U, int APacketType, std::vector<TUnit> &AUnits, std::string &AError)
{
  U.Codec = VideoCodecOf(U.FourCCValue);
  switch (APacketType) {
    case kPtSequenceStart:
    case kVideoMpeg2TsStart: U.Type = TUnitType::Config; break;
    case kPtCodedFrames:
      U.Type = TUnitType::Frame;
      // NAL unit codecs carry a composition time; the others do not.
      if (U.Codec == TCodec::AVC || U.Codec == TCodec::HEVC || U.FourCCValue == FourCC("vvc1")) {
        if (!C.Has(3)) { AError = "composition time cut short"; return false; }
        U.CompositionMs = S24(C.P);
        C.P += 3;
      }
      break;
    case kVideoCodedFramesX: U.Type = TUnitType::Frame; break;
    case kPtSequenceEnd: U.Type = TUnitType::EndOfSequence; break;
    case kVideoMetadata:
      U.Type = TUnitType::Metadata;
      ReadColorInfo(C.P, C.Left(), U.Color);
      break;
    default: AError = "unknown video packet type " + std::to_string(APacketType); return false;
  }
  U.Data = C.P;
  U.Size = C.Left();
  AUnits.push_back(U);
  return true;
}

bool EnhancedAudioUnit(TCursor C, TUnit U, int APacketType, std::vector<TUnit> &AUnits, std::string &AError)
{
  U.Codec = AudioCodecOf(U.FourCCValue);
  switch (APacketType) {
    case kPtSequenceStart: U.Type = TUnitType::Config; break;
    case kPtCodedFrames: U.Type = TUnitType::Frame; break;
    case kPtSequenceEnd: U.Type = TUnitType::EndOfSequence; break;
    case kAudioMultichannel:
      // channel order, channel count, then a map or flags we do not need
      if (!C.Has(2)) { AError = "multichannel configuration cut short"; return false; }
      U.Type = TUnitType::Multichannel;
      U.MultichannelCount = C.P[1];
      break;
    default: AError = "unknown audio packet type " + std::to_string(APacketType); return false;
  }
  U.Data = C.P;
  U.Size = C.Left();
  AUnits.push_back(U);
  return true;
}

using TUnitFn = bool (*)(TCursor, TUnit, int, std::vector<TUnit> &, std::string &);

// The part audio and video share after their ModEx prefixes: plain, or one
// or many tracks each with its id (and size, and maybe FourCC).
bool EnhancedBody(TCursor C, TUnit U, int APacketType, int AMultitrackPt, TUnitFn AUnitFn,
                  std::vector<TUnit> &AUnits, std::string &AError)
{
  if (APacketType != AMultitrackPt) {
    if (!C.Has(4)) { AError = "FourCC cut short"; return false; }
    U.FourCCValue = U32(C.P);
    C.P += 4;
    return AUnitFn(C, U, APacketType, AUnits, AError);
  }
  if (!C.Has(1)) { AError = "multitrack header cut short"; return false; }
  int Kind = *C.P >> 4;
  int PacketType = *C.P & 0x0f;
  ++C.P;
  if (Kind > kManyTracksManyCodecs) { AError = "unknown multitrack type " + std::to_string(Kind); return false; }
  if (PacketType == AMultitrackPt || PacketType == kPtModEx) {
    AError = "multitrack packet type " + std::to_string(PacketType) + " inside multitrack";
    return false;
  }
  if (Kind != kManyTracksManyCodecs) {
    if (!C.Has(4)) { AError = "FourCC cut short"; return false; }
    U.FourCCValue = U32(C.P);
    C.P += 4;
  }
  // Track ids are one byte: more entries than that in one body is damage,
  // and would otherwise let a 16 MB body make millions of units.
  std::size_t Entries = 0;
  do {
    if (++Entries > 256) { AError = "more than 256 tracks in one body"; return false; }
    if (Kind == kManyTracksManyCodecs) {
      if (!C.Has(4)) { AError = "track FourCC cut short"; return false; }
      U.FourCCValue = U32(C.P);
      C.P += 4;
    }
    if (!C.Has(1)) { AError = "track id cut short"; return false; }
    U.Track = *C.P++;
    TCursor Track = C;
    if (Kind != kOneTrack) {
      if (!C.Has(3)) { AError = "track size cut short"; return false; }
      std::size_t Size = U24(C.P);
      C.P += 3;
      if (!C.Has(Size)) { AError = "track " + std::to_string(U.Track) + " runs past its body"; return false; }
      Track = {C.P, C.P + Size};
      C.P += Size;
    } else {
      C.P = C.End;
    }
    if (!AUnitFn(Track, U, PacketType, AUnits, AError)) return false;
  } while (Kind != kOneTrack && C.Left() > 0);
  return true;
}

}  // namespace

std::string FourCCText(uint32_t AFourCC)
{
  std::string Text;
  for (int Shift = 24; Shift >= 0; Shift -= 8) {
    char Ch = char((AFourCC >> Shift) & 0xff);
    if (Ch < 0x20 || Ch > 0x7e) {
      char Hex[16];
      std::snprintf(Hex, sizeof Hex, "0x%08x", AFourCC);
      return Hex;
    }
    Text += Ch;
  }
  return Text;
}

const char *CodecText(TCodec ACodec)
{
  switch (ACodec) {
    case TCodec::Unknown: return "unknown";
    case TCodec::SorensonH263: return "Sorenson H.263";
    case TCodec::ScreenVideo: return "Screen Video";
    case TCodec::VP6: return "VP6";
    case TCodec::VP6Alpha: return "VP6 alpha";
    case TCodec::ScreenVideo2: return "Screen Video 2";
    case TCodec::AVC: return "AVC";
    case TCodec::HEVC: return "HEVC";
    case TCodec::AV1: return "AV1";
    case TCodec::VP9: return "VP9";
    case TCodec::VP8: return "VP8";
    case TCodec::PcmPlatform: return "PCM";
    case TCodec::AdpcmSwf: return "ADPCM";
    case TCodec::MP3: return "MP3";
    case TCodec::PcmLE: return "PCM little-endian";
    case TCodec::Nellymoser16k: return "Nellymoser 16 kHz";
    case TCodec::Nellymoser8k: return "Nellymoser 8 kHz";
    case TCodec::Nellymoser: return "Nellymoser";
    case TCodec::G711ALaw: return "G.711 A-law";
    case TCodec::G711MuLaw: return "G.711 mu-law";
    case TCodec::AAC: return "AAC";
    case TCodec::Speex: return "Speex";
    case TCodec::MP3_8k: return "MP3 8 kHz";
    case TCodec::Opus: return "Opus";
    case TCodec::FLAC: return "FLAC";
    case TCodec::AC3: return "AC-3";
    case TCodec::EAC3: return "E-AC-3";
  }
  return "unknown";
}

bool ParseFileHeader(const uint8_t *AData, std::size_t ASize, TFileHeader &AHeader)
{
  if (ASize < kFileHeaderSize || AData[0] != 'F' || AData[1] != 'L' || AData[2] != 'V') return false;
  AHeader.Version = AData[3];
  AHeader.HasAudio = (AData[4] & 4) != 0;
  AHeader.HasVideo = (AData[4] & 1) != 0;
  AHeader.DataOffset = U32(AData + 5);
  return AHeader.DataOffset >= kFileHeaderSize;
}

TTagHeader ParseTagHeader(const uint8_t *AData)
{
  TTagHeader H;
  H.Type = AData[0] & 0x1f;
  H.Filter = (AData[0] & 0x20) != 0;
  H.DataSize = U24(AData + 1);
  H.Timestamp = int32_t(U24(AData + 4) | (uint32_t(AData[7]) << 24));
  H.StreamId = U24(AData + 8);
  return H;
}

bool ParseVideoBody(const uint8_t *AData, std::size_t ASize, std::vector<TUnit> &AUnits, std::string &AError)
{
  if (ASize < 1) { AError = "empty video body"; return false; }
  TCursor C{AData + 1, AData + ASize};
  TUnit U;
  U.Kind = TKind::Video;
  if (!(AData[0] & 0x80)) {
    int FrameType = AData[0] >> 4;
    U.LegacyId = AData[0] & 0x0f;
    U.Key = FrameType == 1 || FrameType == 4;
    U.Command = FrameType == kFrameCommand;
    switch (U.LegacyId) {
      case 2: U.Codec = TCodec::SorensonH263; break;
      case 3: U.Codec = TCodec::ScreenVideo; break;
      case 4: U.Codec = TCodec::VP6; break;
      case 5: U.Codec = TCodec::VP6Alpha; break;
      case 6: U.Codec = TCodec::ScreenVideo2; break;
      case 7: U.Codec = TCodec::AVC; break;
      case 12: U.Codec = TCodec::HEVC; break;
      default: U.Codec = TCodec::Unknown; break;
    }
    if ((U.Codec == TCodec::AVC || U.Codec == TCodec::HEVC) && !U.Command) {
      if (!C.Has(4)) { AError = std::string(CodecText(U.Codec)) + " header cut short"; return false; }
      switch (C.P[0]) {
        case 0: U.Type = TUnitType::Config; break;
        case 1: U.Type = TUnitType::Frame; break;
        case 2: U.Type = TUnitType::EndOfSequence; break;
        default:
          AError = std::string("unknown ") + CodecText(U.Codec) + " packet type " + std::to_string(C.P[0]);
          return false;
      }
      if (U.Type == TUnitType::Frame) U.CompositionMs = S24(C.P + 1);
      C.P += 4;
    }
    if ((U.Codec == TCodec::VP6 || U.Codec == TCodec::VP6Alpha) && !U.Command) {
      // The size adjustment byte is the decoders' extradata, not picture
      // data: handed on as the track's configuration. VP6 alpha's offset to
      // its alpha plane stays in the frame, where its decoder reads it.
      if (!C.Has(1)) { AError = "VP6 size adjustment missing"; return false; }
      TUnit Config = U;
      Config.Type = TUnitType::Config;
      Config.Data = C.P;
      Config.Size = 1;
      AUnits.push_back(Config);
      ++C.P;
    }
    U.Data = C.P;
    U.Size = C.Left();
    AUnits.push_back(U);
    return true;
  }

  U.Enhanced = true;
  int FrameType = (AData[0] >> 4) & 7;
  int PacketType = AData[0] & 0x0f;
  U.Key = FrameType == 1 || FrameType == 4;
  if (!ReadModEx(C, PacketType, U.NanoOffset, AError)) return false;
  if (PacketType != kVideoMetadata && FrameType == kFrameCommand) {
    // a seeking command: one byte, no picture
    U.Command = true;
    U.Data = C.P;
    U.Size = C.Left();
    AUnits.push_back(U);
    return true;
  }
  return EnhancedBody(C, U, PacketType, kVideoMultitrack, EnhancedVideoUnit, AUnits, AError);
}

bool ParseAudioBody(const uint8_t *AData, std::size_t ASize, std::vector<TUnit> &AUnits, std::string &AError)
{
  if (ASize < 1) { AError = "empty audio body"; return false; }
  TCursor C{AData + 1, AData + ASize};
  TUnit U;
  U.Kind = TKind::Audio;
  U.Key = true;
  int Format = AData[0] >> 4;
  if (Format != 9) {
    static const int KRates[4] = {5512, 11025, 22050, 44100};
    U.LegacyId = uint8_t(Format);
    U.SampleRate = KRates[(AData[0] >> 2) & 3];
    U.Bits = (AData[0] & 2) ? 16 : 8;
    U.Channels = (AData[0] & 1) ? 2 : 1;
    switch (Format) {
      case 0: U.Codec = TCodec::PcmPlatform; break;
      case 1: U.Codec = TCodec::AdpcmSwf; break;
      case 2: U.Codec = TCodec::MP3; break;
      case 3: U.Codec = TCodec::PcmLE; break;
      case 4: U.Codec = TCodec::Nellymoser16k; U.SampleRate = 16000; U.Channels = 1; break;
      case 5: U.Codec = TCodec::Nellymoser8k; U.SampleRate = 8000; U.Channels = 1; break;
      case 6: U.Codec = TCodec::Nellymoser; break;
      case 7: U.Codec = TCodec::G711ALaw; break;
      case 8: U.Codec = TCodec::G711MuLaw; break;
      case 10: U.Codec = TCodec::AAC; break;
      // Speex is always 16 kHz mono, whatever the bits say
      case 11: U.Codec = TCodec::Speex; U.SampleRate = 16000; U.Channels = 1; break;
      case 14: U.Codec = TCodec::MP3_8k; U.SampleRate = 8000; break;
      default: U.Codec = TCodec::Unknown; break;
    }
    if (U.Codec == TCodec::AAC) {
      if (!C.Has(1)) { AError = "AAC header cut short"; return false; }
      if (C.P[0] > 1) { AError = "unknown AAC packet type " + std::to_string(C.P[0]); return false; }
      U.Type = C.P[0] == 0 ? TUnitType::Config : TUnitType::Frame;
      ++C.P;
    }
    U.Data = C.P;
    U.Size = C.Left();
    AUnits.push_back(U);
    return true;
  }

  U.Enhanced = true;
  int PacketType = AData[0] & 0x0f;
  if (!ReadModEx(C, PacketType, U.NanoOffset, AError)) return false;
  return EnhancedBody(C, U, PacketType, kAudioMultitrack, EnhancedAudioUnit, AUnits, AError);
}

}  // namespace flv
