// The FLV tag parser, AMF0 and TReader on byte buffers built here, and on
// the real samples against what ffprobe counts in them; what it finds wrong.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <fstream>
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
  return TBytes{0} + U32(uint32_t(Bits >> 32)) + U32(uint32_t(Bits));
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
{  // legacy AVC, or HEVC with codec id 12
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
  std::string Error, Log;
  std::vector<TTrack> Tracks;
  std::vector<TPacket> Packets;
  TRepairs Repairs;
  TMetaData Meta;
  int64_t DurationMs = 0;
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

// "stream:dts/pts(ms)[k][+config bytes] data bytes" per packet
std::string Dump(const TRead &R)
{
  std::string S;
  for (const TPacket &P : R.Packets) {
    S += std::to_string(P.Stream) + ":" + std::to_string(P.DtsNs / 1000000) + "/" + std::to_string(P.PtsNs / 1000000) +
         (P.Key ? "k" : "") + (P.NewConfig.empty() ? "" : "+" + std::to_string(P.NewConfig.size()));
    for (uint8_t B : P.Data) S += " " + std::to_string(B);
    S += "|";
  }
  return S;
}

// ------------------------------------------------------------- tag bodies

class FlvBodyTest : public ::testing::Test {
 protected:
  std::vector<TUnit> Units;
  std::string Error;
  // Per unit: [track] codec, type letter and size, then what is not zero:
  // k(ey video), x (command), e(nhanced), c(omposition), n(anoseconds),
  // m(ultichannel count), legacy audio rate/bits/channels. "" when it fails.
  std::string Parse(bool AVideo, const TBytes &B)
  {
    Units.clear();
    if (!(AVideo ? ParseVideoBody : ParseAudioBody)(B.data(), B.size(), Units, Error)) return "";
    std::string S;
    auto Add = [&S](bool AIf, const std::string &AText) { S += AIf ? AText : ""; };
    for (const TUnit &U : Units) {
      Add(!S.empty(), "|");
      Add(U.Track, std::to_string(U.Track) + ":");
      S += std::string(CodecText(U.Codec)) + " " + "CFEDM"[int(U.Type)] + std::to_string(U.Size);
      Add(U.Key && U.Kind == TKind::Video, " k");
      Add(U.Command, " x");
      Add(U.Enhanced, " e");
      Add(U.CompositionMs, " c" + std::to_string(U.CompositionMs));
      Add(U.NanoOffset, " n" + std::to_string(U.NanoOffset));
      Add(U.MultichannelCount, " m" + std::to_string(U.MultichannelCount));
      Add(U.SampleRate, " " + std::to_string(U.SampleRate) + "/" + std::to_string(U.Bits) + "/" +
                            std::to_string(U.Channels));
    }
    return S;
  }
};

TEST_F(FlvBodyTest, LegacyAudio)
{
  std::pair<TBytes, const char *> Cases[] = {
      {{0x0A, 1, 2}, "PCM F2 22050/16/1"},
      {{0x1D, 1, 2}, "ADPCM F2 44100/8/2"},
      {{0x2F, 1, 2}, "MP3 F2 44100/16/2"},
      {{0x3E, 1, 2}, "PCM little-endian F2 44100/16/1"},
      {{0x4F, 1, 2}, "Nellymoser 16 kHz F2 16000/16/1"},  // fixed rates and mono whatever the bits say
      {{0x5F, 1, 2}, "Nellymoser 8 kHz F2 8000/16/1"},
      {{0x6A, 1, 2}, "Nellymoser F2 22050/16/1"},
      {{0x72, 1, 2}, "G.711 A-law F2 5512/16/1"},
      {{0x86, 1, 2}, "G.711 mu-law F2 11025/16/1"},
      {{0xBF, 1, 2}, "Speex F2 16000/16/1"},
      {{0xEF, 1, 2}, "MP3 8 kHz F2 8000/16/2"},
      {{0xF2, 1, 2}, "unknown F2 5512/16/1"},
      {Aac(0, kAacConfig), "AAC C2 44100/16/2"},
      {Aac(1, {1, 2, 3}), "AAC F3 44100/16/2"},
      {Aac(2, {}), ""},
      {{0xAF}, ""},
  };
  for (const auto &[Body, Want] : Cases) EXPECT_EQ(Parse(false, Body), Want) << Want;
}

TEST_F(FlvBodyTest, Video)
{
  std::pair<TBytes, const char *> Cases[] = {
      {{0x12, 1, 2, 3}, "Sorenson H.263 F3 k"},
      {{0x23, 1, 2, 3}, "Screen Video F3"},
      {{0x34, 0x11, 2, 3}, "VP6 C1|VP6 F2"},  // the size adjustment apart, as configuration
      {{0x15, 0x11, 0, 0, 2, 9}, "VP6 alpha C1 k|VP6 alpha F4 k"},
      {{0x46, 1, 2, 3}, "Screen Video 2 F3 k"},
      {Avc(2, 1, -2, {9}), "AVC F1 c-2"},
      {Avc(1, 0, 0, kAvcConfig, 12), "HEVC C12 k"},
      {Avc(1, 1, 0x7fffff, {9, 9}, 12), "HEVC F2 k c8388607"},
      {Avc(2, 2, 0, {}), "AVC E0"},
      {{0x57, 0}, "AVC F1 x"},
      {Avc(1, 3, 0, {}), ""},
      {{0x17, 1, 0}, ""},
      {{}, ""},
      {ExVideo(1, 1, "hvc1", U24(40) + TBytes{0xAA}), "HEVC F1 k e c40"},
      {ExVideo(2, 3, "avc1", {0xAA, 0xBB}), "AVC F2 e"},
      {ExVideo(1, 0, "av01", {0x81, 0}), "AV1 C2 k e"},
      {ExVideo(1, 1, "vp09", {0xAA}), "VP9 F1 k e"},
      {ExVideo(1, 5, "av01", {1}), "AV1 C1 k e"},
      {ExVideo(1, 2, "vp08", {}), "VP8 E0 k e"},
      {TBytes{0x97, 2, 0, 1, 0xF4, 0x01} + Raw("av01") + TBytes{0xAA}, "AV1 F1 k e n500"},
      {TBytes{0xD1, 0}, "unknown F1 x e"},
      {ExVideo(1, 1, "vvc1", U24(0) + TBytes{0xAA}), "unknown F1 k e"},
      {ExVideo(1, 9, "avc1", {}), ""},
      {ExVideo(1, 1, "hvc1", {0}), ""},
      {TBytes{0x97, 5, 0}, ""},
  };
  for (const auto &[Body, Want] : Cases) EXPECT_EQ(Parse(true, Body), Want) << Want;
  Parse(true, ExVideo(1, 1, "vvc1", {0, 0, 0}));
  EXPECT_EQ(FourCCText(Units.at(0).FourCCValue), "vvc1");
  EXPECT_EQ(FourCCText(0x01020304), "0x01020304");
}

TEST_F(FlvBodyTest, MultitrackModExAndChannels)
{
  TBytes Mod(257, 0);  // a ModEx of 257 bytes needs the 16-bit size
  Mod[2] = 7;
  std::tuple<bool, TBytes, const char *> Cases[] = {
      {true, TBytes{0x96, 0x21} + Raw("avc1") + TBytes{0} + U24(4) + U24(33) + TBytes{0xAA} + Raw("av01") +
                 TBytes{1} + U24(1) + TBytes{0xBB},
       "AVC F1 k e c33|1:AV1 F1 k e"},
      {false, TBytes{0x95, 0x01} + Raw("Opus") + TBytes{2, 0xAA, 0xBB}, "2:Opus F2 e"},
      {false, TBytes{0x95, 0x10} + Raw("mp4a") + TBytes{0} + U24(2) + kAacConfig + TBytes{1} + U24(0),
       "AAC C2 e|1:AAC C0 e"},
      {false, TBytes{0x94} + Raw("Opus") + TBytes{0, 6}, "Opus M2 e m6"},
      {false, TBytes{0x97, 0xFF} + U16(256) + Mod + TBytes{0x01} + Raw("fLaC") + TBytes{0xAA}, "FLAC F1 e n7"},
      {false, TBytes{0x92} + Raw("ec-3"), "E-AC-3 E0 e"},
      {true, TBytes{0x96, 0x11} + Raw("av01") + TBytes{0} + U24(9) + TBytes{0xAA}, ""},  // track past its body
      {false, TBytes{0x95, 0x31} + Raw("Opus"), ""},                                    // unknown multitrack kind
      {false, TBytes{0x93} + Raw("Opus"), ""},                                          // unknown packet type
  };
  for (const auto &[IsVideo, Body, Want] : Cases) EXPECT_EQ(Parse(IsVideo, Body), Want) << Want;
}

TEST_F(FlvBodyTest, MetadataFrameGivesColour)
{
  TBytes Config = AmfObj({{"colorPrimaries", AmfNum(9)}, {"transferCharacteristics", AmfNum(16)},
                          {"matrixCoefficients", AmfNum(9)}});
  TBytes Cll = AmfObj({{"maxCLL", AmfNum(1000)}, {"maxFall", AmfNum(400)}});
  EXPECT_EQ(Parse(true, ExVideo(1, 4, "hvc1", AmfStr("colorInfo") + AmfObj({{"colorConfig", Config}, {"hdrCll", Cll}}))),
            "HEVC D168 k e");
  const TColorInfo &C = Units.at(0).Color;
  EXPECT_EQ(std::make_tuple(C.ColorPrimaries, C.TransferCharacteristics, C.MatrixCoefficients, C.MaxCLL, C.MaxFALL),
            std::make_tuple(9, 16, 9, 1000, 400));
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
  EXPECT_EQ(std::make_tuple(Name, Value.Props.size(), Value.Find("n")->Num, Value.Find("o")->Find("inner")->Num),
            std::make_tuple(std::string("onMetaData"), std::size_t(10), 2.5, 1.0));
  EXPECT_EQ(std::make_tuple(Value.Find("b")->Type, Value.Find("ref")->Type, Value.Find("date")->Type),
            std::make_tuple(TAmfValue::Boolean, TAmfValue::Undefined, TAmfValue::Date));
  EXPECT_EQ(std::make_tuple(Value.Find("arr")->Items.at(1).Text, Value.Find("date")->Num, Value.Find("long")->Text),
            std::make_tuple(std::string("x"), 86400000.0, std::string("abc")));
  EXPECT_EQ(Value.Find("missing"), nullptr);
  for (std::size_t Cut = 14; Cut < Body.size(); ++Cut)  // every value cut short fails
    EXPECT_FALSE(Parse(TBytes(Body.begin(), Body.begin() + Cut))) << Cut;
  EXPECT_TRUE(Parse(TBytes(Body.begin(), Body.begin() + 13)));  // a name alone
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
  EXPECT_EQ(std::make_tuple(V.Codec, V.Config, V.Packets, V.FirstMs, V.LastMs),
            std::make_tuple(TCodec::AVC, kAvcConfig, int64_t(10), int64_t(0), int64_t(360)));
  EXPECT_EQ(std::make_tuple(A.Codec, A.Config, A.SampleRate, A.Channels, A.Packets),
            std::make_tuple(TCodec::AAC, kAacConfig, 44100, 2, int64_t(10)));
  EXPECT_EQ(R.DurationMs, 360);
  EXPECT_EQ(std::make_tuple(R.Meta.Duration, R.Meta.Width, R.Meta.VideoCodecId, R.Meta.AudioCodecId),
            std::make_tuple(0.4, 64.0, std::string("7"), std::string("mp4a")));
  ASSERT_EQ(R.Meta.Tags.size(), 8u);
  EXPECT_EQ(R.Meta.Tags[6], (std::pair<std::string, std::string>("encoder", "hand")));
  EXPECT_EQ(R.Meta.Tags[7].second, "true");
  EXPECT_TRUE(Dump(R).starts_with("0:0/40k 0 170|1:0/0k 0 187|0:40/160 1 170|1:23/23k 1 187|")) << Dump(R);
  EXPECT_FALSE(R.Repairs.Any());
}

TEST_F(FlvReaderTest, NegativeCompositionMovesDecodingTimesBack)
{
  TFlv F;
  F.V(0, Avc(1, 0, 0, kAvcConfig)).V(0, Avc(1, 1, 0, {1})).V(40, Avc(2, 1, -40, {2})).V(80, Avc(2, 1, 0, {3}));
  F.V(120, Avc(2, 1, -4000000, {4}));  // a damaged composition time moves nothing
  TRead R = ReadAll(F.B, true);
  EXPECT_EQ(R.Tracks.at(0).DtsShiftMs, 40);
  EXPECT_EQ(R.Repairs.ShiftedTracks, 1);
  EXPECT_EQ(Dump(R), "0:-40/0k 1|0:0/0 2|0:40/80 3|0:80/120 4|");
}

TEST_F(FlvReaderTest, ChangedConfigurationComesWithTheNextFrame)
{
  TBytes Other = kAvcConfig;
  Other.push_back(0x20);
  TFlv F;
  F.V(0, Avc(1, 0, 0, kAvcConfig)).V(0, Avc(1, 1, 0, {1}));
  F.V(40, Avc(1, 0, 0, kAvcConfig)).V(40, Avc(1, 1, 0, {2}));  // a repeat: no change
  F.V(80, Avc(1, 0, 0, Other)).V(80, Avc(1, 1, 0, {3}));
  TRead R = ReadAll(F.B, true);
  EXPECT_EQ(Dump(R), "0:0/0k 1|0:40/40k 2|0:80/80k+13 3|");
  EXPECT_EQ(R.Tracks.at(0).Config, kAvcConfig);
  EXPECT_EQ(R.Tracks[0].ConfigChanges, 1);
  EXPECT_EQ(R.Repairs.ConfigChanges, 1);
  EXPECT_NE(R.Log.find("changes at 80 ms"), std::string::npos);
}

TEST_F(FlvReaderTest, EnhancedMultitrackNanosecondsUnknownCodecAndText)
{
  TFlv F;
  F.V(0, ExVideo(1, 0, "hvc1", kAvcConfig));
  F.V(0, TBytes{0x97, 2, 0, 0x01, 0xF4, 0x01} + Raw("hvc1") + U24(0) + TBytes{7});  // ModEx: 500 ns
  F.A(0, TBytes{0x95, 0x11} + Raw("Opus") + TBytes{0} + U24(1) + TBytes{8} + TBytes{1} + U24(1) + TBytes{9});
  F.V(10, ExVideo(1, 1, "vvc1", U24(0) + TBytes{0xAA}));  // track 0 of another codec: left out
  F.S(15, "onTextData", AmfEcma({{"text", AmfStr("hi")}})).S(16, "onCuePoint", AmfObj({{"text", AmfStr("no")}}));
  F.V(20, ExVideo(1, 3, "hvc1", {6})).S(25, "onCaption", AmfObj({{"text", AmfStr("ok")}}));
  TRead R = ReadAll(F.B, true);
  ASSERT_EQ(R.Tracks.size(), 4u);
  EXPECT_EQ(std::make_tuple(R.Tracks[0].Codec, R.Tracks[0].UsesNano), std::make_tuple(TCodec::HEVC, true));
  EXPECT_EQ(std::make_tuple(R.Tracks[2].Kind, R.Tracks[2].TrackId, R.Tracks[2].Codec),
            std::make_tuple(TKind::Audio, uint8_t(1), TCodec::Opus));
  EXPECT_TRUE(R.Tracks[3].Text);
  EXPECT_EQ(R.Repairs.UnreadableUnits, 1);
  // DtsNs/1e6 drops the 500 ns; a caption is its UTF-8 bytes, a cue point its whole body
  EXPECT_EQ(Dump(R),
            "0:0/0k 7|1:0/0k 8|2:0/0k 9|3:15/15k 104 105|3:16/16k 2 0 10 111 110 67 117 101 80 111 105 110 116 3 0 4 "
            "116 101 120 116 2 0 2 110 111 0 0 9|0:20/20k 6|3:25/25k 111 107|");
  EXPECT_EQ(R.Packets[0].PtsNs, 500);

  TFlv U;  // a file of only an unknown codec still names it
  U.V(0, ExVideo(1, 0, "vvc1", {1})).V(0, ExVideo(1, 1, "vvc1", U24(0) + TBytes{2}));
  R = ReadAll(U.B, true);
  ASSERT_TRUE(R.Ok);
  EXPECT_EQ(FourCCText(R.Tracks.at(0).FourCCValue), "vvc1");
  EXPECT_TRUE(R.Packets.empty());
}

TEST_F(FlvReaderTest, FileHeaderChecks)
{
  TFlv Wide(0, 15);  // flags say nothing, header says 15 bytes
  Wide.V(0, {0x12, 1});
  EXPECT_EQ(Dump(ReadAll(Wide.B, true)), "0:0/0k 1|");
  TBytes Good = AvcAac().B, Short = Good, V2 = Good;
  Short[8] = 8;
  V2[3] = 2;
  EXPECT_TRUE(LooksLikeFlv(Good.data(), Good.size()));
  EXPECT_FALSE(LooksLikeFlv(Short.data(), Short.size()));
  EXPECT_FALSE(LooksLikeFlv(V2.data(), V2.size()));
  EXPECT_FALSE(ReadAll(Short, true).Ok);
  EXPECT_FALSE(ReadAll(Raw("RIFF0000WAVE0000"), false).Ok);
  EXPECT_FALSE(ReadAll(TFlv().B, true).Ok);  // no tag at all
}

TEST_F(FlvReaderTest, SeekGoesToTheKeyFrameBefore)
{
  TRead R = ReadAll(AvcAac().B, true, [](TReader &AReader) { ASSERT_TRUE(AReader.SeekMs(300)); });
  EXPECT_TRUE(Dump(R).starts_with("0:200/240k 5 170|")) << Dump(R);
  ReadAll(AvcAac().B, false, [](TReader &AReader) { EXPECT_FALSE(AReader.SeekMs(300)); });
}

// ------------------------------------------------------------- damage
// (garbage, overwritten and cut tags, late configurations and pipes against
// files are judged on real media in flvmedia_test.cpp)

class FlvDamageTest : public ::testing::TestWithParam<bool> {};  // seekable or a pipe

TEST_P(FlvDamageTest, WrongBackPointersAreTolerated)
{
  TFlv F;
  F.V(0, Avc(1, 0, 0, kAvcConfig));
  for (int I = 0; I < 3; ++I) F.Tag(ttVideo, I * 40, Avc(1, 1, 0, {uint8_t(I)}), 4);
  TRead R = ReadAll(F.B, GetParam());
  EXPECT_EQ(Dump(R), "0:0/0k 0|0:40/40k 1|0:80/80k 2|");
  EXPECT_FALSE(R.Repairs.Any());
}

INSTANTIATE_TEST_SUITE_P(SeekableAndPipe, FlvDamageTest, ::testing::Bool());

// The real samples: per kind, the packets ffprobe counts (the H.264 config
// repeats of flashContent1 are no packets; h264_aac.flv, whose back-pointers
// are all 4 too large, FFmpeg cannot read at all).
TEST(FlvSampleTest, PacketCountsAsFFprobe)
{
  std::tuple<const char *, int, int, TCodec, TCodec> Cases[] = {
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
  for (const auto &[Name, Video, Audio, VideoCodec, AudioCodec] : Cases) {
    std::ifstream In(qvtest::SamplesDir() + "/" + Name, std::ios::binary);
    TRead R = ReadAll(TBytes(std::istreambuf_iterator<char>(In), {}), true);
    ASSERT_TRUE(R.Ok) << Name << ": " << R.Error;
    int Count[2] = {0, 0};
    TCodec Codec[2] = {TCodec::Unknown, TCodec::Unknown};
    for (const TTrack &T : R.Tracks) Codec[int(T.Kind)] = T.Codec;
    for (const TPacket &P : R.Packets) ++Count[int(R.Tracks[P.Stream].Kind)];
    EXPECT_EQ(std::make_tuple(Count[0], Count[1], Codec[0], Codec[1], R.Repairs.Resyncs),
              std::make_tuple(Video, Audio, VideoCodec, AudioCodec, 0))
        << Name;
  }
}

// ------------------------------------------------------------- findings
// A Sorenson H.263 key frame header of a 64x48 picture (custom 8-bit size).
const TBytes kH263Key{0x12, 0x00, 0x00, 0x80, 0x00, 0x20, 0x18, 0x00, 0x00, 0x00};

// The header, onMetaData (its duration and Extra) and the configurations.
struct TStart {
  uint8_t Flags = 5;
  uint32_t HeaderSize = 9;
  bool Meta = true, VideoConfig = true, AudioConfig = true;
  double Duration = 1.96;
  TProps Extra = {};
};

// Frames First.. at 25 fps from FromMs after the bytes Before: AVC (a key frame each 5) or H.263 key frames, and AAC.
struct TRun {
  int64_t FromMs = 0;
  int First = 0, Count = 50;
  bool Video = true, Audio = true, H263 = false;
  int BackDelta = 0;
  bool NoExtension = false;  // timestamps written in 24 bits only
  int32_t Cts = 0;           // the first picture's composition time
  TBytes Before = {};
};

TBytes TagBytes(uint8_t AType, int64_t AMs, const TBytes &AB) { TFlv F; F.B.clear(); return F.Tag(AType, AMs, AB).B; }

// A source that fails its reads after the first AGood bytes, 64 at a time.
struct TFailingSource : TMemorySource {
  TFailingSource(const TBytes &AData, int64_t AGood) : TMemorySource(AData.data(), AData.size()), Left(AGood) {}
  int64_t Read(uint8_t *ABuffer, int64_t ASize) override
  {
    int64_t Got = Left <= 0 ? -1 : TMemorySource::Read(ABuffer, std::min<int64_t>({ASize, 64, Left}));
    return Left -= Got, Got;
  }
  int64_t Left;
};

std::vector<TFinding> Findings(const TBytes &AFile, bool ASeekable, int64_t AFailAfter = -1)
{
  TMemorySource Memory(AFile.data(), AFile.size(), ASeekable);
  TFailingSource Failing(AFile, AFailAfter);
  TReader Reader(AFailAfter >= 0 ? static_cast<TByteSource &>(Failing) : Memory);
  std::string Error;
  EXPECT_TRUE(Reader.Open(Error)) << Error;
  for (TPacket P; Reader.Next(P);) {
  }
  return Reader.Findings();
}

std::string Describe(const std::vector<TFinding> &AFindings)
{
  std::string S;
  for (const TFinding &F : AFindings)
    S += F.Code + " " + LevelName(F.Level) + " " + ActionName(F.Action) + " x" + std::to_string(F.Count) + "; ";
  return S;
}

enum TModes { mBoth, mFile, mPipe };

struct TCase {
  std::string Code;  // "" for a file with no finding at all
  TFindingLevel Level = TFindingLevel::Information;
  TFindingAction Action = TFindingAction::Mended;
  TStart Begin = {};
  std::vector<TRun> Runs = {{}};
  TBytes After = {};
  std::size_t Cut = 0;  // bytes cut off the end
  TModes Modes = mBoth;
  int64_t Count = -1, FailAfter = -1;  // Count -1: any
};

TBytes Make(const TCase &ACase)
{
  const TStart &S = ACase.Begin;
  TFlv F(S.Flags, S.HeaderSize);
  TProps Meta{{"duration", AmfNum(S.Duration)}};
  Meta.insert(Meta.end(), S.Extra.begin(), S.Extra.end());
  if (S.Meta) F.S(0, "onMetaData", AmfEcma(Meta));
  if (S.VideoConfig) F.V(0, Avc(1, 0, 0, kAvcConfig));
  if (S.AudioConfig) F.A(0, Aac(0, kAacConfig));
  for (const TRun &R : ACase.Runs) {
    F.B = F.B + R.Before;
    for (int I = R.First; I < R.First + R.Count; ++I) {
      const int64_t T = R.NoExtension ? (R.FromMs + I * 40) & 0xffffff : R.FromMs + I * 40;
      if (R.Video)
        F.Tag(ttVideo, T, R.H263 ? kH263Key : Avc(I % 5 ? 2 : 1, 1, I == R.First ? R.Cts : 0, {uint8_t(I)}),
              R.BackDelta);
      if (R.Audio) F.Tag(ttAudio, T, Aac(1, {uint8_t(I)}), R.BackDelta);
    }
  }
  F.B = F.B + ACase.After;
  return TBytes(F.B.begin(), F.B.end() - std::ptrdiff_t(ACase.Cut));
}

using L = TFindingLevel;
using A = TFindingAction;

TStart H263Start(double AWidth)
{  // a 64x48 picture, and onMetaData's width
  return {1, 9, true, false, false, 0.16, {{"width", AmfNum(AWidth)}, {"height", AmfNum(48)}}};
}
const TRun kH263Run{.Count = 5, .Audio = false, .H263 = true};
const TBytes kTwoNumbers = TBytes{0x0A} + U32(2);  // strict array head
const TProps kBadIndex{{"filepositions", kTwoNumbers + AmfNum(7) + AmfNum(99)},
                       {"times", kTwoNumbers + AmfNum(0) + AmfNum(0.2)}};
const TBytes kOtherConfig = [] { TBytes B = kAvcConfig; B.back() = 0x20; return B; }();

const std::vector<TCase> kCases = {
    {""},
    {"", L::Information, A::Mended, H263Start(64), {kH263Run}},
    {"header-flags", L::Information, A::Mended, {.Flags = 1}},
    {"header-fields", L::Information, A::Mended, {.HeaderSize = 12}},
    {"back-pointer", L::Information, A::Mended, {}, {{.BackDelta = 4}}, {}, 0, mBoth, 100},
    {"damaged-data", L::Error, A::Lost, {},
     {{.Count = 25}, {.First = 25, .Count = 25, .Before = TBytes(300, 0xEE)}}, {}, 0, mBoth, 1},
    {"truncated-tail", L::Error, A::Lost, {}, {{}}, {}, 6},
    {"read-error", L::Error, A::Lost, {}, {{}}, {}, 0, mFile, 1, 1000},
    {"timestamp-back", L::Warning, A::Mended, {}, {{.Count = 25}, {.FromMs = -500, .First = 25, .Count = 25}}},
    {"timestamp-jump", L::Warning, A::ConvertedAnyway, {},
     {{.Count = 25}, {.FromMs = 5000, .First = 25, .Count = 25}}},
    {"timestamp-wrap", L::Warning, A::Mended, {}, {{.FromMs = (1 << 24) - 1000, .NoExtension = true}}},
    {"av-start-apart", L::Information, A::ConvertedAnyway, {}, {{.Video = false}, {.FromMs = 2000, .Audio = false}}},
    {"av-end-apart", L::Warning, A::ConvertedAnyway, {}, {{.Audio = false}, {.Count = 100, .Video = false}}},
    {"metadata-missing", L::Information, A::Mended, {.Meta = false}},
    {"metadata-duration", L::Information, A::Mended, {.Duration = 0.5}},
    {"metadata-duration", L::Warning, A::ConvertedAnyway, {.Duration = 40}},
    {"metadata-filesize", L::Warning, A::ConvertedAnyway, {.Extra = {{"filesize", AmfNum(1e6)}}}, {{}}, {}, 0, mFile},
    {"metadata-size", L::Information, A::Mended, H263Start(80), {kH263Run}},
    {"metadata-keyframes", L::Information, A::Mended, {.Extra = {{"keyframes", AmfObj(kBadIndex)}}}, {{}}, {}, 0,
     mBoth, 1},
    {"config-late", L::Error, A::Lost, {.VideoConfig = false},
     {{.Count = 2}, {.First = 2, .Count = 48, .Before = TagBytes(ttVideo, 80, Avc(1, 0, 0, kAvcConfig))}}, {}, 0,
     mBoth, 2},
    {"key-frame-late", L::Error, A::Lost, {}, {{.First = 1, .Count = 49}}, {}, 0, mBoth, 4},
    {"config-missing", L::Error, A::Lost, {.AudioConfig = false}, {{}}, {}, 0, mBoth, 50},
    {"config-changed", L::Warning, A::ConvertedAnyway, {},
     {{.Count = 25}, {.First = 25, .Count = 25, .Before = TagBytes(ttVideo, 1000, Avc(1, 0, 0, kOtherConfig))}}},
    // sound format 13; AVC packet type 5
    {"unknown-codec", L::Error, A::Lost, {}, {{}}, TagBytes(ttAudio, 1960, {0xD2, 0})},
    {"unreadable-tag", L::Error, A::Lost, {}, {{}}, TagBytes(ttVideo, 1960, Avc(1, 5, 0, {1}))},
    {"bad-composition-time", L::Warning, A::ConvertedAnyway, {}, {{.Cts = 20000}}},
    {"negative-composition", L::Information, A::Mended, {}, {{.Cts = -80}}},
    {"late-track", L::Error, A::Lost, {.AudioConfig = false}, {{.Count = 100, .Audio = false}},
     TagBytes(ttAudio, 4000, Aac(0, kAacConfig)), 0, mPipe},
};

// One plain AVC/AAC file per finding code with its fault planted, read as a file and as a pipe.
TEST(FlvFindings, EachPlantedFaultIsFoundOnceWithItsLevelAndAction)
{
  for (const TCase &C : kCases)
    for (bool Seekable : {true, false}) {
      if ((C.Modes == mFile && !Seekable) || (C.Modes == mPipe && Seekable)) continue;
      SCOPED_TRACE((C.Code.empty() ? std::string("clean") : C.Code) + (Seekable ? " (file)" : " (pipe)"));
      const std::vector<TFinding> Got = Findings(Make(C), Seekable, C.FailAfter);
      auto Is = [&C](const TFinding &F) { return F.Code == C.Code; };
      auto It = std::find_if(Got.begin(), Got.end(), [&](const TFinding &F) {
        return Is(F) && F.Level == C.Level && F.Action == C.Action && !F.Text.empty();
      });
      if (C.Code.empty())
        EXPECT_EQ(Describe(Got), "");
      else  // folded: a line per place (the audio and the video tags at most)
        EXPECT_TRUE(It != Got.end() && (C.Count < 0 || It->Count == C.Count) &&
                    std::count_if(Got.begin(), Got.end(), Is) <= 2) << Describe(Got);
    }
}

TEST(FlvFindings, AreInFileOrderWithTheFirstPlace)
{
  const TRun Head{.Count = 10}, Garbage{.First = 10, .Count = 10, .Before = TBytes(100, 0xEE)};
  const TCase Two{"", L::Information, A::Mended, {},
                  {Head, Garbage, {.First = 20, .Count = 30, .Before = Garbage.Before}},
                  TagBytes(ttVideo, 1960, Avc(2, 1, 20000, {1}))};
  const std::vector<TFinding> Got = Findings(Make(Two), true);
  ASSERT_EQ(Describe(Got), "damaged-data error lost x2; bad-composition-time warning converted anyway x1; ");
  EXPECT_EQ(Got[0].Offset, int64_t(Make({"", L::Information, A::Mended, {}, {Head}}).size()));
  EXPECT_EQ(Got[0].TimeMs, 360);
  EXPECT_NE(Got[0].Text.find("200 bytes"), std::string::npos) << Got[0].Text;
  EXPECT_EQ(Got[1].TimeMs, 1960);
}

// The VP6 sample's picture size (470x342 by ffprobe) from its key frame, under an onMetaData right and wrong.
TEST(FlvFindings, Vp6PictureSizeAgainstOnMetaData)
{
  const std::string Sample = qvtest::ReadFile(qvtest::SamplesDir() + "/red5-server__test.flv");
  for (int Width : {470, 480}) {
    const TBytes File = TFlv(1).S(0, "onMetaData", AmfEcma({{"width", AmfNum(Width)}, {"height", AmfNum(342)}})).B +
                        TBytes(Sample.begin() + 13, Sample.end());
    const std::string Got = Describe(Findings(File, true));
    EXPECT_EQ(Got.find("metadata-size") != std::string::npos, Width == 480) << Got;
  }
}

TEST(FlvFindings, SummaryNamesTheWorstOutcome)
{
  auto F = [](L ALevel, A AAction) { TFinding R; R.Level = ALevel, R.Action = AAction; return R; };
  const TFinding Im = F(L::Information, A::Mended), Il = F(L::Information, A::Lost), Wm = F(L::Warning, A::Mended),
                 Wc = F(L::Warning, A::ConvertedAnyway), El = F(L::Error, A::Lost);
  const std::vector<std::pair<std::vector<TFinding>, std::string>> Table = {
      {{}, ""}, {{Im, Il}, ""}, {{Wm}, "1 problem found: it will be mended"},
      {{Wm, Il, Wm}, "2 problems found: they will be mended"},
      {{Wm, Wc}, "2 problems found: it will be converted anyway"},
      {{Wc, El, Wm}, "3 problems found: some data will be lost"}};
  for (const auto &[List, Want] : Table) EXPECT_EQ(FindingsSummary(List), Want) << Describe(List);
}

}  // namespace
