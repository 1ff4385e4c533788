// The reader's findings: one file per finding code, each a plain AVC/AAC
// file built here with one fault planted, read from memory as a file and
// as a pipe; a VP6 sample under a picture size onMetaData gets right and
// wrong; the summary line for people.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "FlvBytes.h"
#include "FlvReader.h"
#include "TestEnv.h"

namespace {

using namespace flv;
using namespace flvtest;

// A Sorenson H.263 key frame header of a 64x48 picture (custom 8-bit size).
const TBytes kH263Key{0x12, 0x00, 0x00, 0x80, 0x00, 0x20, 0x18, 0x00, 0x00, 0x00};

TBytes AmfNumbers(const std::vector<double> &AValues)
{
  TBytes B = TBytes{0x0A} + U32(uint32_t(AValues.size()));
  for (double V : AValues) B = B + AmfNum(V);
  return B;
}

// The header, onMetaData (a duration of 1.96 s and AExtra) and the configurations.
struct TStart {
  uint8_t Flags = 5;
  uint32_t HeaderSize = 9;
  bool Meta = true, VideoConfig = true, AudioConfig = true;
  double Duration = 1.96;
  TProps Extra = {};
};

TFlv Start(const TStart &AStart = {})
{
  TFlv F(AStart.Flags, AStart.HeaderSize);
  TProps Meta{{"duration", AmfNum(AStart.Duration)}};
  Meta.insert(Meta.end(), AStart.Extra.begin(), AStart.Extra.end());
  if (AStart.Meta) F.S(0, "onMetaData", AmfEcma(Meta));
  if (AStart.VideoConfig) F.V(0, Avc(1, 0, 0, kAvcConfig));
  if (AStart.AudioConfig) F.A(0, Aac(0, kAacConfig));
  return F;
}

// Frames I = First.. of a 25 fps picture (AVC, a key frame each 5, or
// H.263 key frames) and sound, both every 40 ms from FromMs, after the
// bytes Before.
struct TRun {
  int64_t FromMs = 0;
  int First = 0, Count = 50;
  bool Video = true, Audio = true, H263 = false;
  int BackDelta = 0;
  bool NoExtension = false;  // timestamps written in 24 bits only
  int32_t Cts = 0;           // the first picture's composition time
  TBytes Before = {};
};

TBytes TagBytes(uint8_t AType, int64_t AMs, const TBytes &ABody)
{
  TFlv F;
  F.B.clear();
  return F.Tag(AType, AMs, ABody).B;
}

// A source that fails its reads after the first AGood bytes, 64 at a time.
class TFailingSource : public TMemorySource {
 public:
  TFailingSource(const TBytes &AData, int64_t AGood) : TMemorySource(AData.data(), AData.size()), FLeft(AGood) {}
  int64_t Read(uint8_t *ABuffer, int64_t ASize) override
  {
    if (FLeft <= 0) return -1;
    int64_t Got = TMemorySource::Read(ABuffer, std::min<int64_t>({ASize, 64, FLeft}));
    FLeft -= Got;
    return Got;
  }

 private:
  int64_t FLeft;
};

std::vector<TFinding> Findings(const TBytes &AFile, bool ASeekable, int64_t AFailAfter = -1)
{
  TMemorySource Memory(AFile.data(), AFile.size(), ASeekable);
  TFailingSource Failing(AFile, AFailAfter);
  TReader Reader(AFailAfter >= 0 ? static_cast<TByteSource &>(Failing) : Memory);
  std::string Error;
  EXPECT_TRUE(Reader.Open(Error)) << Error;
  TPacket P;
  while (Reader.Next(P)) {
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
  int64_t Count = -1;  // -1: any
  int64_t FailAfter = -1;
};

TBytes Make(const TCase &ACase)
{
  TFlv F = Start(ACase.Begin);
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
  F.B.resize(F.B.size() - ACase.Cut);
  return F.B;
}

using L = TFindingLevel;
using A = TFindingAction;

TStart H263Start(double AWidth)
{
  return {.Flags = 1, .VideoConfig = false, .AudioConfig = false, .Duration = 0.16,
          .Extra = {{"width", AmfNum(AWidth)}, {"height", AmfNum(48)}}};
}
const TRun kH263Run{.Count = 5, .Audio = false, .H263 = true};
const TProps kBadIndex{{"filepositions", AmfNumbers({7, 99})}, {"times", AmfNumbers({0, 0.2})}};
TBytes OtherConfig()
{
  TBytes B = kAvcConfig;
  B.back() = 0x20;
  return B;
}

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
     {{.Count = 25}, {.First = 25, .Count = 25, .Before = TagBytes(ttVideo, 1000, Avc(1, 0, 0, OtherConfig()))}}},
    // sound format 13; AVC packet type 5
    {"unknown-codec", L::Error, A::Lost, {}, {{}}, TagBytes(ttAudio, 1960, {0xD2, 0})},
    {"unreadable-tag", L::Error, A::Lost, {}, {{}}, TagBytes(ttVideo, 1960, Avc(1, 5, 0, {1}))},
    {"bad-composition-time", L::Warning, A::ConvertedAnyway, {}, {{.Cts = 20000}}},
    {"negative-composition", L::Information, A::Mended, {}, {{.Cts = -80}}},
    {"late-track", L::Error, A::Lost, {.AudioConfig = false}, {{.Count = 100, .Audio = false}},
     TagBytes(ttAudio, 4000, Aac(0, kAacConfig)), 0, mPipe},
};

class FlvFindingsTest : public ::testing::Test {};

TEST_F(FlvFindingsTest, EachPlantedFaultIsFoundOnceWithItsLevelAndAction)
{
  for (const TCase &C : kCases) {
    for (bool Seekable : {true, false}) {
      if ((C.Modes == mFile && !Seekable) || (C.Modes == mPipe && Seekable)) continue;
      SCOPED_TRACE((C.Code.empty() ? std::string("clean") : C.Code) + (Seekable ? " (file)" : " (pipe)"));
      const std::vector<TFinding> Got = Findings(Make(C), Seekable, C.FailAfter);
      if (C.Code.empty()) {
        EXPECT_EQ(Describe(Got), "");
        continue;
      }
      auto It = std::find_if(Got.begin(), Got.end(), [&C](const TFinding &F) {
        return F.Code == C.Code && F.Level == C.Level && F.Action == C.Action;
      });
      if (It == Got.end()) {
        ADD_FAILURE() << "not found in " << Describe(Got);
        continue;
      }
      EXPECT_FALSE(It->Text.empty());
      if (C.Count >= 0) {
        EXPECT_EQ(It->Count, C.Count) << Describe(Got);
      }
      // folded: a line per place (the audio and the video tags at most)
      EXPECT_LE(std::count_if(Got.begin(), Got.end(), [&C](const TFinding &F) { return F.Code == C.Code; }), 2)
          << Describe(Got);
    }
  }
}

TEST_F(FlvFindingsTest, FindingsAreInFileOrderWithTheFirstPlace)
{
  const TCase Two{"", L::Information, A::Mended, {},
                  {{.Count = 10}, {.First = 10, .Count = 10, .Before = TBytes(100, 0xEE)},
                   {.First = 20, .Count = 30, .Before = TBytes(100, 0xEE)}},
                  TagBytes(ttVideo, 1960, Avc(2, 1, 20000, {1}))};
  const std::vector<TFinding> Got = Findings(Make(Two), true);
  ASSERT_EQ(Describe(Got), "damaged-data error lost x2; bad-composition-time warning converted anyway x1; ");
  EXPECT_EQ(Got[0].Offset, int64_t(Make({"", L::Information, A::Mended, {}, {{.Count = 10}}}).size()));
  EXPECT_EQ(Got[0].TimeMs, 360);
  EXPECT_NE(Got[0].Text.find("200 bytes"), std::string::npos) << Got[0].Text;
  EXPECT_EQ(Got[1].TimeMs, 1960);
}

// The VP6 sample's picture size (470x342 by ffprobe) from its key frame,
// under an onMetaData that gets it right and one that does not.
TEST_F(FlvFindingsTest, Vp6PictureSizeAgainstOnMetaData)
{
  const std::string Sample = qvtest::ReadFile(qvtest::SamplesDir() + "/red5-server__test.flv");
  for (const auto &[Width, Found] : {std::pair{470, false}, std::pair{480, true}}) {
    TFlv F(1);
    F.S(0, "onMetaData", AmfEcma({{"width", AmfNum(Width)}, {"height", AmfNum(342)}}));
    F.B.insert(F.B.end(), Sample.begin() + 13, Sample.end());
    const std::vector<TFinding> Got = Findings(F.B, true);
    EXPECT_EQ(std::any_of(Got.begin(), Got.end(), [](const TFinding &G) { return G.Code == "metadata-size"; }), Found)
        << Width << ": " << Describe(Got);
  }
}

TEST_F(FlvFindingsTest, SummaryNamesTheWorstOutcome)
{
  auto Make = [](std::vector<std::pair<L, A>> AList) {
    std::vector<TFinding> V;
    for (const auto &[Level, Action] : AList) V.push_back({"x", Level, Action, -1, -1, 1, "x"});
    return V;
  };
  const std::vector<std::pair<std::vector<TFinding>, std::string>> Table = {
      {{}, ""},
      {Make({{L::Information, A::Mended}, {L::Information, A::Lost}}), ""},
      {Make({{L::Warning, A::Mended}}), "1 problem found: it will be mended"},
      {Make({{L::Warning, A::Mended}, {L::Information, A::Lost}, {L::Warning, A::Mended}}),
       "2 problems found: they will be mended"},
      {Make({{L::Warning, A::Mended}, {L::Warning, A::ConvertedAnyway}}),
       "2 problems found: it will be converted anyway"},
      {Make({{L::Warning, A::ConvertedAnyway}, {L::Error, A::Lost}, {L::Warning, A::Mended}}),
       "3 problems found: some data will be lost"},
  };
  for (const auto &[List, Want] : Table) EXPECT_EQ(FindingsSummary(List), Want) << Describe(List);
}

}  // namespace
