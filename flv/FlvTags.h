// The FLV layout, one tag at a time: the file header, tag headers, the
// bodies of audio and video tags (legacy, codec id 12 HEVC and enhanced FLV
// with ModEx and multitrack) and AMF0 script data.
//
// Plain C++ with no library calls, so a fuzzer covers it whole. Every
// function reads only inside the span it is given and never throws on bad
// bytes: a body that cannot be parsed is reported through the return value
// with the reason in AError. Any thread; no shared state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace flv {

constexpr std::size_t kFileHeaderSize = 9;
constexpr std::size_t kTagHeaderSize = 11;
constexpr std::size_t kBackPointerSize = 4;

enum TTagType : uint8_t { ttAudio = 8, ttVideo = 9, ttScript = 18 };

// FourCC as written in the file, first character in the top byte.
constexpr uint32_t FourCC(const char (&A)[5])
{
  return (uint32_t(uint8_t(A[0])) << 24) | (uint32_t(uint8_t(A[1])) << 16) | (uint32_t(uint8_t(A[2])) << 8) |
         uint32_t(uint8_t(A[3]));
}
// "hvc1", or "0x00000000" when a byte is not printable.
std::string FourCCText(uint32_t AFourCC);

enum class TKind : uint8_t { Video, Audio };

// The codec a track carries, as the file names it.
enum class TCodec : uint8_t {
  Unknown,
  // video
  SorensonH263, ScreenVideo, VP6, VP6Alpha, ScreenVideo2, AVC, HEVC, AV1, VP9, VP8,
  // audio
  PcmPlatform, AdpcmSwf, MP3, PcmLE, Nellymoser16k, Nellymoser8k, Nellymoser, G711ALaw, G711MuLaw, AAC, Speex,
  MP3_8k, Opus, FLAC, AC3, EAC3,
};
// "AVC", "HEVC", "Opus", ... for messages.
const char *CodecText(TCodec ACodec);

enum class TUnitType : uint8_t {
  Config,         // a sequence start: the codec's configuration record
  Frame,          // coded frames
  EndOfSequence,  // nothing to decode
  Metadata,       // enhanced video metadata (colour information)
  Multichannel,   // enhanced audio channel configuration
};

// Colour information of an enhanced video metadata frame; -1 where absent.
struct TColorInfo {
  int ColorPrimaries = -1, TransferCharacteristics = -1, MatrixCoefficients = -1;
  int MaxCLL = -1, MaxFALL = -1;
  bool Present() const { return ColorPrimaries >= 0 || TransferCharacteristics >= 0 || MatrixCoefficients >= 0; }
};

// One unit of a tag body. A tag carries one, or several with multitrack;
// a VP6 tag carries its size adjustment byte as a Config unit before its frame.
// Data points into the body given to the parser and lives as long as it.
struct TUnit {
  TKind Kind = TKind::Video;
  uint8_t Track = 0;        // multitrack track id; 0 without multitrack
  TCodec Codec = TCodec::Unknown;
  bool Enhanced = false;    // an enhanced header (FourCC), else a legacy one
  uint32_t FourCCValue = 0; // enhanced: the FourCC as written, also when unknown
  uint8_t LegacyId = 0;     // legacy: the video codec id or the sound format
  TUnitType Type = TUnitType::Frame;
  bool Key = false;         // video: frame type 1 (key) or 4 (generated key); audio: always true
  bool Command = false;     // video frame type 5 (info/command): nothing to decode, skip
  int32_t CompositionMs = 0;  // AVC/HEVC coded frames: presentation minus decoding time
  int32_t NanoOffset = 0;     // ModEx timestamp offset, 0..999999 ns
  // Legacy audio header: rate in Hz (5512, 11025, 22050, 44100, or the
  // fixed rate of Nellymoser 8/16 kHz, MP3 8 kHz and Speex 16 kHz), bits and
  // channels; 0 for enhanced audio.
  int SampleRate = 0, Bits = 0, Channels = 0;
  // Enhanced multichannel configuration: channel count, 0 where absent.
  int MultichannelCount = 0;
  TColorInfo Color;         // with Type == Metadata
  const uint8_t *Data = nullptr;  // the codec's own bytes, every FLV header removed
  std::size_t Size = 0;
};

struct TFileHeader {
  uint8_t Version = 0;
  bool HasAudio = false, HasVideo = false;  // flags byte: often wrong, the tags decide
  uint32_t DataOffset = 9;                  // where the first PreviousTagSize starts
};
// False when the 9 bytes are not an FLV header.
bool ParseFileHeader(const uint8_t *AData, std::size_t ASize, TFileHeader &AHeader);

struct TTagHeader {
  uint8_t Type = 0;       // 5 bits: 8, 9, 18 (others are unknown)
  bool Filter = false;    // encrypted body
  uint32_t DataSize = 0;  // 24 bits
  int64_t Timestamp = 0;  // ms: 24 bits plus the extension byte as bits 24-31 (signed 32)
  uint32_t StreamId = 0;  // 24 bits, 0 in every sane file
};
// Reads 11 bytes. The checks of plausibility are the reader's.
TTagHeader ParseTagHeader(const uint8_t *AData);

// Parses an audio or video tag body into units (appended to AUnits).
// False with AError when the body is too short for its headers or uses a
// packet type this parser does not know; units already appended stay.
bool ParseVideoBody(const uint8_t *AData, std::size_t ASize, std::vector<TUnit> &AUnits, std::string &AError);
bool ParseAudioBody(const uint8_t *AData, std::size_t ASize, std::vector<TUnit> &AUnits, std::string &AError);

// AMF0 values as script data holds them. Objects and ECMA arrays keep their
// properties in file order.
struct TAmfValue {
  // Out of line: clang with libstdc++ cannot form the implicit one while
  // TAmfValue is still incomplete inside Props.
  TAmfValue();
  enum TType : uint8_t { Number, Boolean, String, Object, Null, Undefined, Array, Date } Type = Undefined;
  double Num = 0;     // Number, Boolean (0/1), Date (ms since 1970)
  std::string Text;   // String
  std::vector<std::pair<std::string, TAmfValue>> Props;  // Object, ECMA array
  std::vector<TAmfValue> Items;                          // strict Array
  const TAmfValue *Find(const std::string &AKey) const;  // a property, or nullptr
};
// A script tag body: a name (normally "onMetaData") and its first value.
// Nesting deeper than 64 levels or a value running past the end: false.
bool ParseScriptBody(const uint8_t *AData, std::size_t ASize, std::string &AName, TAmfValue &AValue);

}  // namespace flv
