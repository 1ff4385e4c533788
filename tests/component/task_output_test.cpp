// What an output's owner leaves on disk: every way a conversion ends, for
// staged and direct outputs, with real files.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <ostream>
#include <string>

#include "TaskOutput.h"
#include "TestEnv.h"

namespace {

using qvtest::WriteFile;

enum TFile { Gone, Cut, Whole, Users, Other };  // what a name holds
enum TTaken { No, Yes, Replace, NextFree };      // another file took the final name meanwhile

struct TCase {
  const char *Name;
  bool Staged, UsersBefore;  // UsersBefore: the user had a file of the final name
  TFile Wrote;               // what the engine leaves in the file it writes
  TTaskOutput::TEnd End;
  bool Rejected, PublishStopped;  // Rejected: its verification failed
  TTaken Taken;
  bool Ok, FinalTaken;
  TFile Final, Next;  // under the final name, and the next free one
};

void PrintTo(const TCase &ACase, std::ostream *AOut) { *AOut << ACase.Name; }

// An MP4 as IsCompleteMp4 reads one: boxes to the end, an index among them.
const std::string Ftyp("\0\0\0\x10" "ftypisom\0\0\0\0", 16);
const std::string WholeMp4 = Ftyp + std::string("\0\0\0\x08moov", 8);
const std::string CutMp4 = Ftyp + std::string("\0\0\x10\0mdat", 8);

TFile LeftAt(const std::string &APath)
{
  if (!qvtest::FileExists(APath)) return Gone;
  const std::string data = qvtest::ReadFile(APath);
  return data == WholeMp4 ? Whole : data == CutMp4 ? Cut : data == "users" ? Users : Other;
}

int TemporariesIn(const std::string &AFolder)
{
  int count = 0;
  for (const auto &entry : std::filesystem::directory_iterator(AFolder))
    count += entry.path().filename().c_str()[0] == '.';
  return count;
}

class TaskOutputTest : public ::testing::TestWithParam<TCase> {};

TEST_P(TaskOutputTest, LeavesWhatItsLifeSays)
{
  const TCase &c = GetParam();
  qvtest::TScratchDir dir;
  const std::string final = dir.File("out.mp4"), next = dir.File("out_(2).mp4"), other = dir.File("other");
  TPublishOptions options;
  options.PublishStopped = c.PublishStopped;
  options.Replace = c.Taken == Replace;
  if (c.Taken == NextFree) options.NextFreeName = [&] { return next; };
  if (c.UsersBefore) WriteFile(final, "users");

  TTaskOutput output;
  std::string error;
  if (c.Staged) {
    ASSERT_TRUE(output.Stage(final, nullptr, options, true, error)) << error;
    EXPECT_EQ(output.Named("'" + output.EngineName() + "' failed"), "'" + final + "' failed");
  } else {
    output.Direct(final);
  }
  if (c.Wrote != Gone) WriteFile(output.EngineName(), c.Wrote == Whole ? WholeMp4 : CutMp4);
  if (!c.Staged) output.Opened();
  if (c.Taken != No) {
    WriteFile(other, "other");
    ASSERT_EQ(std::rename(other.c_str(), final.c_str()), 0);
  }
  if (c.Rejected) output.Reject();

  EXPECT_EQ(output.Settle(c.End, error), c.Ok) << error;
  EXPECT_EQ(output.FinalTaken, c.FinalTaken);
  EXPECT_EQ(output.Published, c.Next != Gone ? next : c.Staged && c.Final == Whole ? final : "");
  EXPECT_EQ(LeftAt(final), c.Final);
  EXPECT_EQ(LeftAt(next), c.Next);
  EXPECT_EQ(TemporariesIn(dir.Path()), 0);
  // Settled once: a second end changes nothing.
  EXPECT_TRUE(output.Settle(TTaskOutput::teFailed, error));
  EXPECT_EQ(LeftAt(final), c.Final);
}

constexpr auto Fin = TTaskOutput::teFinished, Stop = TTaskOutput::teStopped, Fail = TTaskOutput::teFailed;
constexpr bool Rej = true, Pass = false, PS = true, NoPS = false, Mine = true;
INSTANTIATE_TEST_SUITE_P(
    Ends, TaskOutputTest,
    ::testing::Values(
        // Staged: the engine writes a temporary; only a result is published.
        TCase{"Finished", true, false, Whole, Fin, Pass, PS, No, true, false, Whole, Gone},
        TCase{"FinishedCut", true, false, Cut, Fin, Pass, PS, No, false, false, Gone, Gone},
        TCase{"FinishedRejected", true, false, Whole, Fin, Rej, PS, No, true, false, Gone, Gone},
        TCase{"Failed", true, false, Whole, Fail, Pass, PS, No, true, false, Gone, Gone},
        TCase{"StoppedPublished", true, false, Whole, Stop, Pass, PS, No, true, false, Whole, Gone},
        TCase{"StoppedNotAsked", true, false, Whole, Stop, Pass, NoPS, No, true, false, Gone, Gone},
        TCase{"StoppedCut", true, false, Cut, Stop, Pass, PS, No, true, false, Gone, Gone},
        TCase{"FinalTaken", true, false, Whole, Fin, Pass, PS, Yes, false, true, Other, Gone},
        TCase{"FinalTakenReplaced", true, false, Whole, Fin, Pass, PS, Replace, true, false, Whole, Gone},
        TCase{"FinalTakenNextFree", true, false, Whole, Fin, Pass, PS, NextFree, true, false, Other, Whole},
        TCase{"FailedOverUsersFile", true, Mine, Whole, Fail, Pass, PS, No, true, false, Users, Gone},
        TCase{"StoppedOverUsersFile", true, Mine, Whole, Stop, Pass, PS, No, false, true, Users, Gone},
        // Direct: the engine writes the final name; removed only when
        // rejected, and only when this conversion created that very file.
        TCase{"DirectFinished", false, false, Whole, Fin, Pass, PS, No, true, false, Whole, Gone},
        TCase{"DirectFailed", false, false, Cut, Fail, Pass, PS, No, true, false, Cut, Gone},
        TCase{"DirectRejected", false, false, Whole, Fin, Rej, PS, No, true, false, Gone, Gone},
        TCase{"DirectRejectedUsersFile", false, Mine, Whole, Fin, Rej, PS, No, true, false, Whole, Gone},
        TCase{"DirectRejectedNameTaken", false, false, Whole, Fin, Rej, PS, Yes, true, false, Other, Gone}),
    [](const auto &AInfo) { return std::string(AInfo.param.Name); });

}  // namespace
