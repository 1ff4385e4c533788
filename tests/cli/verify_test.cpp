// quenvaro-cli convert --verify: a finished output is decoded and compared
// with its input before it counts as done; one that fails is a failed file
// with its reason and is not published, in a plain batch and in a resumable
// one; the report carries the verification's figures.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>

#include "CliTest.h"
#include "FlvTags.h"
#include "TestEnv.h"
#include "TestMedia.h"

namespace {

using namespace clitest;
using Verify = TBatchFixture;

// The report's records by input file name.
std::map<std::string, nlohmann::json> Records(const std::string &AReport)
{
  std::map<std::string, nlohmann::json> records;
  for (const std::string &line : Split(qvtest::ReadFile(AReport), "\n")) {
    if (line.empty()) continue;
    const nlohmann::json r = nlohmann::json::parse(line);
    const std::string input = r.at("input");
    records[input.substr(input.find_last_of('/') + 1)] = r;
  }
  return records;
}

// Every file of AFolder but the report.
std::vector<std::string> Outputs(const std::string &AFolder)
{
  std::vector<std::string> names;
  for (const auto &entry : std::filesystem::directory_iterator(AFolder))
    if (entry.path().filename() != "report.jsonl") names.push_back(entry.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace

TEST_F(Verify, ADamagedCopyFailsWithItsReasonAndIsNotPublished)
{
  // H.264 copied as it is: pictures damaged in the input stay damaged in the
  // output, which a decode of the output finds.
  qvtest::TGenOptions gen;
  gen.Seconds = 3.0;
  qvtest::MakeMedia(Dir.File("good.flv"), gen);
  qvtest::TFlvFile flv = qvtest::TFlvFile::Load(Dir.File("good.flv"));
  int pictures = 0;
  for (qvtest::TFlvTag &tag : flv.Tags)
    if (tag.IsAvcPicture() && ++pictures % 20 == 10)
      for (size_t i = 13; i < tag.Data.size(); ++i) tag.Data[i] = static_cast<char>(~tag.Data[i]);
  flv.Save(Dir.File("bad.flv"));

  struct TCase {
    const char *Name;
    TArgs Extra;
    int ExitCode;
  } cases[] = {{"plain batch", {}, 1}, {"resumable batch", {"--shard", "0/1"}, 2}};
  for (const TCase &c : cases) {
    SCOPED_TRACE(c.Name);
    const std::string out = Dir.File(std::string("out-") + (c.Extra.empty() ? "plain" : "resumable"));
    std::filesystem::create_directory(out);
    TArgs args = {"convert", "--preset", "copy", "--verify", "--jobs", "2", "--output-dir", out,
                  "--report", out + "/report.jsonl"};
    args.insert(args.end(), c.Extra.begin(), c.Extra.end());
    args.insert(args.end(), {Dir.File("good.flv"), Dir.File("bad.flv")});
    const TRun run = RunCli(args);
    EXPECT_EQ(run.Code, c.ExitCode) << run.All();
    // Only the good file's output, and no temporary, is left.
    EXPECT_EQ(Outputs(out), std::vector<std::string>{"good.mp4"});
    EXPECT_TRUE(Has(run.Err, "good.mp4 (")) << run.Err;
    EXPECT_TRUE(Has(run.Err, "), verified\n")) << run.Err;

    auto records = Records(out + "/report.jsonl");
    ASSERT_EQ(records.size(), 2u);
    const nlohmann::json &good = records.at("good.flv"), &bad = records.at("bad.flv");
    // The keys a report had before stay as they were.
    EXPECT_EQ(good.at("status"), "done");
    EXPECT_TRUE(good.at("error").is_null());
    EXPECT_TRUE(good.at("verification").at("passed").get<bool>());
    EXPECT_EQ(bad.at("status"), "failed");
    EXPECT_TRUE(bad.at("output_size").is_null());
    const std::string error = bad.at("error");
    EXPECT_EQ(error.rfind("Verification failed: ", 0), 0u) << error;
    EXPECT_TRUE(Has(error, "decoding error")) << error;
    EXPECT_EQ(bad.at("verification").at("reason"), error);
    EXPECT_TRUE(Has(run.Err, "failed  " + Dir.File("bad.flv") + ": " + error)) << run.Err;

    // The figures: each stream of the good copy as long as the input's and
    // holding every picture; the damaged pictures counted in the bad one.
    for (const auto &s : good.at("verification").at("streams")) {
      EXPECT_TRUE(s.at("passed").get<bool>()) << s;
      EXPECT_NEAR(s.at("output_duration").get<double>(), 3.0, 0.1) << s;
      EXPECT_NEAR(s.at("input_duration").get<double>(), 3.0, 0.1) << s;
      EXPECT_EQ(s.at("decode_errors"), 0) << s;
      if (s.at("kind") == "video") EXPECT_EQ(s.at("output_frames"), 75) << s;
    }
    const auto &badVideo = bad.at("verification").at("streams").at(0);
    EXPECT_EQ(badVideo.at("kind"), "video");
    EXPECT_FALSE(badVideo.at("passed").get<bool>());
    EXPECT_GE(badVideo.at("decode_errors").get<int>(), 1);
  }
}
