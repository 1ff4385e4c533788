// quenvaro-cli check: exit statuses, JSON lines and verdicts, on files with one fault each and on the real samples.
#include <gtest/gtest.h>

#include <set>

#include "CliTest.h"
#include "FlvTags.h"
#include "TestEnv.h"

namespace {

using namespace clitest;
using Check = TBatchFixture;

TEST_F(Check, ExitStatusAndJsonLinesPerFile)
{
  const std::string clean = MakeFlv("clean.flv", 1.0);
  const std::string bytes = qvtest::ReadFile(clean);
  // later tags half a second earlier: the times step back
  qvtest::TFlvFile back = qvtest::TFlvFile::Parse(bytes);
  for (size_t i = back.Tags.size() / 2; i < back.Tags.size(); ++i) back.Tags[i].Timestamp -= 500;
  back.Save(Dir.File("back.flv"));
  qvtest::WriteFile(Dir.File("cut.flv"), bytes.substr(0, bytes.size() - 6));
  qvtest::WriteFile(Dir.File("text.flv"), "no video here\n");

  struct TCase { std::string File; int Status; std::set<std::string> Codes; };  // codes of the warnings and errors
  const std::vector<TCase> cases = {{clean, 0, {}}, {Dir.File("back.flv"), 1, {"timestamp-back"}},
                                    {Dir.File("cut.flv"), 2, {"metadata-filesize", "truncated-tail"}},
                                    {Dir.File("text.flv"), 3, {"not-readable"}},
                                    {Dir.File("missing.flv"), 3, {"not-readable"}}};
  for (const TCase &c : cases) {
    SCOPED_TRACE(c.File);
    const TRun r = RunCli({"check", "--json", c.File});
    EXPECT_EQ(r.Code, c.Status) << r.All();
    std::set<std::string> codes;
    for (const TEvent &e : r.Out.empty() ? std::vector<TEvent>{} : Events(r.Out)) {
      for (const char *field : {"file", "code", "level", "action", "offset", "time", "count", "text"})
        EXPECT_EQ(e.count(field), 1u) << field;
      EXPECT_EQ(e.at("file"), c.File);
      if (e.at("level") != "information") codes.insert(e.at("code"));
    }
    EXPECT_EQ(codes, c.Codes) << r.Out;
  }
  // several files, the real samples among them: the worst status, a verdict line per file
  TArgs args{"check", clean, Dir.File("back.flv"), Dir.File("cut.flv")};
  for (const std::string &f : qvtest::AllSamples()) args.push_back(f);
  const TRun all = RunCli(args);
  EXPECT_EQ(all.Code, 2) << all.All();
  for (const std::string &f : qvtest::AllSamples()) EXPECT_TRUE(Has(all.Out, f + ": no problems found")) << all.Out;
  EXPECT_TRUE(Has(all.Out, clean + ": no problems found\n")) << all.Out;
  EXPECT_TRUE(Has(all.Out, "back.flv: 2 problems found: they will be mended\n")) << all.Out;  // audio and video
  EXPECT_TRUE(Has(all.Out, "cut.flv: error truncated-tail at byte ")) << all.Out;
  EXPECT_TRUE(Has(all.Out, "some data will be lost\n")) << all.Out;
}

}  // namespace
