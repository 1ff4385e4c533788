// convert's lengths and warnings: the dry run's sizes and the record's
// lengths come from what the tags span, whatever onMetaData says; an input
// that ended early is done with a warning, and converted again once it grows.
#include <unistd.h>

#include <filesystem>

#include "CliTest.h"
#include "FlvTags.h"
#include "TestMedia.h"

namespace clitest {
namespace {

class LengthsCli : public TBatchFixture {
 protected:
  // AName made from a 4 s FLV whose onMetaData's duration is AFactor times
  // the real one (< 0: none) and whose tags start at AStartMs.
  std::string Lying(const std::string &AName, double AFactor, int64_t AStartMs = 0)
  {
    const std::string clean = Dir.File("clean.flv");
    if (!qvtest::FileExists(clean)) MakeFlv("clean.flv", kSeconds);
    qvtest::TFlvFile file = qvtest::TFlvFile::Load(clean);
    qvtest::SetMetaDuration(file, AFactor < 0 ? -1 : kSeconds * AFactor);
    for (qvtest::TFlvTag &t : file.Tags)
      if (!t.IsScript()) t.Timestamp += AStartMs;
    file.Save(Dir.File(AName));
    return Dir.File(AName);
  }
  static constexpr double kSeconds = 4.0;
};

TEST_F(LengthsCli, DryRunSizesAndReportLengthsFollowTheTags)
{
  const std::string presets = Presets();
  const TArgs inputs = {Lying("honest.flv", 1), Lying("long.flv", 10), Lying("short.flv", 0.1),
                        Lying("missing.flv", -1), Lying("late.flv", 1, 4151000)};
  // The small preset: at the tiny one's rate the encoder cannot hold 4 s of
  // this picture, whatever the length.
  TArgs args = {"convert", "--presets", presets, "--preset", "2", "--json", "--dry-run"};
  args.insert(args.end(), inputs.begin(), inputs.end());
  TRun dry = RunCli(args);
  ASSERT_EQ(dry.Code, 0) << dry.Err;
  std::map<std::string, int64_t> expected;
  for (const TEvent &e : Events(dry.Out))
    if (e.at("event") == "estimate") expected[e.at("input")] = std::stoll(e.at("expected_size"));
  ASSERT_EQ(expected.size(), inputs.size()) << dry.Out;

  // Every lie foretells what the honest file does.
  for (const auto &[input, bytes] : expected) EXPECT_NEAR(bytes, expected.at(inputs[0]), 0.02 * bytes) << input;
  args = {"convert", "--presets", presets, "--preset", "2", "--report", Dir.File("report.jsonl")};
  args.insert(args.end(), inputs.begin(), inputs.end());
  const TRun run = RunCli(args);
  ASSERT_EQ(run.Code, 0) << run.Err;
  const auto records = Events(qvtest::ReadFile(Dir.File("report.jsonl")));
  ASSERT_EQ(records.size(), inputs.size());
  for (const TEvent &r : records) {
    SCOPED_TRACE(r.at("input"));
    EXPECT_EQ(r.at("status"), "done");
    EXPECT_EQ(r.at("warnings"), "[]");
    EXPECT_NEAR(std::stod(r.at("input_duration")), kSeconds, 1.0);
    EXPECT_NEAR(std::stod(r.at("output_duration")), kSeconds, 1.0);
    const double real = static_cast<double>(std::stoll(r.at("output_size")));
    EXPECT_NEAR(static_cast<double>(expected.at(r.at("input"))), real, real * 0.25);
  }
}

// A recording cut short (still being copied, say) converts to what is there,
// done with a warning in its record; a rerun leaves it while the input is
// unchanged, and converts it again once the input is whole.
TEST_F(LengthsCli, AnInputThatEndedEarlyIsDoneWithAWarningAndRedoneOnceItGrows)
{
  const std::string presets = Presets(), whole = Lying("whole.flv", 1), input = Dir.File("rec.flv");
  const std::string bytes = qvtest::ReadFile(whole);
  qvtest::WriteFile(input, bytes.substr(0, bytes.size() * 4 / 10));
  std::filesystem::create_directory(Dir.File("out"));
  qvtest::WriteFile(Dir.File("list.txt"), input + "\n");
  const TArgs args = {"convert", "--presets", presets, "--manifest", Dir.File("list.txt"), "--output-dir",
                      Dir.File("out"), "--report", Dir.File("report.jsonl")};
  const std::string output = Dir.File("out/rec.mp4");

  TRun r = RunCli(args);
  ASSERT_EQ(r.Code, 0) << r.Err;  // a done file's status
  EXPECT_TRUE(Has(r.Err, "the input ended early at 0:01 of 0:04")) << r.Err;
  auto records = Events(qvtest::ReadFile(Dir.File("report.jsonl")));
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(records[0].at("status"), "done");
  EXPECT_TRUE(Has(records[0].at("warnings"), "\"code\": \"input-cut-short\"")) << records[0].at("warnings");
  EXPECT_TRUE(Has(records[0].at("warnings"), "\"text\": \"the input ended early at 0:01")) << records[0].at("warnings");
  ExpectConverted(output);

  const std::string first = Stamp(output);
  r = RunCli(args);
  ASSERT_EQ(r.Code, 0) << r.Err;
  records = Events(qvtest::ReadFile(Dir.File("report.jsonl")));
  EXPECT_EQ(records.back().at("status"), "skipped");
  EXPECT_EQ(Stamp(output), first);

  qvtest::WriteFile(input, bytes);  // the copy finished
  r = RunCli(args);
  ASSERT_EQ(r.Code, 0) << r.Err;
  records = Events(qvtest::ReadFile(Dir.File("report.jsonl")));
  EXPECT_EQ(records.back().at("status"), "done");
  EXPECT_EQ(records.back().at("warnings"), "[]");
  EXPECT_NEAR(std::stod(records.back().at("output_duration")), kSeconds, 0.5);
  ExpectConverted(output);
  // Whole now: the next rerun skips it.
  r = RunCli(args);
  records = Events(qvtest::ReadFile(Dir.File("report.jsonl")));
  EXPECT_EQ(records.back().at("status"), "skipped");
}

}  // namespace
}  // namespace clitest
