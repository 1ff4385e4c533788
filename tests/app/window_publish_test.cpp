// Publishing from the window: a stop signal mid-run stops it as Stop does,
// publishes the shorter playable file and quits; a failure publishes
// nothing; a name taken meanwhile gives the next; the choice to keep the
// input's dates is remembered and applied.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <utime.h>

#include <filesystem>

#include "AtomicOutput.h"
#include "StopSignals.h"
#include "WindowFixture.h"

namespace windowtest {
namespace {

namespace fs = std::filesystem;

class WindowPublishTest : public WindowTest {
 protected:
  std::vector<std::string> Temporaries() {
    std::vector<std::string> found;
    for (const auto &e : fs::directory_iterator(Dir.Path()))
      if (e.path().filename().string().ends_with(".qvpart")) found.push_back(e.path().string());
    return found;
  }
};

TEST_F(WindowPublishTest, ASigtermMidRunPublishesTheShorterFileAndQuits) {
  TStopSignals stopSignals;
  stopSignals.OnSignal = [this](int ASignal) { Form->QuitOnSignal(ASignal); };
  int code = 0;
  Form->ExitProgram = [&code](int ACode) { code = ACode; };
  StartLong();
  EXPECT_EQ(Temporaries().size(), 1u);
  EXPECT_FALSE(qvtest::FileExists(Dir.File("long_(new).mp4"))) << "written under its final name";
  raise(SIGTERM);
  ASSERT_TRUE(QTest::qWaitFor([&code] { return code != 0; }, 60000));
  EXPECT_EQ(code, 128 + SIGTERM);
  EXPECT_TRUE(IsCompleteMp4(Dir.File("long_(new).mp4")));
  EXPECT_LT(Stream("long_(new).mp4").Duration, 55.0);
  EXPECT_TRUE(Temporaries().empty());
  // Nothing was left waiting for an answer.
  EXPECT_TRUE(Questions.empty());
  EXPECT_TRUE(Messages.empty());
}

TEST_F(WindowPublishTest, AFailedRunPublishesNothing) {
  Pick(Media("clip.flv", 20.0));
  // A full disk: writes past the first seconds fail.
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  const rlimit full{40000, saved.rlim_max};
  signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &full);
  Form->btnConvertClick();
  const bool ended = WaitForRunEnd();
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, SIG_DFL);
  ASSERT_TRUE(ended);
  EXPECT_FALSE(qvtest::FileExists(Dir.File("clip_(new).mp4")));
  EXPECT_TRUE(Temporaries().empty());
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_TRUE(Messages[0].Text.contains("File too large")) << Messages[0].Text.toStdString();
}

// Another program took the name after the pick: its file stays, the output
// goes to the next free name, and the status bar says so.
TEST_F(WindowPublishTest, ANameTakenMeanwhileGivesTheNextFreeName) {
  Pick(Media("clip.flv", 0.5));
  ASSERT_EQ(Output(), Dir.File("clip_(new).mp4"));
  qvtest::WriteFile(Dir.File("clip_(new).mp4"), "theirs");
  Form->btnConvertClick();
  ASSERT_TRUE(WaitForRunEnd());
  EXPECT_EQ(qvtest::ReadFile(Dir.File("clip_(new).mp4")), "theirs");
  EXPECT_TRUE(IsCompleteMp4(Dir.File("clip_(new_1).mp4")));
  EXPECT_EQ(Output(), Dir.File("clip_(new_1).mp4"));
  EXPECT_EQ(Panel(1), "Saved as clip_(new_1).mp4: clip_(new).mp4 was taken meanwhile");
  EXPECT_EQ(Panel(0), "Status: Done");
}

TEST_F(WindowPublishTest, KeepingTheInputsDatesIsRememberedAndApplied) {
  const std::string in = Media("clip.flv", 0.5);
  const utimbuf old{1262304000, 1577934245};
  for (bool keep : {true, false}) {
    SCOPED_TRACE(keep);
    EXPECT_FALSE(Form->actKeepDates->isChecked());
    if (keep) Form->actKeepDates->trigger();
    Make(Dir.File("formats.ini"));  // the next session
    EXPECT_EQ(Form->actKeepDates->isChecked(), keep);
    utime(in.c_str(), &old);
    Pick(in);
    const std::string out = Output();
    Form->btnConvertClick();
    ASSERT_TRUE(WaitForRunEnd());
    struct stat st {};
    ASSERT_EQ(stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime == old.modtime, keep);
    EXPECT_EQ(st.st_atime == old.actime, keep);
    if (keep) Form->actKeepDates->trigger();  // off again, for the next round
  }
}

}  // namespace
}  // namespace windowtest
