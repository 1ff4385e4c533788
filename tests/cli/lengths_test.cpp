// convert's lengths and warnings: dry-run sizes and the record's lengths
// follow what the tags span, whatever onMetaData says; an input that ended
// early is done with a warning, and converted again once it has grown.
#include <filesystem>

#include "CliTest.h"
#include "FlvTags.h"
#include "TestMedia.h"

namespace clitest {
namespace {

class LengthsCli : public TBatchFixture {
 protected:
  // AName: a 4 s FLV whose onMetaData says AFactor times its length (< 0:
  // nothing) and whose tags start at AStartMs.
  std::string Lying(const std::string &AName, double AFactor, int64_t AStartMs = 0)
  {
    if (!qvtest::FileExists(Dir.File("clean.flv"))) MakeFlv("clean.flv", 4.0);
    qvtest::TFlvFile file = qvtest::TFlvFile::Load(Dir.File("clean.flv"));
    qvtest::SetMetaDuration(file, AFactor < 0 ? -1 : 4.0 * AFactor);
    for (qvtest::TFlvTag &t : file.Tags)
      if (!t.IsScript()) t.Timestamp += AStartMs;
    file.Save(Dir.File(AName));
    return Dir.File(AName);
  }
};

TEST_F(LengthsCli, DryRunSizesAndReportLengthsFollowTheTags)
{
  const TArgs inputs = {Lying("honest.flv", 1), Lying("long.flv", 10), Lying("short.flv", 0.1),
                        Lying("missing.flv", -1), Lying("late.flv", 1, 4151000)};
  // The small preset: at the tiny one's rate the encoder cannot hold this picture.
  TArgs args = {"convert", "--presets", Presets(), "--preset", "2", "--json", "--dry-run"};
  args.insert(args.end(), inputs.begin(), inputs.end());
  const TRun dry = RunCli(args);
  std::map<std::string, double> expected;
  for (const TEvent &e : Events(dry.Out))
    if (e.at("event") == "estimate") expected[e.at("input")] = std::stod(e.at("expected_size"));
  ASSERT_EQ(expected.size(), inputs.size()) << dry.Err;
  args.erase(args.begin() + 5, args.begin() + 7);  // converting now, with a report
  args.push_back("--report=" + Dir.File("report.jsonl"));
  ASSERT_EQ(RunCli(args).Code, 0);
  for (const TEvent &r : Events(qvtest::ReadFile(Dir.File("report.jsonl")))) {
    SCOPED_TRACE(r.at("input"));
    EXPECT_EQ(r.at("warnings"), "[]");
    EXPECT_NEAR(std::stod(r.at("input_duration")), 4.0, 1.0);
    EXPECT_NEAR(std::stod(r.at("output_duration")), 4.0, 1.0);
    EXPECT_NEAR(expected.at(r.at("input")), std::stod(r.at("output_size")), std::stod(r.at("output_size")) * 0.25);
  }
}

// A recording cut short converts to what is there, done with a warning; a
// rerun leaves it while the input is unchanged and converts it again once
// the input is whole.
TEST_F(LengthsCli, AnInputThatEndedEarlyIsDoneWithAWarningAndRedoneOnceItGrows)
{
  const std::string whole = qvtest::ReadFile(Lying("whole.flv", 1)), input = Dir.File("rec.flv");
  qvtest::WriteFile(input, whole.substr(0, whole.size() * 4 / 10));
  std::filesystem::create_directory(Dir.File("out"));
  qvtest::WriteFile(Dir.File("list.txt"), input + "\n");
  const TArgs args = {"convert", "--presets", Presets(), "--manifest", Dir.File("list.txt"), "--output-dir",
                      Dir.File("out"), "--report", Dir.File("report.jsonl")};
  auto last = [&](const char *AStatus, const std::string &AWarnings) {
    const TRun r = RunCli(args);
    EXPECT_EQ(r.Code, 0) << r.Err;  // a done file's, warnings or not
    const TEvent record = Events(qvtest::ReadFile(Dir.File("report.jsonl"))).back();
    EXPECT_EQ(record.at("status"), AStatus);
    EXPECT_TRUE(Has(record.at("warnings"), AWarnings)) << record.at("warnings");
    return r;
  };
  const TRun first = last("done", R"([{"code": "truncated-tail", "text": "the input ended early at 0:01 of 0:04"}])");
  EXPECT_TRUE(Has(first.Err, "done    " + input + " -> ")) << first.Err;
  EXPECT_TRUE(Has(first.Err, "): the input ended early at 0:01 of 0:04")) << first.Err;
  ExpectConverted(Dir.File("out/rec.mp4"));
  const std::string made = Stamp(Dir.File("out/rec.mp4"));
  last("skipped", "");
  EXPECT_EQ(Stamp(Dir.File("out/rec.mp4")), made);
  qvtest::WriteFile(input, whole);  // the copy finished
  last("done", "[]");
  qvtest::TMediaInfo redone;
  ASSERT_TRUE(qvtest::ProbeMedia(Dir.File("out/rec.mp4"), redone));
  EXPECT_NEAR(redone.Duration, 4.0, 0.5);
  last("skipped", "");
}

}  // namespace
}  // namespace clitest
