// The FLV tag parser, AMF0 and TReader on byte buffers built here, and on
// the real samples against what ffprobe counts in them.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>

#include "FlvReader.h"
#include "TestEnv.h"

namespace {

using namespace flv;
using TBytes = std::vector<uint8_t>;

TBytes operator+(TBytes A, const TBytes &B)
{
  A.insert(A.end(), B.begin(), B.end());
  return A;
}
TBytes U16(uint32_t V) { return {uint8_t(V >> 8), uint8_t(V)}; }
TBytes U24(uint32_t V) { return {uint8_t(V >> 16), uint8_t(V >> 8), uint8_t(V)}; }
TBytes U32(uint32_t V) { return {uint8_t(V >> 24), uint8_t(V >> 16), uint8_t(V >> 8), uint8_t(V)}; }
TBytes Raw(const std::string &S) { return TBytes(S.begin(), S.end()); }

// AMF0 writers
TBytes AmfStr(const std::string &S) { return TBytes{2} + U16(uint32_t(S.size())) + Raw(S); }
TBytes AmfNum(double D)
{
  uint64_t Bits;
  std::memcpy(&Bits, &D, 8);
  TBytes B{0};
  for (int I = 7; I >= 0; --I) B.push_back(uint8_t(Bits >> (I * 8)));
  return B;
}
using TProps = std::vector<std::pair<std::string, TBytes>>;
TBytes Props(const TProps &AProps)
{
  TBytes B;
  for (const auto &[K, V] : AProps) B = B + U16(uint32_t(K.size())) + Raw(K) + V;
  return B + TBytes{0, 0, 9};
}
TBytes AmfObj(const TProps &AProps) { return TBytes{3} + Props(AProps); }
TBytes AmfEcma(const TProps &AProps) { return TBytes{8} + U32(uint32_t(AProps.size())) + Props(AProps); }

// Tag bodies
TBytes Avc(int AFrameType, int APacket, int ACts, const TBytes &AData, int ACodec = 7)
{
  return TBytes{uint8_t(AFrameType << 4 | ACodec), uint8_t(APacket)} + U24(uint32_t(ACts) & 0xffffff) + AData;
}
TBytes Aac(int APacket, const TBytes &AData) { return TBytes{0xAF, uint8_t(APacket)} + AData; }
TBytes ExVideo(int AFrameType, int APacket, const std::string &AFourCC, const TBytes &ARest)
{
  return TBytes{uint8_t(0x80 | AFrameType << 4 | APacket)} + Raw(AFourCC) + ARest;
}

const TBytes kAvcConfig{1, 0x64, 0, 0x1f, 0xff, 0xe1, 0, 4, 0x67, 0x64, 0, 0x1f};
const TBytes kAacConfig{0x12, 0x10};

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
TFlv AvcAac()
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

struct TRead {
  bool Ok = false;
  std::string Error;
  std::vector<TTrack> Tracks;
  std::vector<TPacket> Packets;
  TRepairs Repairs;
  TMetaData Meta;
  int64_t DurationMs = 0;
  std::string Log;
};

TRead ReadAll(const TBytes &AFile, bool ASeekable, const std::function<void(TReader &)> &ABeforeNext = {})
{
  TRead R;
  TMemorySource Source(AFile.data(), AFile.size(), ASeekable);
  TReader Reader(Source, [&R](int, const std::string &AText) { R.Log += AText + "\n"; });
  R.Ok = Reader.Open(R.Error);
  if (!R.Ok) return R;
  if (ABeforeNext) ABeforeNext(Reader);
  TPacket P;
  while (Reader.Next(P) && R.Packets.size() < 100000) R.Packets.push_back(P);
  R.Tracks = Reader.Tracks();
  R.Repairs = Reader.Repairs();
  R.Meta = Reader.Meta();
  R.DurationMs = Reader.DurationMs();
  return R;
}

std::vector<TPacket> OfStream(const TRead &R, int AStream)
{
  std::vector<TPacket> Out;
  for (const TPacket &P : R.Packets)
    if (P.Stream == AStream) Out.push_back(P);
  return Out;
}

constexpr int64_t kMs = 1000000;

// ------------------------------------------------------------- tag bodies

class FlvBodyTest : public ::testing::Test {
 protected:
  std::vector<TUnit> Units;
  std::string Error;
  bool Video(const TBytes &B) { return ParseVideoBody(B.data(), B.size(), Units, Error); }
  bool Audio(const TBytes &B) { return ParseAudioBody(B.data(), B.size(), Units, Error); }
};

TEST_F(FlvBodyTest, LegacyAudioHeaderGivesCodecRateAndChannels)
{
  struct TCase {
    uint8_t First;
    TCodec Codec;
    int Rate, Bits, Channels;
  } Cases[] = {
      {0x0A, TCodec::PcmPlatform, 22050, 16, 1}, {0x1D, TCodec::AdpcmSwf, 44100, 8, 2},
      {0x2F, TCodec::MP3, 44100, 16, 2},         {0x3E, TCodec::PcmLE, 44100, 16, 1},
      {0x4F, TCodec::Nellymoser16k, 16000, 16, 1}, {0x5F, TCodec::Nellymoser8k, 8000, 16, 1},
      {0x6A, TCodec::Nellymoser, 22050, 16, 1},  {0x72, TCodec::G711ALaw, 5512, 16, 1},
      {0x86, TCodec::G711MuLaw, 11025, 16, 1},   {0xBF, TCodec::Speex, 16000, 16, 1},
      {0xEF, TCodec::MP3_8k, 8000, 16, 2},       {0xF2, TCodec::Unknown, 5512, 16, 1},
  };
  for (const TCase &C : Cases) {
    Units.clear();
    ASSERT_TRUE(Audio({C.First, 1, 2, 3})) << int(C.First);
    ASSERT_EQ(Units.size(), 1u);
    const TUnit &U = Units[0];
    EXPECT_EQ(U.Codec, C.Codec) << int(C.First);
    EXPECT_EQ(U.LegacyId, C.First >> 4);
    EXPECT_EQ(U.SampleRate, C.Rate) << int(C.First);
    EXPECT_EQ(U.Bits, C.Bits) << int(C.First);
    EXPECT_EQ(U.Channels, C.Channels) << int(C.First);
    EXPECT_EQ(U.Size, 3u);
    EXPECT_TRUE(U.Key);
  }
  Units.clear();
  ASSERT_TRUE(Audio(Aac(0, kAacConfig)));
  EXPECT_EQ(Units[0].Type, TUnitType::Config);
  EXPECT_EQ(Units[0].Size, 2u);
  EXPECT_FALSE(Audio(Aac(2, {})));
  EXPECT_FALSE(Audio({0xAF}));
}

TEST_F(FlvBodyTest, LegacyVideoHeaderGivesCodecTypeAndData)
{
  struct TCase {
    TBytes Body;
    TCodec Codec;
    TUnitType Type;
    bool Key, Command;
    int32_t Cts;
    std::size_t Units, LastSize;
  } Cases[] = {
      {{0x12, 1, 2, 3}, TCodec::SorensonH263, TUnitType::Frame, true, false, 0, 1, 3},
      {{0x23, 1, 2, 3}, TCodec::ScreenVideo, TUnitType::Frame, false, false, 0, 1, 3},
      {{0x34, 0x11, 2, 3}, TCodec::VP6, TUnitType::Frame, false, false, 0, 2, 2},  // adjustment byte apart
      {{0x15, 0x11, 0, 0, 2, 9}, TCodec::VP6Alpha, TUnitType::Frame, true, false, 0, 2, 4},
      {{0x46, 1, 2, 3}, TCodec::ScreenVideo2, TUnitType::Frame, true, false, 0, 1, 3},
      {Avc(2, 1, -2, {9}), TCodec::AVC, TUnitType::Frame, false, false, -2, 1, 1},
      {Avc(1, 0, 0, kAvcConfig, 12), TCodec::HEVC, TUnitType::Config, true, false, 0, 1, kAvcConfig.size()},
      {Avc(1, 1, 0x7fffff, {9, 9}, 12), TCodec::HEVC, TUnitType::Frame, true, false, 0x7fffff, 1, 2},
      {Avc(2, 2, 0, {}), TCodec::AVC, TUnitType::EndOfSequence, false, false, 0, 1, 0},
      {{0x57, 0}, TCodec::AVC, TUnitType::Frame, false, true, 0, 1, 1},
  };
  for (std::size_t I = 0; I < std::size(Cases); ++I) {
    const TCase &C = Cases[I];
    Units.clear();
    ASSERT_TRUE(Video(C.Body)) << I << Error;
    ASSERT_EQ(Units.size(), C.Units) << I;
    const TUnit &U = Units.back();
    EXPECT_EQ(U.Codec, C.Codec) << I;
    EXPECT_EQ(U.Type, C.Type) << I;
    EXPECT_EQ(U.Key, C.Key) << I;
    EXPECT_EQ(U.Command, C.Command) << I;
    EXPECT_EQ(U.CompositionMs, C.Cts) << I;
    EXPECT_EQ(U.Size, C.LastSize) << I;
    EXPECT_FALSE(U.Enhanced);
    if (C.Units == 2) {
      EXPECT_EQ(Units[0].Type, TUnitType::Config);
      EXPECT_EQ(Units[0].Size, 1u);
      EXPECT_EQ(Units[0].Data[0], 0x11);
    }
  }
  Units.clear();
  EXPECT_FALSE(Video(Avc(1, 3, 0, {})));
  EXPECT_FALSE(Video({0x17, 1, 0}));
  EXPECT_FALSE(Video({}));
}

TEST_F(FlvBodyTest, EnhancedVideoPacketTypes)
{
  struct TCase {
    TBytes Body;
    TCodec Codec;
    TUnitType Type;
    bool Key, Command;
    int32_t Cts, Nano;
    std::size_t Size;
  } Cases[] = {
      {ExVideo(1, 1, "hvc1", U24(40) + TBytes{0xAA}), TCodec::HEVC, TUnitType::Frame, true, false, 40, 0, 1},
      {ExVideo(2, 3, "avc1", {0xAA, 0xBB}), TCodec::AVC, TUnitType::Frame, false, false, 0, 0, 2},
      {ExVideo(1, 0, "av01", {0x81, 0}), TCodec::AV1, TUnitType::Config, true, false, 0, 0, 2},
      {ExVideo(1, 1, "vp09", {0xAA}), TCodec::VP9, TUnitType::Frame, true, false, 0, 0, 1},
      {ExVideo(1, 5, "av01", {1}), TCodec::AV1, TUnitType::Config, true, false, 0, 0, 1},
      {ExVideo(1, 2, "vp08", {}), TCodec::VP8, TUnitType::EndOfSequence, true, false, 0, 0, 0},
      {TBytes{0x97, 2, 0, 1, 0xF4, 0x01} + Raw("av01") + TBytes{0xAA}, TCodec::AV1, TUnitType::Frame, true, false,
       0, 500, 1},
      {TBytes{0xD1, 0}, TCodec::Unknown, TUnitType::Frame, false, true, 0, 0, 1},
      {ExVideo(1, 1, "vvc1", U24(0) + TBytes{0xAA}), TCodec::Unknown, TUnitType::Frame, true, false, 0, 0, 1},
  };
  for (std::size_t I = 0; I < std::size(Cases); ++I) {
    const TCase &C = Cases[I];
    Units.clear();
    ASSERT_TRUE(Video(C.Body)) << I << Error;
    ASSERT_EQ(Units.size(), 1u) << I;
    const TUnit &U = Units[0];
    EXPECT_TRUE(U.Enhanced);
    EXPECT_EQ(U.Codec, C.Codec) << I;
    EXPECT_EQ(U.Type, C.Type) << I;
    EXPECT_EQ(U.Key, C.Key) << I;
    EXPECT_EQ(U.Command, C.Command) << I;
    EXPECT_EQ(U.CompositionMs, C.Cts) << I;
    EXPECT_EQ(U.NanoOffset, C.Nano) << I;
    EXPECT_EQ(U.Size, C.Size) << I;
  }
  EXPECT_EQ(FourCCText(Units[0].FourCCValue), "vvc1");
  EXPECT_FALSE(Video(ExVideo(1, 9, "avc1", {})));
  EXPECT_FALSE(Video(ExVideo(1, 1, "hvc1", {0})));  // composition time cut
  EXPECT_FALSE(Video({0x97, 5, 0}));                // ModEx data cut
}

TEST_F(FlvBodyTest, MultitrackModExAndChannels)
{
  // video, many tracks many codecs: avc1 track 0 (with composition time), av01 track 1
  ASSERT_TRUE(Video(TBytes{0x96, 0x21} + Raw("avc1") + TBytes{0} + U24(4) + U24(33) + TBytes{0xAA} + Raw("av01") +
                    TBytes{1} + U24(1) + TBytes{0xBB}));
  ASSERT_EQ(Units.size(), 2u);
  EXPECT_EQ(Units[0].Codec, TCodec::AVC);
  EXPECT_EQ(Units[0].CompositionMs, 33);
  EXPECT_EQ(Units[0].Size, 1u);
  EXPECT_EQ(Units[1].Codec, TCodec::AV1);
  EXPECT_EQ(Units[1].Track, 1);
  EXPECT_EQ(Units[1].Data[0], 0xBB);
  // audio, one track with its id
  Units.clear();
  ASSERT_TRUE(Audio(TBytes{0x95, 0x01} + Raw("Opus") + TBytes{2, 0xAA, 0xBB}));
  ASSERT_EQ(Units.size(), 1u);
  EXPECT_EQ(Units[0].Track, 2);
  EXPECT_EQ(Units[0].Size, 2u);
  // audio, many tracks of one codec
  Units.clear();
  ASSERT_TRUE(Audio(TBytes{0x95, 0x10} + Raw("mp4a") + TBytes{0} + U24(2) + kAacConfig + TBytes{1} + U24(0)));
  ASSERT_EQ(Units.size(), 2u);
  EXPECT_EQ(Units[1].Type, TUnitType::Config);
  EXPECT_EQ(Units[1].Track, 1);
  // multichannel configuration
  Units.clear();
  ASSERT_TRUE(Audio(TBytes{0x94} + Raw("Opus") + TBytes{0, 6}));
  EXPECT_EQ(Units[0].Type, TUnitType::Multichannel);
  EXPECT_EQ(Units[0].MultichannelCount, 6);
  // a ModEx of 257 bytes (16-bit size) before a FLAC frame
  Units.clear();
  TBytes Mod(257, 0);
  Mod[2] = 7;
  ASSERT_TRUE(Audio(TBytes{0x97, 0xFF} + U16(256) + Mod + TBytes{0x01} + Raw("fLaC") + TBytes{0xAA}));
  EXPECT_EQ(Units[0].Codec, TCodec::FLAC);
  EXPECT_EQ(Units[0].NanoOffset, 7);
  // a track claiming more than its body
  EXPECT_FALSE(Video(TBytes{0x96, 0x11} + Raw("av01") + TBytes{0} + U24(9) + TBytes{0xAA}));
  EXPECT_FALSE(Audio(TBytes{0x95, 0x31} + Raw("Opus")));  // unknown multitrack type
}

TEST_F(FlvBodyTest, MetadataFrameGivesColour)
{
  ASSERT_TRUE(Video(ExVideo(1, 4, "hvc1",
                            AmfStr("colorInfo") +
                                AmfObj({{"colorConfig", AmfObj({{"colorPrimaries", AmfNum(9)},
                                                                {"transferCharacteristics", AmfNum(16)},
                                                                {"matrixCoefficients", AmfNum(9)}})},
                                        {"hdrCll", AmfObj({{"maxCLL", AmfNum(1000)}, {"maxFall", AmfNum(400)}})}}))));
  const TColorInfo &C = Units[0].Color;
  EXPECT_EQ(Units[0].Type, TUnitType::Metadata);
  EXPECT_EQ(C.ColorPrimaries, 9);
  EXPECT_EQ(C.TransferCharacteristics, 16);
  EXPECT_EQ(C.MatrixCoefficients, 9);
  EXPECT_EQ(C.MaxCLL, 1000);
  EXPECT_EQ(C.MaxFALL, 400);
  EXPECT_EQ(FourCCText(0x01020304), "0x01020304");
}

// ------------------------------------------------------------- AMF0

class FlvAmfTest : public ::testing::Test {
 protected:
  std::string Name;
  TAmfValue Value;
  bool Parse(const TBytes &B) { return ParseScriptBody(B.data(), B.size(), Name, Value); }
};

TEST_F(FlvAmfTest, EveryValueType)
{
  TBytes Date = AmfNum(86400000);
  Date[0] = 11;  // a date is a number's bytes and a time zone
  Date = Date + U16(0);
  TBytes Body = AmfStr("onMetaData") +
                AmfEcma({{"n", AmfNum(2.5)},
                         {"b", {1, 1}},
                         {"s", AmfStr("text")},
                         {"o", AmfObj({{"inner", AmfNum(1)}})},
                         {"null", {5}},
                         {"undef", {6}},
                         {"ref", {7, 0, 1}},
                         {"arr", TBytes{10} + U32(2) + AmfNum(1) + AmfStr("x")},
                         {"date", Date},
                         {"long", TBytes{12} + U32(3) + Raw("abc")}});
  ASSERT_TRUE(Parse(Body));
  EXPECT_EQ(Name, "onMetaData");
  EXPECT_EQ(Value.Props.size(), 10u);
  EXPECT_EQ(Value.Find("n")->Num, 2.5);
  EXPECT_EQ(Value.Find("b")->Type, TAmfValue::Boolean);
  EXPECT_EQ(Value.Find("s")->Text, "text");
  EXPECT_EQ(Value.Find("o")->Find("inner")->Num, 1);
  EXPECT_EQ(Value.Find("null")->Type, TAmfValue::Null);
  EXPECT_EQ(Value.Find("ref")->Type, TAmfValue::Undefined);
  EXPECT_EQ(Value.Find("arr")->Items.size(), 2u);
  EXPECT_EQ(Value.Find("arr")->Items[1].Text, "x");
  EXPECT_EQ(Value.Find("date")->Type, TAmfValue::Date);
  EXPECT_EQ(Value.Find("date")->Num, 86400000);
  EXPECT_EQ(Value.Find("long")->Text, "abc");
  EXPECT_EQ(Value.Find("missing"), nullptr);
  // every cut of the body fails or parses a prefix, never reads past it
  for (std::size_t Cut = 0; Cut + 1 < Body.size(); ++Cut) {
    TBytes Part(Body.begin(), Body.begin() + Cut);
    Parse(Part);
  }
  EXPECT_FALSE(Parse(TBytes(Body.begin(), Body.begin() + 20)));
}

TEST_F(FlvAmfTest, NestingIsLimited)
{
  auto Nested = [](int ADepth) {
    TBytes V = AmfNum(1);
    for (int I = 0; I < ADepth; ++I) V = TBytes{3} + U16(1) + Raw("k") + V + TBytes{0, 0, 9};
    return AmfStr("deep") + V;
  };
  EXPECT_TRUE(Parse(Nested(64)));
  EXPECT_FALSE(Parse(Nested(65)));
  EXPECT_FALSE(Parse(TBytes{10} + U32(0xffffffff)));                   // a name that is no string
  EXPECT_FALSE(Parse(AmfStr("x") + TBytes{10} + U32(0xffffffff) + AmfNum(1)));  // count beyond the data
}

// ------------------------------------------------------------- reader

class FlvReaderTest : public ::testing::Test {};

TEST_F(FlvReaderTest, LegacyAvcAacTracksPacketsAndMetadata)
{
  TRead R = ReadAll(AvcAac().B, true);
  ASSERT_TRUE(R.Ok) << R.Error;
  ASSERT_EQ(R.Tracks.size(), 2u);
  const TTrack &V = R.Tracks[0], &A = R.Tracks[1];
  EXPECT_EQ(V.Codec, TCodec::AVC);
  EXPECT_EQ(V.Config, kAvcConfig);
  EXPECT_EQ(V.Packets, 10);
  EXPECT_EQ(V.LastMs, 360);
  EXPECT_EQ(A.Codec, TCodec::AAC);
  EXPECT_EQ(A.Config, kAacConfig);
  EXPECT_EQ(A.SampleRate, 44100);
  EXPECT_EQ(A.Channels, 2);
  EXPECT_EQ(R.DurationMs, 360);
  EXPECT_EQ(R.Meta.Duration, 0.4);
  EXPECT_EQ(R.Meta.Width, 64);
  EXPECT_EQ(R.Meta.VideoCodecId, "7");
  EXPECT_EQ(R.Meta.AudioCodecId, "mp4a");
  ASSERT_EQ(R.Meta.Tags.size(), 8u);
  EXPECT_EQ(R.Meta.Tags[6], (std::pair<std::string, std::string>("encoder", "hand")));
  EXPECT_EQ(R.Meta.Tags[7].second, "true");
  auto Video = OfStream(R, 0);
  ASSERT_EQ(Video.size(), 10u);
  EXPECT_EQ(Video[1].DtsNs, 40 * kMs);
  EXPECT_EQ(Video[1].PtsNs, 160 * kMs);
  EXPECT_TRUE(Video[5].Key);
  EXPECT_FALSE(Video[6].Key);
  EXPECT_EQ(Video[3].Data, (TBytes{3, 0xAA}));
  EXPECT_TRUE(Video[0].NewConfig.empty());
  EXPECT_EQ(OfStream(R, 1).size(), 10u);
  EXPECT_FALSE(R.Repairs.Any());
}

TEST_F(FlvReaderTest, NegativeCompositionMovesDecodingTimesBack)
{
  TFlv F;
  F.V(0, Avc(1, 0, 0, kAvcConfig));
  F.V(0, Avc(1, 1, 0, {1})).V(40, Avc(2, 1, -40, {2})).V(80, Avc(2, 1, 0, {3}));
  TRead R = ReadAll(F.B, true);
  ASSERT_TRUE(R.Ok);
  EXPECT_EQ(R.Tracks[0].DtsShiftMs, 40);
  EXPECT_EQ(R.Repairs.ShiftedTracks, 1);
  ASSERT_EQ(R.Packets.size(), 3u);
  for (const TPacket &P : R.Packets) EXPECT_LE(P.DtsNs, P.PtsNs);
  EXPECT_EQ(R.Packets[0].DtsNs, -40 * kMs);
  EXPECT_EQ(R.Packets[1].PtsNs, 0);
}

TEST_F(FlvReaderTest, LateConfigurationDropsUntilConfigAndKeyFrame)
{
  TFlv F;
  F.V(0, Avc(1, 1, 0, {1})).A(0, Aac(1, {1}));  // before any configuration
  F.V(40, Avc(1, 0, 0, kAvcConfig)).A(40, Aac(0, kAacConfig));
  F.V(40, Avc(2, 1, 0, {2}));                    // configured, but no key frame yet
  F.V(80, Avc(1, 1, 0, {3})).A(80, Aac(1, {3}));
  for (bool Seekable : {true, false}) {
    TRead R = ReadAll(F.B, Seekable);
    ASSERT_TRUE(R.Ok);
    EXPECT_EQ(R.Repairs.DroppedBeforeConfig, 3) << Seekable;
    ASSERT_EQ(R.Packets.size(), 2u);
    EXPECT_EQ(R.Packets[0].Data, TBytes{3});
    EXPECT_TRUE(R.Packets[0].Key);
  }
}

TEST_F(FlvReaderTest, ChangedConfigurationComesWithTheNextFrame)
{
  TBytes Other = kAvcConfig;
  Other.back() = 0x20;
  TFlv F;
  F.V(0, Avc(1, 0, 0, kAvcConfig)).V(0, Avc(1, 1, 0, {1}));
  F.V(40, Avc(1, 0, 0, kAvcConfig)).V(40, Avc(1, 1, 0, {2}));  // a repeat: no change
  F.V(80, Avc(1, 0, 0, Other)).V(80, Avc(1, 1, 0, {3}));
  TRead R = ReadAll(F.B, true);
  ASSERT_EQ(R.Packets.size(), 3u);
  EXPECT_TRUE(R.Packets[1].NewConfig.empty());
  EXPECT_EQ(R.Packets[2].NewConfig, Other);
  EXPECT_EQ(R.Tracks[0].Config, kAvcConfig);
  EXPECT_EQ(R.Tracks[0].ConfigChanges, 1);
  EXPECT_EQ(R.Repairs.ConfigChanges, 1);
  EXPECT_NE(R.Log.find("changes at 80 ms"), std::string::npos);
}

TEST_F(FlvReaderTest, EnhancedMultitrackWithNanosecondsAndUnknownCodec)
{
  TFlv F;
  F.V(0, ExVideo(1, 0, "hvc1", kAvcConfig));
  F.V(0, TBytes{0x97, 2, 0, 0x01, 0xF4, 0x01} + Raw("hvc1") + U24(0) + TBytes{0xAA});  // ModEx 500 ns
  F.A(0, TBytes{0x95, 0x11} + Raw("Opus") + TBytes{0} + U24(1) + TBytes{0xA0} + TBytes{1} + U24(1) + TBytes{0xA1});
  F.V(10, ExVideo(1, 1, "vvc1", U24(0) + TBytes{0xAA}));
  F.V(20, ExVideo(1, 3, "hvc1", {0xBB}));
  TRead R = ReadAll(F.B, true);
  ASSERT_TRUE(R.Ok);
  ASSERT_EQ(R.Tracks.size(), 3u);
  EXPECT_EQ(R.Tracks[0].Codec, TCodec::HEVC);
  EXPECT_TRUE(R.Tracks[0].UsesNano);
  EXPECT_EQ(R.Tracks[1].Kind, TKind::Audio);
  EXPECT_EQ(R.Tracks[2].TrackId, 1);
  EXPECT_EQ(R.Tracks[2].Codec, TCodec::Opus);
  EXPECT_EQ(R.Repairs.UnreadableUnits, 1);  // vvc1 shares track 0's id: its unit is left out
  auto Video = OfStream(R, 0);
  ASSERT_EQ(Video.size(), 2u);
  EXPECT_EQ(Video[0].DtsNs, 500);
  EXPECT_EQ(OfStream(R, 2).size(), 1u);

  TFlv U;
  U.V(0, ExVideo(1, 0, "vvc1", {1})).V(0, ExVideo(1, 1, "vvc1", U24(0) + TBytes{2}));
  R = ReadAll(U.B, true);
  ASSERT_TRUE(R.Ok);
  ASSERT_EQ(R.Tracks.size(), 1u);
  EXPECT_EQ(FourCCText(R.Tracks[0].FourCCValue), "vvc1");
  EXPECT_TRUE(R.Packets.empty());
}

TEST_F(FlvReaderTest, TextTagsBecomeOneTextTrack)
{
  TFlv F;
  F.V(0, {0x12, 1}).S(0, "onTextData", AmfEcma({{"text", AmfStr("hello")}}));
  F.S(10, "onCuePoint", AmfObj({{"name", AmfStr("cue")}})).S(20, "onCaption", AmfObj({{"text", AmfStr("bye")}}));
  TRead R = ReadAll(F.B, true);
  ASSERT_EQ(R.Tracks.size(), 2u);
  EXPECT_TRUE(R.Tracks[1].Text);
  auto Text = OfStream(R, 1);
  ASSERT_EQ(Text.size(), 2u);
  EXPECT_EQ(Text[1].Data, Raw("bye"));
  EXPECT_EQ(Text[1].PtsNs, 20 * kMs);
}

TEST_F(FlvReaderTest, FileHeaderChecks)
{
  TFlv Wide(0, 15);  // flags say nothing, header says 15 bytes
  Wide.V(0, {0x12, 1});
  TRead R = ReadAll(Wide.B, true);
  EXPECT_TRUE(R.Ok) << R.Error;
  EXPECT_EQ(R.Packets.size(), 1u);
  TBytes Short = AvcAac().B;
  Short[8] = 8;
  EXPECT_FALSE(ReadAll(Short, true).Ok);
  EXPECT_FALSE(LooksLikeFlv(Short.data(), Short.size()));
  EXPECT_FALSE(ReadAll(Raw("RIFF0000WAVE0000"), false).Ok);
  EXPECT_FALSE(ReadAll(TFlv().B, true).Ok);  // no tag at all
  TBytes Good = AvcAac().B;
  EXPECT_TRUE(LooksLikeFlv(Good.data(), Good.size()));
  Good[3] = 2;
  EXPECT_FALSE(LooksLikeFlv(Good.data(), Good.size()));
}

TEST_F(FlvReaderTest, SeekGoesToTheKeyFrameBefore)
{
  TBytes File = AvcAac().B;
  TRead R = ReadAll(File, true, [](TReader &AReader) { ASSERT_TRUE(AReader.SeekMs(300)); });
  ASSERT_FALSE(R.Packets.empty());
  EXPECT_EQ(R.Packets[0].DtsNs, 200 * kMs);
  EXPECT_TRUE(R.Packets[0].Key);
  R = ReadAll(File, false, [](TReader &AReader) { EXPECT_FALSE(AReader.SeekMs(300)); });
}

// ------------------------------------------------------------- damage

class FlvDamageTest : public ::testing::TestWithParam<bool> {};  // seekable or a pipe

TEST_P(FlvDamageTest, GarbageBetweenTagsIsSkipped)
{
  TFlv F = AvcAac();
  std::size_t Mid = F.B.size();
  TFlv Tail;
  Tail.V(400, Avc(1, 1, 0, {0x77}));
  TBytes Garbage(4096);
  uint32_t Seed = 12345;
  for (uint8_t &B : Garbage) B = uint8_t((Seed = Seed * 1103515245 + 12345) >> 16);
  TBytes File = F.B + Garbage + TBytes(Tail.B.begin() + 13, Tail.B.end());
  TRead R = ReadAll(File, GetParam());
  ASSERT_TRUE(R.Ok);
  EXPECT_EQ(R.Repairs.Resyncs, 1);
  EXPECT_EQ(R.Repairs.BytesSkipped, 4096);
  EXPECT_EQ(R.Packets.back().Data, TBytes{0x77});
  EXPECT_NE(R.Log.find("at offset " + std::to_string(Mid)), std::string::npos);
}

TEST_P(FlvDamageTest, OverwrittenAndCutTagsAreDropped)
{
  TFlv F = AvcAac();
  std::size_t Clean = ReadAll(F.B, true).Packets.size();
  TBytes File = F.B;
  // overwrite the middle of the file (inside the 12th tag) with bytes that are no tag
  std::size_t At = File.size() / 2;
  for (std::size_t I = 0; I < 20; ++I) File[At + I] = 0xEE;
  File.resize(File.size() - 6);  // and cut the last tag
  TRead R = ReadAll(File, GetParam());
  ASSERT_TRUE(R.Ok);
  EXPECT_EQ(R.Repairs.TruncatedTags, 1);
  EXPECT_GE(R.Repairs.Resyncs, 1);
  EXPECT_GE(R.Packets.size(), Clean - 3);
  EXPECT_LT(R.Packets.size(), Clean);
}

TEST_P(FlvDamageTest, WrongBackPointersAreTolerated)
{
  TFlv F;
  F.V(0, Avc(1, 0, 0, kAvcConfig));
  for (int I = 0; I < 5; ++I) F.Tag(ttVideo, I * 40, Avc(1, 1, 0, {uint8_t(I)}), 4);
  TRead R = ReadAll(F.B, GetParam());
  EXPECT_EQ(R.Packets.size(), 5u);
  EXPECT_EQ(R.Repairs.Resyncs, 0);
}

INSTANTIATE_TEST_SUITE_P(SeekableAndPipe, FlvDamageTest, ::testing::Bool());

TEST(FlvPipeTest, PipeGivesTheSamePacketsAsAFile)
{
  TFlv Neg;
  Neg.V(0, Avc(1, 0, 0, kAvcConfig)).V(0, Avc(1, 1, -80, {1})).V(40, Avc(2, 1, -40, {2}));
  for (const TBytes &File : {AvcAac().B, Neg.B}) {
    TRead File1 = ReadAll(File, true), Pipe = ReadAll(File, false);
    ASSERT_EQ(File1.Packets.size(), Pipe.Packets.size());
    for (std::size_t I = 0; I < File1.Packets.size(); ++I) {
      const TPacket &A = File1.Packets[I], &B = Pipe.Packets[I];
      EXPECT_EQ(A.Stream, B.Stream) << I;
      EXPECT_EQ(A.DtsNs, B.DtsNs) << I;
      EXPECT_EQ(A.PtsNs, B.PtsNs) << I;
      EXPECT_EQ(A.Data, B.Data) << I;
      EXPECT_EQ(A.Position, B.Position) << I;
    }
    EXPECT_EQ(Pipe.DurationMs, -1);
  }
}

// The real samples: per kind, the packets ffprobe counts (the H.264 config
// repeats of flashContent1 are no packets; h264_aac.flv, whose back-pointers
// are all 4 too large, FFmpeg cannot read at all).
TEST(FlvSampleTest, PacketCountsAsFFprobe)
{
  struct TCase {
    const char *File;
    int Video, Audio;
    TCodec VideoCodec, AudioCodec;
  } Cases[] = {
      {"membrane_rtmp_plugin__testsrc.flv", 75, 132, TCodec::AVC, TCodec::AAC},
      {"red5-server__flashContent1.flv", 251, 453, TCodec::AVC, TCodec::Speex},
      {"red5-server__h264_aac.flv", 446, 1264, TCodec::AVC, TCodec::AAC},
      {"red5-server__test.flv", 11, 0, TCodec::VP6, TCodec::Unknown},
      {"ruffle__dummy.flv", 4, 0, TCodec::SorensonH263, TCodec::Unknown},
      {"ruffle__netstream_play_flv-test_video.flv", 1, 41, TCodec::SorensonH263, TCodec::MP3},
      {"ruffle__rufflelogo.flv", 1, 0, TCodec::ScreenVideo, TCodec::Unknown},
      {"ruffle__tone_alaw_mono.flv", 0, 8, TCodec::Unknown, TCodec::G711ALaw},
      {"ruffle__tone_mono_22050hz.flv", 0, 23, TCodec::Unknown, TCodec::AAC},
  };
  for (const TCase &C : Cases) {
    FILE *In = std::fopen((qvtest::SamplesDir() + "/" + C.File).c_str(), "rb");
    ASSERT_NE(In, nullptr) << C.File;
    TBytes File;
    uint8_t Chunk[65536];
    for (std::size_t N; (N = std::fread(Chunk, 1, sizeof Chunk, In)) > 0;) File.insert(File.end(), Chunk, Chunk + N);
    std::fclose(In);
    TRead R = ReadAll(File, true);
    ASSERT_TRUE(R.Ok) << C.File << ": " << R.Error;
    int Count[2] = {0, 0};
    TCodec Codec[2] = {TCodec::Unknown, TCodec::Unknown};
    for (const TTrack &T : R.Tracks) Codec[int(T.Kind)] = T.Codec;
    for (const TPacket &P : R.Packets) ++Count[int(R.Tracks[P.Stream].Kind)];
    EXPECT_EQ(Count[0], C.Video) << C.File;
    EXPECT_EQ(Count[1], C.Audio) << C.File;
    EXPECT_EQ(Codec[0], C.VideoCodec) << C.File;
    EXPECT_EQ(Codec[1], C.AudioCodec) << C.File;
    EXPECT_EQ(R.Repairs.Resyncs, 0) << C.File;
  }
}

}  // namespace
