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

// Frames I = AFirst.. of a 25 fps picture (a key frame each 5) and sound,
// both every 40 ms from AFromMs.
struct TRun {
  int64_t FromMs = 0;
  int First = 0, Count = 50;
  bool Video = true, Audio = true;
  int BackDelta = 0;
  bool NoExtension = false;  // timestamps written in 24 bits only
};

TFlv &Media(TFlv &F, const TRun &ARun)
{
  for (int I = ARun.First; I < ARun.First + ARun.Count; ++I) {
    int64_t T = ARun.FromMs + I * 40;
    if (ARun.NoExtension) T &= 0xffffff;
    if (ARun.Video) F.Tag(ttVideo, T, Avc(I % 5 ? 2 : 1, 1, 0, {uint8_t(I)}), ARun.BackDelta);
    if (ARun.Audio) F.Tag(ttAudio, T, Aac(1, {uint8_t(I)}), ARun.BackDelta);
  }
  return F;
}

// A whole file: the start and one run of frames.
TBytes Plain(const TStart &AStart = {}, const TRun &ARun = {})
{
  TFlv F = Start(AStart);
  return Media(F, ARun).B;
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
  std::function<TBytes()> Make;
  TModes Modes = mBoth;
  int64_t Count = -1;  // -1: any
  int64_t FailAfter = -1;
};

using L = TFindingLevel;
using A = TFindingAction;

const std::vector<TCase> &Cases()
{
  static const std::vector<TCase> kCases = {
      {"", L::Information, A::Mended, [] { return Plain(); }},
      {"", L::Information, A::Mended,
       [] {
         TFlv F(1);
         F.S(0, "onMetaData", AmfEcma({{"duration", AmfNum(0.16)}, {"width", AmfNum(64)}, {"height", AmfNum(48)}}));
         for (int I = 0; I < 5; ++I) F.V(I * 40, kH263Key);
         return F.B;
       }},
      {"header-flags", L::Information, A::Mended, [] { return Plain({.Flags = 1}, {}); }},
      {"header-fields", L::Information, A::Mended, [] { return Plain({.HeaderSize = 12}, {}); }},
      {"back-pointer", L::Information, A::Mended,
       [] {
         TFlv F = Start();
         return Media(F, {.BackDelta = 4}).B;
       },
       mBoth, 100},
      {"damaged-data", L::Error, A::Lost,
       [] {
         TFlv F = Start();
         Media(F, {.Count = 25});
         F.B = F.B + TBytes(300, 0xEE);
         return Media(F, {.First = 25, .Count = 25}).B;
       },
       mBoth, 1},
      {"truncated-tail", L::Error, A::Lost,
       [] {
         TBytes B = Plain();
         B.resize(B.size() - 6);
         return B;
       }},
      {"timestamp-back", L::Warning, A::Mended,
       [] {
         TFlv F = Start();
         Media(F, {.Count = 25});
         return Media(F, {.FromMs = -500, .First = 25, .Count = 25}).B;
       }},
      {"timestamp-jump", L::Warning, A::ConvertedAnyway,
       [] {
         TFlv F = Start();
         Media(F, {.Count = 25});
         return Media(F, {.FromMs = 5000, .First = 25, .Count = 25}).B;
       }},
      {"timestamp-wrap", L::Warning, A::Mended,
       [] {
         TFlv F = Start();
         return Media(F, {.FromMs = (1 << 24) - 1000, .NoExtension = true}).B;
       }},
      {"av-start-apart", L::Information, A::ConvertedAnyway,
       [] {
         TFlv F = Start();
         Media(F, {.Video = false});
         return Media(F, {.FromMs = 2000, .Audio = false}).B;
       }},
      {"av-end-apart", L::Warning, A::ConvertedAnyway,
       [] {
         TFlv F = Start();
         Media(F, {.Audio = false});
         return Media(F, {.Count = 100, .Video = false}).B;
       }},
      {"metadata-missing", L::Information, A::Mended, [] { return Plain({.Meta = false}, {}); }},
      {"metadata-duration", L::Information, A::Mended,
       [] { return Plain({.Duration = 0.5}, {}); }},
      {"metadata-duration", L::Warning, A::ConvertedAnyway,
       [] { return Plain({.Duration = 40}, {}); }},
      {"metadata-filesize", L::Warning, A::ConvertedAnyway,
       [] { return Plain({.Extra = {{"filesize", AmfNum(1e6)}}}); }, mFile},
      {"metadata-size", L::Information, A::Mended,
       [] {
         TFlv F(1);
         F.S(0, "onMetaData", AmfEcma({{"duration", AmfNum(0.16)}, {"width", AmfNum(80)}, {"height", AmfNum(48)}}));
         for (int I = 0; I < 5; ++I) F.V(I * 40, kH263Key);
         return F.B;
       }},
      {"metadata-keyframes", L::Information, A::Mended,
       [] {
         TProps Index{{"filepositions", AmfNumbers({7, 99})}, {"times", AmfNumbers({0, 0.2})}};
         return Plain({.Extra = {{"keyframes", AmfObj(Index)}}});
       },
       mBoth, 1},
      {"config-late", L::Error, A::Lost,
       [] {
         TFlv F = Start({.VideoConfig = false});
         Media(F, {.Count = 2});
         F.V(80, Avc(1, 0, 0, kAvcConfig));
         return Media(F, {.First = 2, .Count = 48}).B;
       },
       mBoth, 2},
      {"key-frame-late", L::Error, A::Lost, [] { return Plain({}, {.First = 1, .Count = 49}); },
       mBoth, 4},
      {"config-missing", L::Error, A::Lost,
       [] { return Plain({.AudioConfig = false}, {}); }, mBoth, 50},
      {"config-changed", L::Warning, A::ConvertedAnyway,
       [] {
         TFlv F = Start();
         Media(F, {.Count = 25});
         TBytes Other = kAvcConfig;
         Other.back() = 0x20;
         F.V(1000, Avc(1, 0, 0, Other));
         return Media(F, {.First = 25, .Count = 25}).B;
       }},
      {"unknown-codec", L::Error, A::Lost,
       [] {
         TFlv F = Start();
         return Media(F, {}).A(1960, TBytes{0xD2, 0}).B;  // sound format 13
       }},
      {"unreadable-tag", L::Error, A::Lost,
       [] {
         TFlv F = Start();
         return Media(F, {}).V(1960, Avc(1, 5, 0, {1})).B;  // no AVC packet type 5
       }},
      {"bad-composition-time", L::Warning, A::ConvertedAnyway,
       [] {
         TFlv F = Start();
         return Media(F, {}).V(1960, Avc(2, 1, 20000, {1})).B;
       }},
      {"negative-composition", L::Information, A::Mended,
       [] {
         TFlv F = Start();
         F.V(0, Avc(1, 1, -80, {1}));
         return Media(F, {.First = 1, .Count = 49}).B;
       }},
      {"late-track", L::Error, A::Lost,
       [] {
         TFlv F = Start({.AudioConfig = false});
         Media(F, {.Count = 100, .Audio = false});
         return F.A(4000, Aac(0, kAacConfig)).A(4000, Aac(1, {1})).B;
       },
       mPipe},
      {"read-error", L::Error, A::Lost, [] { return Plain(); }, mFile, 1, 1000},
  };
  return kCases;
}

class FlvFindingsTest : public ::testing::Test {};

TEST_F(FlvFindingsTest, EachPlantedFaultIsFoundOnceWithItsLevelAndAction)
{
  for (const TCase &C : Cases()) {
    for (bool Seekable : {true, false}) {
      if ((C.Modes == mFile && !Seekable) || (C.Modes == mPipe && Seekable)) continue;
      SCOPED_TRACE((C.Code.empty() ? std::string("clean") : C.Code) + (Seekable ? " (file)" : " (pipe)"));
      const std::vector<TFinding> Got = Findings(C.Make(), Seekable, C.FailAfter);
      if (C.Code.empty()) {
        EXPECT_EQ(Describe(Got), "");
        continue;
      }
      auto It = std::find_if(Got.begin(), Got.end(), [&C](const TFinding &F) {
        return F.Code == C.Code && F.Level == C.Level && F.Action == C.Action;
      });
      ASSERT_NE(It, Got.end()) << Describe(Got);
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
  TFlv F = Start();
  Media(F, {.Count = 10});
  const int64_t First = int64_t(F.B.size());
  F.B = F.B + TBytes(100, 0xEE);
  Media(F, {.First = 10, .Count = 10});
  F.B = F.B + TBytes(100, 0xEE);
  Media(F, {.First = 20, .Count = 30}).V(1960, Avc(2, 1, 20000, {1}));
  const std::vector<TFinding> Got = Findings(F.B, true);
  ASSERT_EQ(Describe(Got), "damaged-data error lost x2; bad-composition-time warning converted anyway x1; ");
  EXPECT_EQ(Got[0].Offset, First);
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
