// convert --verify: an output that fails its verification is a failed file
// with its reason, never published, in a plain batch and a resumable one.
#include <gtest/gtest.h>

#include <filesystem>
#include <nlohmann/json.hpp>

#include "CliTest.h"
#include "FlvTags.h"
#include "TestMedia.h"

using namespace clitest;
using Verify = TBatchFixture;

TEST_F(Verify, ADamagedCopyFailsWithItsReasonAndIsNotPublished)
{
  // H.264 copied as it is: pictures damaged in the input are damaged in the
  // output, which only a decode of the output finds.
  qvtest::TGenOptions gen;
  gen.Seconds = 3.0;
  qvtest::MakeMedia(Dir.File("good.flv"), gen);
  qvtest::TFlvFile flv = qvtest::TFlvFile::Load(Dir.File("good.flv"));
  int pictures = 0;
  for (qvtest::TFlvTag &tag : flv.Tags)
    if (tag.IsAvcPicture() && ++pictures % 20 == 10)
      for (size_t i = 13; i < tag.Data.size(); ++i) tag.Data[i] = static_cast<char>(~tag.Data[i]);
  flv.Save(Dir.File("bad.flv"));

  for (const auto &[name, exitCode] : {std::pair<std::string, int>{"plain", 1}, {"resumable", 2}}) {
    SCOPED_TRACE(name);
    const std::string out = Dir.File(name);
    std::filesystem::create_directory(out);
    TArgs args = {"convert", "--preset", "copy", "--verify", "--output-dir", out, "--report", Dir.File(name + ".jsonl"),
                  Dir.File("good.flv"), Dir.File("bad.flv")};
    if (name == "resumable") args.insert(args.begin() + 1, {"--shard", "0/1"});
    const TRun run = RunCli(args);
    EXPECT_EQ(run.Code, exitCode) << run.All();
    // The good file's output only: no temporary, nothing of the bad one.
    std::vector<std::string> left;
    for (const auto &e : std::filesystem::directory_iterator(out)) left.push_back(e.path().filename());
    EXPECT_EQ(left, std::vector<std::string>{"good.mp4"});
    std::map<std::string, nlohmann::json> records;
    for (const std::string &line : Split(qvtest::ReadFile(Dir.File(name + ".jsonl")), "\n"))
      if (!line.empty()) records[nlohmann::json::parse(line).at("input")] = nlohmann::json::parse(line);
    const nlohmann::json &good = records.at(Dir.File("good.flv")), &bad = records.at(Dir.File("bad.flv"));
    EXPECT_TRUE(good.at("status") == "done" && good.at("verification").at("passed").get<bool>()) << good;
    EXPECT_TRUE(Has(run.Err, "good.mp4 (") && Has(run.Err, "), verified\n")) << run.Err;
    EXPECT_TRUE(bad.at("status") == "failed" && bad.at("output_size").is_null()) << bad;
    const std::string error = bad.at("error");
    EXPECT_TRUE(error.starts_with("Verification failed: ") && bad.at("verification").at("reason") == error) << bad;
    EXPECT_TRUE(Has(run.Err, "failed  " + Dir.File("bad.flv") + ": " + error)) << run.Err;
    // The report's figures: the good copy as long as its 3 s input with every
    // picture; the damaged pictures found in the bad one.
    for (const auto &s : good.at("verification").at("streams")) {
      EXPECT_NEAR(s.at("output_duration").get<double>(), s.at("input_duration").get<double>(), 0.05) << s;
      EXPECT_NEAR(s.at("input_duration").get<double>(), 3.0, 0.1) << s;
      EXPECT_TRUE(s.at("kind") != "video" || s.at("output_frames") == 75) << s;
    }
    const auto &badVideo = bad.at("verification").at("streams").at(0);
    EXPECT_TRUE(badVideo.at("kind") == "video" && badVideo.at("decode_errors").get<int>() >= 1) << badVideo;
  }
}
