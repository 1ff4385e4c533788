// Verified outputs: the real samples, converted the window's way and
// rewrapped, pass; outputs spoiled after the fact are refused with their
// reason; a run its user stopped verifies as decodable.
#include <gmock/gmock.h>

#include <cstdlib>
#include <functional>

#include "ComponentTestSupport.h"
#include "ConvertRecord.h"
#include "FlvTags.h"
#include "Verify.h"

using namespace qvtest;
using ::testing::HasSubstr;

namespace {

class VerifyTest : public TComponentTest, public ::testing::WithParamInterface<std::string> {
 protected:
  void SetUp() override
  {
    TComponentTest::SetUp();
    Strix->SetVerifyOutput(true);
    Strix->SetProgressInterval(100);
    LoadPresets();  // the shipped ones: the first is the window's default
    ASSERT_FALSE(Presets.empty());
  }
  // Converts AInput rewrapped when ARewrap and its streams allow, else with
  // the default preset; AStop stops the run at its first progress report.
  // The task's verification, with its end report in AEnd.
  TVerification Convert(const std::string &AInput, bool ARewrap, TEndReport &AEnd, bool AStop = false)
  {
    Strix->DeleteAllTasks();
    Rec.RunEnds = 0;
    const int index = Strix->AddTask(AInput, ConvertInputRecord(AInput));
    EXPECT_EQ(index, 0) << Strix->LastError();
    const TSourceInfo source = DescribeSource(Strix->Tasks(0).InputFiles[0]);
    const TRewrapKind kind = ARewrap ? RewrapKindOf(source) : rkNone;
    EXPECT_TRUE(Strix->AddTaskOutput(0, Output, kind != rkNone ? RewrapOutputRecord(kind, source)
                                                              : ConvertOutputRecord(&Presets.front(), &source)));
    if (AStop) Strix->OnProgress = [this](auto...) { Window.Post([this] { Strix->StopTasks(); }); };
    Strix->StartTasks(1);
    EXPECT_TRUE(WaitForRunEnd());
    for (const TEndReport &r : Rec.Reports())
      if (r.Index == 0) AEnd = r;  // the latest
    return Strix->Tasks(0).Verifications.size() == 1 ? Strix->Tasks(0).Verifications[0] : TVerification{};
  }
  std::string Output = Scratch.File("out.mp4");
};

TEST_P(VerifyTest, RealSamplesPassConvertedAndRewrapped)
{
  for (bool rewrap : {false, true}) {
    SCOPED_TRACE(GetParam() + (rewrap ? " rewrapped" : " with the default preset"));
    TEndReport end;
    const TVerification v = Convert(GetParam(), rewrap, end);
    EXPECT_TRUE(end.Finished && !end.Exception) << end.Message;
    EXPECT_TRUE(v.Checked && v.Passed) << v.Reason;
    EXPECT_FALSE(v.Streams.empty());
    for (const TVerifiedStream &s : v.Streams) {
      EXPECT_TRUE(s.Passed && s.DecodeErrors == 0 && s.InputSeconds >= 0) << s.Kind;
      // The pictures counted are those an independent decode finds.
      if (s.Kind == "video") {
        EXPECT_EQ(s.OutputFrames, DecodeVideo(Output, [](const AVFrame &) {}));
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Samples, VerifyTest, ::testing::ValuesIn(AllSamples()));

void Shell(const std::string &ACommand) { ASSERT_EQ(std::system(ACommand.c_str()), 0) << ACommand; }

using VerifySpoiled = VerifyTest;

TEST_F(VerifySpoiled, OutputsCutOrDamagedAreRefusedWithTheirReason)
{
  // H.264 and AAC, 4 s at 25 fps, copied: the output holds what the input holds.
  const std::string input = Scratch.File("in.flv"), spoiled = Scratch.File("spoiled.mp4");
  TGenOptions gen;
  gen.Seconds = 4.0;
  MakeMedia(input, gen);
  TEndReport end;
  ASSERT_TRUE(Convert(input, true, end).Passed) << end.Message;
  // Index first, so that cutting the tail cuts media data only.
  const std::string front = Scratch.File("front.mp4");
  Shell("ffmpeg -v error -y -i '" + Output + "' -c copy -movflags faststart '" + front + "'");
  auto half = [&] { Shell("ffmpeg -v error -y -i '" + Output + "' -t 2 -c copy '" + spoiled + "'"); };
  auto damage = [&] {
    std::string bytes = ReadFile(front);
    for (size_t i = bytes.size() * 2 / 5; i < bytes.size() * 3 / 5; ++i) bytes[i] = static_cast<char>(~bytes[i]);
    WriteFile(spoiled, bytes);
  };
  auto cut = [&](const std::string &AFile) {
    WriteFile(spoiled, ReadFile(AFile).substr(0, ReadFile(AFile).size() / 2));
  };
  const struct {
    const char *Name;
    std::function<void()> Spoil;
    bool Complete;         // a full conversion, or a run stopped by its user
    const char *Expected;  // part of the reason; empty: passes
  } cases[] = {
      {"half its length", half, true, "Verification failed: the output's video lasts 2.0 s of the input's 4.0 s"},
      {"media data cut", [&] { cut(front); }, true, "of the input's 4.0 s"},
      {"index (written last) cut off", [&] { cut(Output); }, true, "Verification failed: the output cannot be read"},
      {"pictures damaged", damage, true, "decoding errors in the output's video"},
      {"half its length, stopped on purpose", half, false, ""},
      {"pictures damaged, stopped on purpose", damage, false, "decoding errors in the output's video"},
  };
  for (const auto &c : cases) {
    SCOPED_TRACE(c.Name);
    c.Spoil();
    TVerifyRequest request;
    request.Input = input, request.Output = spoiled, request.Complete = c.Complete, request.VideoCopied = true;
    const TVerification v = VerifyConversion(request);
    EXPECT_EQ(v.Passed, *c.Expected == 0) << v.Reason;
    if (*c.Expected) {
      EXPECT_THAT(v.Reason, HasSubstr(c.Expected));
    }
  }
}

TEST_F(VerifySpoiled, ARecordingThatStepsBackIsMeasuredAsTheConversionMendsIt)
{
  // Appended at 2 s with its clock started again 1.5 s earlier: 4 s of media.
  TGenOptions gen;
  gen.Seconds = 4.0;
  MakeMedia(Scratch.File("in.flv"), gen);
  TFlvFile flv = TFlvFile::Load(Scratch.File("in.flv"));
  for (TFlvTag &tag : flv.Tags)
    if (tag.Timestamp >= 2000) tag.Timestamp -= 1500;
  flv.Save(Scratch.File("appended.flv"));
  for (bool rewrap : {false, true}) {
    TEndReport end;
    const TVerification v = Convert(Scratch.File("appended.flv"), rewrap, end);
    EXPECT_TRUE(v.Passed) << v.Reason;
    for (const TVerifiedStream &s : v.Streams) EXPECT_NEAR(s.InputSeconds, 4.0, 0.1) << s.Kind;
  }
}

TEST_F(VerifySpoiled, ARunStoppedByItsUserVerifiesAsDecodable)
{
  TEndReport end;
  const TVerification v = Convert(Media("long.flv", 60.0), false, end, true);
  EXPECT_FALSE(end.Finished || end.Exception) << end.Message;
  EXPECT_TRUE(v.Checked && v.Passed) << v.Reason;
  EXPECT_FALSE(v.Streams.empty());
  for (const TVerifiedStream &s : v.Streams) EXPECT_LT(s.OutputSeconds, s.InputSeconds) << s.Kind;
  EXPECT_TRUE(FileExists(Output));
}

}  // namespace
