// Verified outputs: the real samples, converted the window's way and
// rewrapped, pass; outputs cut or damaged after the fact are refused with
// their reason; a run its user stopped verifies as decodable.
#include <gmock/gmock.h>

#include <cctype>
#include <cstdlib>
#include <functional>
#include <tuple>

#include "ComponentTestSupport.h"
#include "ConvertRecord.h"
#include "SourceInfo.h"
#include "Verify.h"

using namespace qvtest;
using ::testing::HasSubstr;

namespace {

class VerifyTest : public TComponentTest {
 protected:
  void SetUp() override
  {
    TComponentTest::SetUp();
    Strix->SetVerifyOutput(true);
    Strix->SetProgressInterval(100);
    LoadPresets();  // the shipped presets: the first is the window's default
    ASSERT_FALSE(Presets.empty());
  }

  // Converts AInput into AOutput, rewrapped when ARewrap and its streams
  // allow, else with the default preset; with AStop the run is stopped at
  // its first progress report. Returns the task's end report.
  TEndReport Convert(const std::string &AInput, const std::string &AOutput, bool ARewrap, bool AStop = false)
  {
    const int index = Strix->AddTask(AInput, ConvertInputRecord(AInput));
    EXPECT_GE(index, 0) << Strix->LastError();
    if (index < 0) return {};
    const TSourceInfo source = DescribeSource(Strix->Tasks(index).InputFiles[0]);
    const TRewrapKind kind = ARewrap ? RewrapKindOf(source) : rkNone;
    const TOutputOptions record =
        kind != rkNone ? RewrapOutputRecord(kind, source) : ConvertOutputRecord(&Presets.front(), &source);
    EXPECT_TRUE(Strix->AddTaskOutput(index, AOutput, record)) << Strix->LastError();
    if (AStop)
      Strix->OnProgress = [this](int, int, int, int, float, float, int64_t, int) {
        Window.Post([this] { Strix->StopTasks(); });
      };
    Strix->StartTasks(1);
    EXPECT_TRUE(WaitForRunEnd());
    for (const TEndReport &r : Rec.Reports())
      if (r.Index == index) return r;
    ADD_FAILURE() << "no end report";
    return {};
  }
  const std::vector<TVerification> &Verifications() { return Strix->Tasks(0).Verifications; }
};

// ---- the real samples ----

class VerifySamples : public VerifyTest, public ::testing::WithParamInterface<std::tuple<std::string, bool>> {};

TEST_P(VerifySamples, PassAndCountWhatAnIndependentDecodeCounts)
{
  const auto &[sample, rewrap] = GetParam();
  const std::string output = Scratch.File("out.mp4");
  const TEndReport end = Convert(Sample(sample), output, rewrap);
  EXPECT_TRUE(end.Finished && !end.Exception) << end.Message;
  ASSERT_EQ(Verifications().size(), 1u);
  const TVerification &v = Verifications()[0];
  EXPECT_TRUE(v.Checked && v.Passed) << v.Reason;
  ASSERT_FALSE(v.Streams.empty());
  for (const TVerifiedStream &s : v.Streams) {
    EXPECT_TRUE(s.Passed) << s.Kind;
    EXPECT_EQ(s.DecodeErrors, 0) << s.Kind;
    EXPECT_GE(s.InputSeconds, 0) << s.Kind;
    EXPECT_GT(s.OutputFrames, 0) << s.Kind;
    if (s.Kind == "video") {
      EXPECT_EQ(s.OutputFrames, DecodeVideo(output, [](const AVFrame &) {}));
      EXPECT_GE(s.ExpectedFrames, 0);
    }
  }
}

std::string SampleCaseName(const ::testing::TestParamInfo<std::tuple<std::string, bool>> &AInfo)
{
  std::string name = std::get<0>(AInfo.param);
  name = name.substr(0, name.find('.'));
  for (char &c : name)
    if (!std::isalnum(static_cast<unsigned char>(c))) c = '_';
  return name + (std::get<1>(AInfo.param) ? "_copy" : "_preset");
}

std::vector<std::string> SampleNames()
{
  std::vector<std::string> names;
  for (const std::string &path : AllSamples()) names.push_back(path.substr(path.find_last_of('/') + 1));
  return names;
}

INSTANTIATE_TEST_SUITE_P(Real, VerifySamples, ::testing::Combine(::testing::ValuesIn(SampleNames()), ::testing::Bool()),
                         SampleCaseName);

// ---- outputs spoiled after the conversion ----

// Runs a command through the shell; fails the test when it fails.
void Shell(const std::string &ACommand) { ASSERT_EQ(std::system(ACommand.c_str()), 0) << ACommand; }

// Flips every byte of the middle fifth of AFile: inside the media data of
// an MP4 whose index comes first.
void Damage(const std::string &AFile)
{
  std::string bytes = ReadFile(AFile);
  for (size_t i = bytes.size() * 2 / 5; i < bytes.size() * 3 / 5; ++i) bytes[i] = static_cast<char>(~bytes[i]);
  WriteFile(AFile, bytes);
}

TEST_F(VerifyTest, SpoiledOutputsAreRefusedWithTheirReason)
{
  // H.264 and AAC at 25 fps: copied, so the output holds what the input holds.
  const std::string input = Scratch.File("in.flv"), output = Scratch.File("out.mp4");
  TGenOptions gen;
  gen.Seconds = 4.0;
  MakeMedia(input, gen);
  const TEndReport end = Convert(input, output, true);
  ASSERT_TRUE(end.Finished && !end.Exception) << end.Message;
  ASSERT_TRUE(Verifications().at(0).Passed) << Verifications()[0].Reason;
  // Index first, so cutting the file's tail cuts its media data only.
  const std::string front = Scratch.File("front.mp4");
  Shell("ffmpeg -v error -y -i '" + output + "' -c copy -movflags faststart '" + front + "'");

  struct TCase {
    const char *Name;
    std::function<void(const std::string &)> Spoil;
    bool Complete;         // a full conversion, or a run stopped by its user
    const char *Expected;  // part of the reason; empty: passes
  } cases[] = {
      {"half its length",
       [&](const std::string &F) { Shell("ffmpeg -v error -y -i '" + output + "' -t 2 -c copy '" + F + "'"); }, true,
       "Verification failed: the output's video lasts 2.0 s of the input's 4.0 s"},
      {"media data cut", [&](const std::string &F) { WriteFile(F, ReadFile(front).substr(0, ReadFile(front).size() / 2)); },
       true, "of the input's 4.0 s"},
      {"pictures damaged",
       [&](const std::string &F) {
         WriteFile(F, ReadFile(front));
         Damage(F);
       },
       true, "decoding error"},
      {"index lost (written last, cut off)",
       [&](const std::string &F) { WriteFile(F, ReadFile(output).substr(0, ReadFile(output).size() / 2)); }, true,
       "Verification failed: the output cannot be read"},
      {"half its length, stopped on purpose",
       [&](const std::string &F) { Shell("ffmpeg -v error -y -i '" + output + "' -t 2 -c copy '" + F + "'"); }, false,
       ""},
      {"pictures damaged, stopped on purpose",
       [&](const std::string &F) {
         WriteFile(F, ReadFile(front));
         Damage(F);
       },
       false, "decoding error"},
  };
  for (const TCase &c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string spoiled = Scratch.File("spoiled.mp4");
    c.Spoil(spoiled);
    TVerifyRequest request;
    request.Input = input;
    request.Output = spoiled;
    request.Complete = c.Complete;
    request.VideoCopied = true;
    const TVerification v = VerifyConversion(request);
    EXPECT_TRUE(v.Checked);
    EXPECT_EQ(v.Passed, *c.Expected == 0) << v.Reason;
    if (*c.Expected) EXPECT_THAT(v.Reason, HasSubstr(c.Expected));
  }
}

TEST_F(VerifyTest, ARunStoppedByItsUserVerifiesAsDecodable)
{
  const std::string output = Scratch.File("stopped.mp4");
  const TEndReport end = Convert(Media("long.flv", 60.0), output, false, true);
  EXPECT_FALSE(end.Finished);
  EXPECT_FALSE(end.Exception) << end.Message;
  ASSERT_EQ(Verifications().size(), 1u);
  const TVerification &v = Verifications()[0];
  EXPECT_TRUE(v.Passed) << v.Reason;
  ASSERT_FALSE(v.Streams.empty());
  for (const TVerifiedStream &s : v.Streams) {
    EXPECT_EQ(s.DecodeErrors, 0) << s.Kind;
    EXPECT_LT(s.OutputSeconds, s.InputSeconds) << s.Kind;
  }
  EXPECT_TRUE(FileExists(output));
}

}  // namespace
