// convert's lengths: dry-run sizes and the records follow what the tags span,
// whatever onMetaData says; an input that ended early is done with a warning,
// left while unchanged and converted again once it has grown.
#include "CliTest.h"
#include "FlvTags.h"
#include "TestMedia.h"

namespace clitest {
namespace {

using LengthsCli = TBatchFixture;

TEST_F(LengthsCli, LengthsFollowTheTagsAndAnInputThatEndedEarlyIsRedoneOnceItGrows)
{
  const std::string whole = qvtest::ReadFile(MakeFlv("clean.flv", 4.0)), rec = Dir.File("rec.flv");
  std::string list;
  // onMetaData's duration times the factor (< 0: none), the tags moved to start at the time
  for (const auto &[name, factor, startMs] : {std::tuple{"honest.flv", 1.0, 0}, {"long.flv", 10.0, 0},
       {"short.flv", 0.1, 0}, {"missing.flv", -1.0, 0}, {"late.flv", 1.0, 4151000}}) {
    qvtest::TFlvFile file = qvtest::TFlvFile::Load(Dir.File("clean.flv"));
    qvtest::SetMetaDuration(file, factor < 0 ? -1 : 4.0 * factor);
    for (qvtest::TFlvTag &t : file.Tags)
      if (!t.IsScript()) t.Timestamp += startMs;
    file.Save(Dir.File(name));
    list += Dir.File(name) + "\n";
  }
  qvtest::WriteFile(rec, whole.substr(0, whole.size() * 4 / 10));  // a recording still being copied
  qvtest::WriteFile(Dir.File("list.txt"), list + rec + "\n");
  // The small preset: at the tiny one's rate the encoder cannot hold this picture.
  TArgs args = {"convert", "--presets", Presets(), "--manifest", Dir.File("list.txt"), "--preset", "2", "--json",
                "--dry-run"};
  std::map<std::string, double> expected;
  for (const TEvent &e : Events(RunCli(args).Out))
    if (e.at("event") == "estimate") expected[e.at("input")] = std::stod(e.at("expected_size"));
  ASSERT_EQ(expected.size(), 6u);
  args.erase(args.end() - 2, args.end());  // converting now, with a report
  args.push_back("--report=" + Dir.File("report.jsonl"));
  std::map<std::string, TEvent> records;  // each input's last
  auto run = [&](const char *AStatus, const std::string &AWarnings) {  // rec's
    const TRun r = RunCli(args);
    EXPECT_EQ(r.Code, 0) << r.Err;  // a done file's, warnings or not
    for (const TEvent &e : Events(qvtest::ReadFile(Dir.File("report.jsonl")))) records[e.at("input")] = e;
    EXPECT_EQ(records[rec]["status"], AStatus);
    EXPECT_TRUE(Has(records[rec]["warnings"], AWarnings)) << records[rec]["warnings"];
    return r.Err;
  };
  const std::string early = "the input ended early at 0:01 of 0:04";
  const std::string err = run("done", R"([{"code": "truncated-tail", "text": ")" + early + "\"}]");
  EXPECT_TRUE(Has(err, "): " + early)) << err;
  ASSERT_EQ(records.size(), 6u);
  for (const auto &[input, r] : records) {
    if (input == rec) continue;
    SCOPED_TRACE(input);
    EXPECT_EQ(r.at("warnings"), "[]");
    EXPECT_NEAR(std::stod(r.at("input_duration")), 4.0, 1.0);
    EXPECT_NEAR(std::stod(r.at("output_duration")), 4.0, 1.0);
    EXPECT_NEAR(expected.at(input), std::stod(r.at("output_size")), std::stod(r.at("output_size")) * 0.25);
  }
  const std::string out = records[rec]["output"], made = Stamp(out);
  ExpectConverted(out, 176, 144, 44100, 2);
  run("skipped", "");
  EXPECT_EQ(Stamp(out), made);
  qvtest::WriteFile(rec, whole);  // the copy finished
  run("done", "[]");
  qvtest::TMediaInfo redone;
  EXPECT_TRUE(qvtest::ProbeMedia(out, redone) && redone.Duration > 3.5) << redone.Duration;
  run("skipped", "");
}

}  // namespace
}  // namespace clitest
