// Verified outputs: the real samples pass converted and rewrapped; outputs
// spoiled after the fact are refused with their reason.
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
  // AInput rewrapped when ARewrap and its streams allow, else with the default
  // preset; AStop stops the run at its first progress report.
  TVerification Convert(const std::string &AInput, bool ARewrap, bool AStop = false)
  {
    Strix->DeleteAllTasks();
    Rec.RunEnds = 0;
    EXPECT_EQ(Strix->AddTask(AInput, ConvertInputRecord(AInput)), 0) << Strix->LastError();
    const TSourceInfo source = DescribeSource(Strix->Tasks(0).InputFiles[0]);
    const TRewrapKind kind = ARewrap ? RewrapKindOf(source) : rkNone;
    EXPECT_TRUE(Strix->AddTaskOutput(0, Output, kind != rkNone ? RewrapOutputRecord(kind, source)
                                                              : ConvertOutputRecord(&Presets.front(), &source)));
    Strix->OnProgress = nullptr;
    if (AStop) Strix->OnProgress = [this](auto...) { Window.Post([this] { Strix->StopTasks(); }); };
    Strix->StartTasks(1);
    EXPECT_TRUE(WaitForRunEnd());
    TEndReport end;
    for (const TEndReport &r : Rec.Reports())
      if (r.Index == 0) end = r;  // the latest
    const TVerification v = Strix->Tasks(0).Verifications.empty() ? TVerification{} : Strix->Tasks(0).Verifications[0];
    EXPECT_TRUE(end.Finished != AStop && !end.Exception && v.Checked && !v.Streams.empty()) << end.Message;
    return v;
  }
  std::string Output = Scratch.File("out.mp4");
};

TEST_P(VerifyTest, RealSamplesPassConvertedAndRewrapped)
{
  for (bool rewrap : {false, true}) {
    SCOPED_TRACE(GetParam() + (rewrap ? " rewrapped" : " with the default preset"));
    const TVerification v = Convert(GetParam(), rewrap);
    EXPECT_TRUE(v.Passed) << v.Reason;
    for (const TVerifiedStream &s : v.Streams) {
      EXPECT_TRUE(s.Passed && s.DecodeErrors == 0) << s.Kind;
      // The pictures counted are those an independent decode finds.
      if (s.Kind == "video") { EXPECT_EQ(s.OutputFrames, DecodeVideo(Output, [](const AVFrame &) {})); }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Samples, VerifyTest, ::testing::ValuesIn(AllSamples()));

void Shell(const std::string &ACommand) { ASSERT_EQ(std::system(ACommand.c_str()), 0) << ACommand; }

using VerifyRuns = VerifyTest;

TEST_F(VerifyRuns, MendedAndStoppedRunsPassSpoiledOutputsAreRefusedWithTheirReason)
{
  // H.264 and AAC, 4 s at 25 fps; appended at 2 s with its clock started
  // again 1.5 s earlier, it still holds 4 s of media.
  const std::string input = Scratch.File("in.flv"), appended = Scratch.File("appended.flv");
  TGenOptions gen;
  gen.Seconds = 4.0;
  MakeMedia(input, gen);
  TFlvFile flv = TFlvFile::Load(input);
  for (TFlvTag &tag : flv.Tags)
    if (tag.Timestamp >= 2000) tag.Timestamp -= 1500;
  flv.Save(appended);
  const struct { std::string Input; bool Rewrap, Stop; double Seconds; } runs[] = {
      {appended, false, false, 4.0}, {appended, true, false, 4.0}, {Media("long.flv", 60.0), false, true, 60.0},
      {input, true, false, 4.0}};  // last: the copy spoiled below
  for (const auto &r : runs) {
    SCOPED_TRACE(r.Input + (r.Rewrap ? " rewrapped" : "") + (r.Stop ? " stopped" : ""));
    const TVerification v = Convert(r.Input, r.Rewrap, r.Stop);
    EXPECT_TRUE(v.Passed) << v.Reason;
    for (const TVerifiedStream &s : v.Streams) {
      EXPECT_NEAR(s.InputSeconds, r.Seconds, 0.1) << s.Kind;
      EXPECT_TRUE(!r.Stop || s.OutputSeconds < s.InputSeconds) << s.Kind << ": " << s.OutputSeconds;
    }
  }

  // Index first, so that cutting the tail cuts media data only.
  const std::string front = Scratch.File("front.mp4"), spoiled = Scratch.File("spoiled.mp4");
  Shell("ffmpeg -v error -y -i '" + Output + "' -c copy -movflags faststart '" + front + "'");
  auto half = [&] { Shell("ffmpeg -v error -y -i '" + Output + "' -t 2 -c copy '" + spoiled + "'"); };
  auto damage = [&] {
    std::string bytes = ReadFile(front);
    for (size_t i = bytes.size() * 2 / 5; i < bytes.size() * 3 / 5; ++i) bytes[i] = static_cast<char>(~bytes[i]);
    WriteFile(spoiled, bytes);
  };
  auto cut = [&](const std::string &AFile) { WriteFile(spoiled, ReadFile(AFile).substr(0, FileSize(AFile) / 2)); };
  // Complete: a full conversion, not a run stopped by its user; Expected: part
  // of the reason, empty when it passes.
  const struct { const char *Name; std::function<void()> Spoil; bool Complete; const char *Expected; } cases[] = {
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
    EXPECT_THAT(v.Reason, HasSubstr(c.Expected));
  }
}

}  // namespace
