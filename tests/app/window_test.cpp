// The main window, offscreen, driven through its own handlers, with the open
// dialog, the message boxes and the web link replaced by recorders.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QDropEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include "Main.h"
#include "TestEnv.h"
#include "TestMedia.h"

namespace {

struct TMessage {
  QString Text, Caption;
  TfrmMain::TMessageIcon Icon;
};

class WindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { qvtest::LoadLibs(); }

  void SetUp() override {
    const std::string tail = "video_bitrate=128000\naudio_bitrate=32000\naudio_channels=1\naudio_frequency=22050\n";
    qvtest::WriteFile(Dir.File("formats.ini"),
                      "[small]\nname=Small\nframe_width=320\nframe_height=240\nframe_rate=30\n"
                      "video_bitrate=300000\naudio_bitrate=64000\naudio_channels=2\naudio_frequency=44100\n"
                      "[tiny]\nname=Tiny\nframe_width=176\nframe_height=144\n" + tail +
                      "[odd]\nname=Odd\nframe_width=321\nframe_height=240\n" + tail);
    Make(Dir.File("formats.ini"));
  }

  void Make(const std::string &APresetFile) {
    Form.reset();
    Form = std::make_unique<TfrmMain>(APresetFile);
    Form->ExecuteOpenDialog = [this](QFileDialog &) { return NextPick; };
    Form->ShowMessageBox = [this](const QString &AText, const QString &ACaption, TfrmMain::TMessageIcon AIcon) {
      Messages.push_back({AText, ACaption, AIcon});
    };
    Form->OpenUrl = [this](const QUrl &AUrl) { Opened.push_back(AUrl); };
  }

  // A generated FLV (FLV1 video, AAC audio) in the scratch folder.
  std::string Media(const std::string &AName, double ASeconds = 1.0, int AWidth = 320, int AHeight = 240) {
    qvtest::TGenOptions o;
    o.VideoCodec = "flv", o.Width = AWidth, o.Height = AHeight, o.Seconds = ASeconds;
    qvtest::MakeMedia(Dir.File(AName), o);
    return Dir.File(AName);
  }

  void Pick(const std::string &APath) {
    NextPick = QString::fromStdString(APath);
    Form->btnOpenInputClick();
  }
  void ChoosePreset(int AIndex) {
    Form->cbFormats->setCurrentIndex(AIndex);
    Form->cbFormatsChange();
  }
  void Show() {
    Form->show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
  }
  QString Panel(int AIndex) const { return Form->StatusBar->PanelText(AIndex); }
  std::string Output() const { return Form->edFileOutput->text().toStdString(); }
  bool WaitForRunEnd() { return QTest::qWaitFor([this] { return Form->btnOpenInput->isEnabled(); }, 120000); }
  // Starts a 60 s conversion and waits for its first progress.
  void StartLong() {
    Pick(Media("long.flv", 60.0));
    Form->Strix->SetProgressInterval(100);
    Form->btnConvertClick();
    ASSERT_TRUE(QTest::qWaitFor([this] { return Form->ProgressBar1->value() > 0; }, 60000));
  }
  // Progress as the component reports it, then the queued update applied.
  void Progress(int ACurrent, int64_t ASize, int ATotal) {
    Form->StrixProgress(0, 1, 15, ACurrent, 2.0f, 300.0f, ASize, ATotal);
    QCoreApplication::processEvents();
  }
  // A stream of the named output; an empty one (and a failure) when missing.
  qvtest::TStreamInfo Stream(const std::string &AName, int AType = AVMEDIA_TYPE_VIDEO) {
    qvtest::TMediaInfo info;
    EXPECT_TRUE(qvtest::ProbeMedia(Dir.File(AName), info)) << AName;
    const auto *s = info.Find(AType);
    EXPECT_TRUE(s) << AName;
    return s ? *s : qvtest::TStreamInfo{};
  }

  qvtest::TScratchDir Dir;
  std::unique_ptr<TfrmMain> Form;
  QString NextPick;
  std::vector<TMessage> Messages;
  std::vector<QUrl> Opened;
};

}  // namespace

TEST_F(WindowTest, StartsIdleWithItsTitleAndPresets) {
  Show();
  EXPECT_EQ(Form->windowTitle(), QString("Quenvaro ver.") + QString::fromStdString(FileVersionText()));
  EXPECT_EQ(Form->minimumSize(), Form->maximumSize());
  EXPECT_LE(Form->lbInformation->geometry().right(), Form->width() - 1);
  EXPECT_TRUE(Form->edFileOutput->isReadOnly());
  EXPECT_FALSE(Form->btnConvert->isEnabled());
  EXPECT_FALSE(Form->btnStop->isEnabled());
  EXPECT_EQ(Panel(0), "Status: Ready");
  EXPECT_EQ(Panel(2), "0%");
  ASSERT_EQ(Form->cbFormats->count(), 3);
  EXPECT_EQ(Form->cbFormats->currentIndex(), 0);
}

TEST_F(WindowTest, PickingOrDroppingAnFlvFillsBothBoxesAndEnablesConvert) {
  const auto in = Media("clip.flv");
  Pick(in);
  EXPECT_EQ(Form->edFileInput->text().toStdString(), in);
  EXPECT_EQ(Output(), Dir.File("clip_(new).mp4"));
  EXPECT_TRUE(Form->btnConvert->isEnabled());
  EXPECT_EQ(Form->Strix->TaskCount(), 1);
  Pick("");  // a cancelled dialog changes nothing
  EXPECT_EQ(Form->edFileInput->text().toStdString(), in);
  EXPECT_TRUE(Form->btnConvert->isEnabled());
  qvtest::WriteFile(Dir.File("clip_(new).mp4"), "taken");
  Pick(in);
  EXPECT_EQ(Output(), Dir.File("clip_(new_1).mp4"));

  // Dropping: only FLV files are accepted.
  const auto dropped = Media("drop.flv");
  qvtest::WriteFile(Dir.File("notes.txt"), "x");
  auto drag = [this](const std::string &APath) {
    QMimeData mime;
    mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(APath))});
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(Form.get(), &enter);
    if (enter.isAccepted()) {
      QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
      QCoreApplication::sendEvent(Form.get(), &drop);
    }
    QCoreApplication::processEvents();
    return enter.isAccepted();
  };
  EXPECT_FALSE(drag(Dir.File("notes.txt")));
  EXPECT_EQ(Form->edFileInput->text().toStdString(), in);
  EXPECT_TRUE(drag(dropped));
  EXPECT_EQ(Output(), Dir.File("drop_(new).mp4"));
  EXPECT_TRUE(Form->btnConvert->isEnabled());
  EXPECT_TRUE(Messages.empty());
}

// Also the regression: a preset change after a finished run derives a fresh
// name and never converts over that run's output.
TEST_F(WindowTest, ConvertRunsToDoneAndALaterRunNeverOverwritesIt) {
  Pick(Media("clip.flv", 2.0));
  Form->btnConvertClick();
  EXPECT_EQ(Panel(0), "Status: Converting...");
  EXPECT_FALSE(Form->btnOpenInput->isEnabled());
  EXPECT_FALSE(Form->cbFormats->isEnabled());
  EXPECT_TRUE(Form->btnStop->isEnabled());
  ASSERT_TRUE(WaitForRunEnd());
  EXPECT_EQ(Panel(0), "Status: Done");
  EXPECT_EQ(Panel(2), "100%");
  EXPECT_EQ(Form->ProgressBar1->value(), 100);
  EXPECT_TRUE(Panel(1).startsWith("Output file size: "));
  EXPECT_FALSE(Form->btnConvert->isEnabled());  // nothing to convert until a new pick
  EXPECT_FALSE(Form->btnStop->isEnabled());
  EXPECT_EQ(Form->Strix->TaskCount(), 0);
  EXPECT_EQ(Form->lbElapsedTime->text(), "Elapsed time:");
  const auto v = Stream("clip_(new).mp4"), a = Stream("clip_(new).mp4", AVMEDIA_TYPE_AUDIO);
  EXPECT_EQ(v.Codec, "mpeg4");
  EXPECT_EQ(QSize(v.Width, v.Height), QSize(320, 240));
  EXPECT_NEAR(av_q2d(v.FrameRate), 15.0, 0.01);
  EXPECT_NEAR(v.Duration, 2.0, 0.3);
  EXPECT_EQ(a.Codec, "aac");
  EXPECT_EQ(a.SampleRate, 44100);

  const std::string written = qvtest::ReadFile(Dir.File("clip_(new).mp4"));
  ChoosePreset(1);
  EXPECT_EQ(Output(), Dir.File("clip_(new_1).mp4"));
  ASSERT_TRUE(Form->btnConvert->isEnabled());
  Form->btnConvertClick();
  ASSERT_TRUE(WaitForRunEnd());
  EXPECT_EQ(Panel(0), "Status: Done");
  EXPECT_EQ(qvtest::ReadFile(Dir.File("clip_(new).mp4")), written);
  EXPECT_EQ(Stream("clip_(new_1).mp4").Width, 176);
  EXPECT_TRUE(Messages.empty());
}

TEST_F(WindowTest, StopMidwayLeavesAShorterPlayableFile) {
  StartLong();
  ASSERT_LT(Form->ProgressBar1->value(), 100);
  Form->btnStopClick();
  EXPECT_FALSE(Form->btnStop->isEnabled());
  EXPECT_FALSE(Form->btnConvert->isEnabled());
  ASSERT_TRUE(WaitForRunEnd());
  EXPECT_EQ(Panel(0), "Status: Conversion stopped");
  EXPECT_TRUE(Messages.empty());
  const auto v = Stream("long_(new).mp4");
  EXPECT_GT(v.Packets, 0);
  EXPECT_LT(v.Duration, 55.0);
}

TEST_F(WindowTest, ClosingWhileConvertingStopsTheRun) {
  StartLong();
  Form->close();
  Form.reset();
  EXPECT_GT(Stream("long_(new).mp4").Packets, 0);
}

TEST_F(WindowTest, ProgressSetsBarPercentageSizeAndTimes) {
  Progress(30000, 1024, 120000);
  EXPECT_EQ(Form->ProgressBar1->value(), 25);
  EXPECT_EQ(Panel(2), "25%");
  EXPECT_EQ(Form->CurrentCount, 30000);
  int32_t total = -1;
  Form->EstTimerGetTotalCount(Form->EstTimer, total);
  EXPECT_EQ(total, 120000);
  Form->EstTimerDisplayElapsedTime(Form->EstTimer, 30.0 / 86400);
  Form->EstTimerDisplayEstTime(Form->EstTimer, 25.0 / 24);
  EXPECT_EQ(Form->lbElapsedTime->text(), "Elapsed time: 00:00:30");
  EXPECT_EQ(Form->lbEstimatedTime->text(), "Estimated time: 01:00:00");

  const std::pair<int64_t, const char *> sizes[] = {
      {1024, "1024 bytes"}, {1025, "    1.00 Kbytes"}, {1048576, " 1024.00 Kbytes"}, {1048577, "    1.00 Mbytes"}};
  for (const auto &[size, text] : sizes) {
    Progress(1, size, 100);
    EXPECT_EQ(Panel(1), QString("Output file size: ") + text);
  }
  // Beyond the total the bar stops at 100; hours of milliseconds times 100 do not overflow.
  Progress(150, 0, 100);
  EXPECT_EQ(Panel(2), "100%");
  Progress(30000000, 0, 60000000);
  EXPECT_EQ(Form->ProgressBar1->value(), 50);
  // Regression: an unknown (0 or negative) total keeps the bar at 0.
  for (int badTotal : {0, -40}) {
    Progress(5000, 10, badTotal);
    EXPECT_EQ(Form->ProgressBar1->value(), 0);
    EXPECT_EQ(Panel(2), "0%");
  }
}

TEST_F(WindowTest, MissingInputsAndFailedRunsAreReported) {
  Form->edFileInput->setText(QString::fromStdString(Dir.File("gone.flv")));
  ChoosePreset(1);
  EXPECT_TRUE(Messages.empty());
  EXPECT_FALSE(Form->btnConvert->isEnabled());
  EXPECT_EQ(Form->Strix->TaskCount(), 0);

  Form->btnConvertClick();
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0].Text, "Input file does not exists");
  EXPECT_EQ(Messages[0].Caption, "Quenvaro");
  EXPECT_EQ(Messages[0].Icon, TfrmMain::miExclamation);
  EXPECT_EQ(Panel(0), "Status: Ready");
  EXPECT_FALSE(Form->btnStop->isEnabled());
  EXPECT_TRUE(Form->btnOpenInput->isEnabled());

  // A failed run shows the component's message once, and ends as stopped.
  Messages.clear();
  Form->StrixTerminate(0, false, true, "Could not write header");
  Form->StrixTerminate(-1, true, false, "");
  QCoreApplication::processEvents();
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0].Text, "Could not write header");
  EXPECT_EQ(Messages[0].Icon, TfrmMain::miExclamation);
  EXPECT_EQ(Panel(0), "Status: Conversion stopped");
}

TEST_F(WindowTest, ClicksShowTheFileReportAndOpenTheWebPage) {
  const auto in = Media("clip.flv");
  Pick(in);
  Show();
  QTest::mouseDClick(Form->edFileInput, Qt::LeftButton);
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0].Caption, "File Information");
  EXPECT_TRUE(Messages[0].Text.contains(QString::fromStdString("File Name: " + in)));
  EXPECT_TRUE(Messages[0].Text.contains("Format Name: flv"));
  EXPECT_FALSE(Messages[0].Text.contains('\r'));

  QTest::mouseClick(Form->lbInformation, Qt::LeftButton);
  QTest::mouseClick(Form->imgArrow, Qt::LeftButton);
  ASSERT_EQ(Opened.size(), 2u);
  EXPECT_TRUE(Opened[0].scheme().startsWith("http"));
}

// Regression: a failed open or output set-up must leave Convert disabled.
TEST_F(WindowTest, FailedOpenOrOutputSetUpDisablesConvert) {
  const auto in = Media("clip.flv");
  Pick(in);
  ASSERT_TRUE(Form->btnConvert->isEnabled());
  qvtest::WriteFile(Dir.File("broken.flv"), std::string(4096, 'x'));
  Pick(Dir.File("broken.flv"));
  EXPECT_FALSE(Form->btnConvert->isEnabled());
  EXPECT_EQ(Form->Strix->TaskCount(), 0);
  EXPECT_TRUE(Messages.empty());  // the open button says nothing

  // An output the engine refuses (odd frame width): on picking, then on a
  // preset change, which tells why.
  Pick(in);
  ASSERT_TRUE(Form->btnConvert->isEnabled());
  Form->cbFormats->setCurrentIndex(2);
  Pick(in);
  EXPECT_FALSE(Form->btnConvert->isEnabled());
  EXPECT_EQ(Form->Strix->TaskCount(), 0);
  ChoosePreset(0);
  ASSERT_TRUE(Form->btnConvert->isEnabled());
  ChoosePreset(2);
  EXPECT_FALSE(Form->btnConvert->isEnabled());
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_TRUE(Messages[0].Text.startsWith("Cannot do convert, error: ")) << Messages[0].Text.toStdString();

  // A preset change whose input can no longer be opened.
  Messages.clear();
  qvtest::WriteFile(in, std::string(4096, 'x'));
  ChoosePreset(0);
  EXPECT_FALSE(Form->btnConvert->isEnabled());
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_TRUE(Messages[0].Text.startsWith("File open error: "));
}

// Regression: with no preset selected nothing is read outside the presets;
// the input's own size is kept.
TEST_F(WindowTest, WithoutASelectedPresetTheInputSizeIsKept) {
  Pick(Media("clip.flv"));
  Show();
  Form->cbFormats->lineEdit()->selectAll();
  QTest::keyClicks(Form->cbFormats->lineEdit(), "typed");
  EXPECT_EQ(Form->cbFormats->count(), 3);
  EXPECT_EQ(Form->SelectedPreset(), nullptr);
  EXPECT_TRUE(Form->btnConvert->isEnabled());  // the task was set up again without a preset

  Make(Dir.File("no-such-formats.ini"));
  EXPECT_EQ(Form->cbFormats->count(), 0);
  EXPECT_EQ(Form->SelectedPreset(), nullptr);
  Pick(Media("small.flv", 1.0, 160, 120));
  ASSERT_TRUE(Form->btnConvert->isEnabled());
  Form->btnConvertClick();
  ASSERT_TRUE(WaitForRunEnd());
  EXPECT_EQ(Panel(0), "Status: Done");
  const auto v = Stream("small_(new).mp4");
  EXPECT_EQ(QSize(v.Width, v.Height), QSize(160, 120));
  EXPECT_TRUE(Messages.empty());
}

