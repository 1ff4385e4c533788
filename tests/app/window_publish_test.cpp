// Publishing from the window: SIGTERM mid-run acts as Stop and quits, a
// failure publishes nothing, a name taken meanwhile gives the next, and the
// dates and verification options are remembered and applied.
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <utime.h>

#include <QAction>
#include <algorithm>
#include <filesystem>

#include "AtomicOutput.h"
#include "StopSignals.h"
#include "WindowFixture.h"

namespace windowtest {
namespace {

class WindowPublishTest : public WindowTest {
 protected:
  long Temporaries() {
    std::filesystem::directory_iterator all(Dir.Path());
    return std::count_if(begin(all), end(all), [](const auto &e) { return e.path().extension() == ".qvpart"; });
  }
};

TEST_F(WindowPublishTest, ASigtermMidRunPublishesTheShorterFileAndQuits) {
  TStopSignals stopSignals;
  stopSignals.OnSignal = [this](int ASignal) { Form->QuitOnSignal(ASignal); };
  int code = 0;
  Form->ExitProgram = [&code](int ACode) { code = ACode; };
  StartLong();
  EXPECT_EQ(Temporaries(), 1);
  EXPECT_FALSE(qvtest::FileExists(Dir.File("long_(new).mp4"))) << "written under its final name";
  raise(SIGTERM);
  ASSERT_TRUE(QTest::qWaitFor([&code] { return code != 0; }, 60000));
  EXPECT_EQ(code, 128 + SIGTERM);
  EXPECT_TRUE(IsCompleteMp4(Dir.File("long_(new).mp4")));
  EXPECT_LT(Stream("long_(new).mp4").Duration, 55.0);
  EXPECT_EQ(Temporaries(), 0);
  EXPECT_TRUE(Questions.empty() && Messages.empty()) << "something waited for an answer";
}

TEST_F(WindowPublishTest, AFullDiskPublishesNothing) {
  Pick(Media("clip.flv", 20.0));
  rlimit saved{};
  getrlimit(RLIMIT_FSIZE, &saved);
  const rlimit full{40000, saved.rlim_max};  // writes past the first seconds fail
  signal(SIGXFSZ, SIG_IGN);
  setrlimit(RLIMIT_FSIZE, &full);
  Form->btnConvertClick();
  const bool ended = WaitForRunEnd();
  setrlimit(RLIMIT_FSIZE, &saved);
  signal(SIGXFSZ, SIG_DFL);
  ASSERT_TRUE(ended);
  EXPECT_FALSE(qvtest::FileExists(Dir.File("clip_(new).mp4")));
  EXPECT_EQ(Temporaries(), 0);
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_TRUE(Messages[0].Text.contains("File too large")) << Messages[0].Text.toStdString();
}

// Another program took the name after the pick: its file stays.
TEST_F(WindowPublishTest, ANameTakenMeanwhileGivesTheNextFreeName) {
  Pick(Media("clip.flv", 0.5));
  qvtest::WriteFile(Dir.File("clip_(new).mp4"), "theirs");
  Form->btnConvertClick();
  ASSERT_TRUE(WaitForRunEnd());
  EXPECT_EQ(qvtest::ReadFile(Dir.File("clip_(new).mp4")), "theirs");
  EXPECT_TRUE(IsCompleteMp4(Dir.File("clip_(new_1).mp4")));
  EXPECT_EQ(Output(), Dir.File("clip_(new_1).mp4"));
  EXPECT_EQ(Panel(1), "Saved as clip_(new_1).mp4: clip_(new).mp4 was taken meanwhile");
  EXPECT_EQ(Panel(0), "Status: Done");
}

// "Keep the input's dates" and "Verify each output" (the component's option)
// hold for the next session.
TEST_F(WindowPublishTest, TheDatesAndVerifyOptionsAreRememberedAndApplied) {
  const std::string in = Media("clip.flv", 0.5);
  const utimbuf old{1262304000, 1577934245};
  auto verify = [this] {
    for (QAction *a : Form->actions())
      if (a->text() == "Verify each output") return a;
    return static_cast<QAction *>(nullptr);
  };
  ASSERT_NE(verify(), nullptr);
  for (bool on : {true, false}) {
    SCOPED_TRACE(on);
    EXPECT_FALSE(Form->actKeepDates->isChecked() || verify()->isChecked() || Form->Strix->VerifyOutput());
    if (on) Form->actKeepDates->trigger(), verify()->trigger();
    EXPECT_EQ(Form->Strix->VerifyOutput(), on);
    Make(Dir.File("formats.ini"));  // the next session
    EXPECT_EQ(Form->actKeepDates->isChecked() && verify()->isChecked() && Form->Strix->VerifyOutput(), on);
    utime(in.c_str(), &old);
    Pick(in);
    const std::string out = Output();
    Form->btnConvertClick();
    ASSERT_TRUE(WaitForRunEnd());
    struct stat st {};
    ASSERT_EQ(stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mtime == old.modtime && st.st_atime == old.actime, on);
    if (on) Form->actKeepDates->trigger(), verify()->trigger();  // off again, for the next round
  }
}

}  // namespace
}  // namespace windowtest
