// FLV files built byte by byte for the reader's tests: numbers, AMF0
// values, legacy and enhanced tag bodies, and a file assembled tag by tag
// (with a back-pointer off by ABackDelta where a test wants one).
#pragma once

#include <cstdint>
#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include "FlvReader.h"  // the reader's FlvTags.h, not the test support's

namespace flvtest {

using namespace flv;
using TBytes = std::vector<uint8_t>;

inline TBytes operator+(TBytes A, const TBytes &B)
{
  A.insert(A.end(), B.begin(), B.end());
  return A;
}
inline TBytes U16(uint32_t V) { return {uint8_t(V >> 8), uint8_t(V)}; }
inline TBytes U24(uint32_t V) { return {uint8_t(V >> 16), uint8_t(V >> 8), uint8_t(V)}; }
inline TBytes U32(uint32_t V) { return {uint8_t(V >> 24), uint8_t(V >> 16), uint8_t(V >> 8), uint8_t(V)}; }
inline TBytes Raw(const std::string &S) { return TBytes(S.begin(), S.end()); }

// AMF0 writers
inline TBytes AmfStr(const std::string &S) { return TBytes{2} + U16(uint32_t(S.size())) + Raw(S); }
inline TBytes AmfNum(double D)
{
  uint64_t Bits;
  std::memcpy(&Bits, &D, 8);
  return TBytes{0} + U32(uint32_t(Bits >> 32)) + U32(uint32_t(Bits));
}
using TProps = std::vector<std::pair<std::string, TBytes>>;
inline TBytes Props(const TProps &AProps)
{
  TBytes B;
  for (const auto &[K, V] : AProps) B = B + U16(uint32_t(K.size())) + Raw(K) + V;
  return B + TBytes{0, 0, 9};
}
inline TBytes AmfObj(const TProps &AProps) { return TBytes{3} + Props(AProps); }
inline TBytes AmfEcma(const TProps &AProps) { return TBytes{8} + U32(uint32_t(AProps.size())) + Props(AProps); }

// Tag bodies
inline TBytes Avc(int AFrameType, int APacket, int ACts, const TBytes &AData, int ACodec = 7)
{  // legacy AVC, or HEVC with codec id 12
  return TBytes{uint8_t(AFrameType << 4 | ACodec), uint8_t(APacket)} + U24(uint32_t(ACts) & 0xffffff) + AData;
}
inline TBytes Aac(int APacket, const TBytes &AData) { return TBytes{0xAF, uint8_t(APacket)} + AData; }
inline TBytes ExVideo(int AFrameType, int APacket, const std::string &AFourCC, const TBytes &ARest)
{
  return TBytes{uint8_t(0x80 | AFrameType << 4 | APacket)} + Raw(AFourCC) + ARest;
}

inline const TBytes kAvcConfig{1, 0x64, 0, 0x1f, 0xff, 0xe1, 0, 4, 0x67, 0x64, 0, 0x1f};
inline const TBytes kAacConfig{0x12, 0x10};

// An FLV file, tag by tag.
struct TFlv {
  TBytes B;
  explicit TFlv(uint8_t AFlags = 5, uint32_t AHeaderSize = 9)
  {
    B = Raw("FLV") + TBytes{1, AFlags} + U32(AHeaderSize);
    B.resize(AHeaderSize > 64 ? 9 : AHeaderSize, 0);
    B = B + U32(0);
  }
  TFlv &Tag(uint8_t AType, int64_t AMs, const TBytes &ABody, int ABackDelta = 0)
  {
    B = B + TBytes{AType} + U24(uint32_t(ABody.size())) + U24(uint32_t(AMs) & 0xffffff) +
        TBytes{uint8_t(uint32_t(AMs) >> 24), 0, 0, 0} + ABody + U32(uint32_t(11 + ABody.size() + ABackDelta));
    return *this;
  }
  TFlv &V(int64_t AMs, const TBytes &ABody) { return Tag(ttVideo, AMs, ABody); }
  TFlv &A(int64_t AMs, const TBytes &ABody) { return Tag(ttAudio, AMs, ABody); }
  TFlv &S(int64_t AMs, const std::string &AName, const TBytes &AValue) { return Tag(ttScript, AMs, AmfStr(AName) + AValue); }
};

// Legacy AVC + AAC with metadata: 10 video frames every 40 ms (a key frame
// each 5, composition times 40/120/0/40/40) and 10 AAC frames every 23 ms.
inline TFlv AvcAac()
{
  TFlv F;
  F.S(0, "onMetaData",
      AmfEcma({{"duration", AmfNum(0.4)}, {"width", AmfNum(64)}, {"height", AmfNum(48)}, {"framerate", AmfNum(25)},
               {"videocodecid", AmfNum(7)}, {"audiocodecid", AmfNum(FourCC("mp4a"))},
               {"encoder", AmfStr("hand")}, {"stereo", TBytes{1, 1}}}));
  F.V(0, Avc(1, 0, 0, kAvcConfig)).A(0, Aac(0, kAacConfig));
  static const int KCts[5] = {40, 120, 0, 40, 40};
  for (int I = 0; I < 10; ++I) {
    F.V(I * 40, Avc(I % 5 ? 2 : 1, 1, KCts[I % 5], {uint8_t(I), 0xAA}));
    F.A(I * 23, Aac(1, {uint8_t(I), 0xBB}));
  }
  return F;
}

}  // namespace flvtest
