// Broken, cut, damaged and odd inputs through the window's conversion, both
// in-process and through quenvaro-cli: each ends as a valid MP4 or as a clean
// failure that says what went wrong, never as a crash, a hang or an empty file.
#include <gtest/gtest.h>

#include <memory>

#include "Corpus.h"
#include "FFmpeg.h"
#include "TestEnv.h"

namespace {

using qvrel::TCase;
using qvrel::TExpect;

class BrokenInputTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite()
  {
    qvtest::LoadLibs();
    FDir = std::make_unique<qvtest::TScratchDir>();
    FCases = qvrel::MakeCorpus(FDir->Path());
  }
  static void TearDownTestSuite()
  {
    FCases.clear();
    FDir.reset();
  }
  void SetUp() override { qvtest::LoadLibs(); }

  static std::unique_ptr<qvtest::TScratchDir> FDir;
  static std::vector<TCase> FCases;
};

std::unique_ptr<qvtest::TScratchDir> BrokenInputTest::FDir;
std::vector<TCase> BrokenInputTest::FCases;

TEST_F(BrokenInputTest, CorpusCoversEveryKindOfDamage)
{
  int fails = 0, converts = 0, either = 0;
  for (const TCase &c : FCases) {
    (c.Expect == TExpect::Fails ? fails : c.Expect == TExpect::Converts ? converts : either)++;
    EXPECT_TRUE(qvtest::FileExists(c.Path)) << c.Name;
  }
  EXPECT_EQ(fails, 5);
  EXPECT_GE(converts, 4);
  EXPECT_GE(either, 20);
}

TEST_F(BrokenInputTest, EngineEndsEveryInputWithAnMp4OrAMessage)
{
  qvtest::TScratchDir out;
  int converted = 0;
  for (const TCase &c : FCases) {
    SCOPED_TRACE(c.Name);
    const std::string target = out.File(c.Name + ".mp4");
    qvrel::TOutcome o;
    {
      qvrel::TWatchdog dog(120, "engine conversion of " + c.Name);
      TCustomFFmpeg engine;
      o = qvrel::ConvertWithEngine(engine, c.Path, target);
    }
    if (o.Ok) {
      EXPECT_NE(c.Expect, TExpect::Fails) << "converted an unreadable file";
      qvrel::ExpectValidMp4(target, c.HasVideo, c.HasAudio);
      ++converted;
    } else {
      EXPECT_NE(c.Expect, TExpect::Converts) << o.Message;
      EXPECT_FALSE(o.Message.empty());
      // A file the demuxer refuses is named in the message.
      if (o.OpenFailed) EXPECT_NE(o.Message.find(c.Path), std::string::npos) << o.Message;
      if (c.Expect == TExpect::Fails) EXPECT_TRUE(o.OpenFailed) << o.Message;
    }
    qvrel::ExpectNoEmptyOutput(target);
  }
  // Most damage is survivable: decoders skip what they cannot read.
  EXPECT_GE(converted, static_cast<int>(FCases.size()) / 2);
}

TEST_F(BrokenInputTest, CommandEndsEveryInputWithAnMp4OrAMessage)
{
  qvtest::TScratchDir out;
  for (const TCase &c : FCases) {
    SCOPED_TRACE(c.Name);
    const std::string target = out.File(c.Name + ".mp4");
    const qvrel::TChild r = qvrel::RunCli(qvrel::WindowArgs(c.Path, target), out.File("stderr.txt"));
    ASSERT_FALSE(r.TimedOut) << "hangs";
    ASSERT_EQ(r.Signal, 0) << "killed by a signal\n" << r.StdErr;
    ASSERT_TRUE(r.ExitCode == 0 || r.ExitCode == 1) << r.ExitCode << "\n" << r.StdErr;
    if (r.ExitCode == 0) {
      EXPECT_NE(c.Expect, TExpect::Fails) << "converted an unreadable file";
      qvrel::ExpectValidMp4(target, c.HasVideo, c.HasAudio);
    } else {
      EXPECT_NE(c.Expect, TExpect::Converts) << r.StdErr;
      EXPECT_FALSE(r.StdErr.empty());
      if (c.Expect == TExpect::Fails) EXPECT_NE(r.StdErr.find(c.Path), std::string::npos) << r.StdErr;
    }
    qvrel::ExpectNoEmptyOutput(target);
  }
}

// The engine and the command agree on which inputs convert.
TEST_F(BrokenInputTest, EngineAndCommandAgree)
{
  qvtest::TScratchDir out;
  for (const TCase &c : FCases) {
    if (c.Expect != TExpect::Either) continue;
    SCOPED_TRACE(c.Name);
    TCustomFFmpeg engine;
    const qvrel::TOutcome o = qvrel::ConvertWithEngine(engine, c.Path, out.File("e.mp4"));
    const qvrel::TChild r = qvrel::RunCli(qvrel::WindowArgs(c.Path, out.File("c.mp4")), out.File("stderr.txt"));
    EXPECT_EQ(o.Ok, r.ExitCode == 0) << o.Message << "\n" << r.StdErr;
  }
}

}  // namespace
