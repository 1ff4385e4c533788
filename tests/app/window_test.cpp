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

#include <sys/stat.h>

#include "Main.h"
#include "TestEnv.h"
#include "TestMedia.h"

using qvtest::TScratchDir;

namespace {

struct TMessage {
  QString Text, Caption;
  TfrmMain::TMessageIcon Icon;
};

class WindowTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() { qvtest::LoadLibs(); }

  void SetUp() override {
    qvtest::WriteFile(Dir.File("formats.ini"),
                      "[small]\nname=Small\nframe_width=320\nframe_height=240\nframe_rate=30\n"
                      "video_bitrate=300000\naudio_bitrate=64000\naudio_channels=2\naudio_frequency=44100\n"
                      "[tiny]\nname=Tiny\nframe_width=176\nframe_height=144\nvideo_bitrate=128000\n"
                      "audio_bitrate=32000\naudio_channels=1\naudio_frequency=22050\n"
                      "[odd]\nname=Odd\nframe_width=321\nframe_height=240\nvideo_bitrate=128000\n"
                      "audio_bitrate=32000\naudio_channels=1\naudio_frequency=22050\n");
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
  std::string Media(const std::string &AName, double ASeconds = 2.0, int AWidth = 320, int AHeight = 240) {
    qvtest::TGenOptions o;
    o.VideoCodec = "flv";
    o.Seconds = ASeconds;
    o.Width = AWidth;
    o.Height = AHeight;
    const std::string path = Dir.File(AName);
    qvtest::MakeMedia(path, o);
    return path;
  }

  void Pick(const std::string &APath) {
    NextPick = QString::fromStdString(APath);
    Form->btnOpenInputClick();
  }
  QString Panel(int AIndex) const { return Form->StatusBar->PanelText(AIndex); }
  bool WaitForRunEnd(int AMs = 120000) {
    return QTest::qWaitFor([this] { return Form->btnOpenInput->isEnabled(); }, AMs);
  }
  // Progress as the component reports it, then the queued update applied.
  void Progress(int ACurrent, int64_t ASize, int ATotal) {
    Form->StrixProgress(0, 1, 15, ACurrent, 2.0f, 300.0f, ASize, ATotal);
    QCoreApplication::processEvents();
  }

  TScratchDir Dir;
  std::unique_ptr<TfrmMain> Form;
  QString NextPick;
  std::vector<TMessage> Messages;
  std::vector<QUrl> Opened;
};

}  // namespace

TEST_F(WindowTest, StartsIdleWithItsLayoutTitleAndPresets) {
  Form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
  EXPECT_EQ(Form->windowTitle(), QString("Quenvaro ver.") + QString::fromStdString(FileVersionText()));
  EXPECT_EQ(Form->size(), QSize(442, 287));
  EXPECT_EQ(Form->minimumSize(), Form->maximumSize());
  EXPECT_EQ(Form->font().pixelSize(), 11);
  EXPECT_EQ(Form->lbFrom->text(), "FLV");
  EXPECT_EQ(Form->lbTo->text(), "iPod");
  EXPECT_EQ(Form->imgArrow->x(), Form->lbFrom->geometry().right() + 1 + 15);
  EXPECT_EQ(Form->lbTo->x(), Form->imgArrow->geometry().right() + 1 + 15);
  EXPECT_EQ(Form->imgArrow->pixmap().size(), QSize(32, 32));
  EXPECT_LE(Form->lbInformation->geometry().right(), Form->width() - 1);
  EXPECT_EQ(Form->pTop->palette().color(QPalette::Window), QColor(Qt::white));
  EXPECT_EQ(Form->edFileInput->geometry(), QRect(11, 83, 380, 21));
  EXPECT_EQ(Form->btnConvert->geometry(), QRect(270, 212, 75, 25));
  EXPECT_EQ(Form->ProgressBar1->geometry(), QRect(11, 250, 417, 10));
  EXPECT_TRUE(Form->edFileOutput->isReadOnly());
  EXPECT_FALSE(Form->btnOpenOutput->isVisible());
  EXPECT_EQ(Form->edFileOutput->toolTip(), "This box is read only... File name is generated automatically ");
  EXPECT_FALSE(Form->btnConvert->isEnabled());
  EXPECT_FALSE(Form->btnStop->isEnabled());
  EXPECT_EQ(Panel(0), "Status: Ready");
  EXPECT_EQ(Panel(1), "");
  EXPECT_EQ(Panel(2), "0%");
  ASSERT_EQ(Form->cbFormats->count(), 3);
  EXPECT_EQ(Form->cbFormats->itemText(1), "Tiny");
  EXPECT_EQ(Form->cbFormats->currentIndex(), 0);
}

TEST_F(WindowTest, PickingAnFlvFillsBothBoxesAndEnablesConvert) {
  const auto in = Media("clip.flv");
  Pick(in);
  EXPECT_EQ(Form->edFileInput->text().toStdString(), in);
  EXPECT_EQ(Form->edFileOutput->text().toStdString(), Dir.File("clip_(new).mp4"));
  EXPECT_TRUE(Form->btnConvert->isEnabled());
  EXPECT_EQ(Form->Strix->TaskCount(), 1);
  EXPECT_TRUE(Messages.empty());

  // A cancelled dialog changes nothing.
  Pick("");
  EXPECT_EQ(Form->edFileInput->text().toStdString(), in);
  EXPECT_TRUE(Form->btnConvert->isEnabled());

  qvtest::WriteFile(Dir.File("clip_(new).mp4"), "taken");
  Pick(in);
  EXPECT_EQ(Form->edFileOutput->text().toStdString(), Dir.File("clip_(new_1).mp4"));
}

TEST_F(WindowTest, ConvertRunsToDoneWithThePresetsSizeAt15Fps) {
  const auto in = Media("clip.flv", 2.0);
  Pick(in);
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
  EXPECT_TRUE(Messages.empty());
  // The run is over: nothing to convert until a file is picked again.
  EXPECT_FALSE(Form->btnConvert->isEnabled());
  EXPECT_FALSE(Form->btnStop->isEnabled());
  EXPECT_TRUE(Form->cbFormats->isEnabled());
  EXPECT_EQ(Form->Strix->TaskCount(), 0);
  EXPECT_EQ(Form->lbElapsedTime->text(), "Elapsed time:");

  qvtest::TMediaInfo info;
  ASSERT_TRUE(qvtest::ProbeMedia(Dir.File("clip_(new).mp4"), info));
  const auto *v = info.Find(AVMEDIA_TYPE_VIDEO);
  const auto *a = info.Find(AVMEDIA_TYPE_AUDIO);
  ASSERT_TRUE(v && a);
  EXPECT_EQ(v->Codec, "mpeg4");
  EXPECT_EQ(v->Width, 320);
  EXPECT_EQ(v->Height, 240);
  EXPECT_NEAR(av_q2d(v->FrameRate), 15.0, 0.01);
  EXPECT_EQ(a->Codec, "aac");
  EXPECT_EQ(a->SampleRate, 44100);
  EXPECT_NEAR(v->Duration, 2.0, 0.3);
}

TEST_F(WindowTest, StopMidwayLeavesAShorterPlayableFile) {
  const auto in = Media("long.flv", 60.0);
  Pick(in);
  Form->Strix->SetProgressInterval(100);
  Form->btnConvertClick();
  ASSERT_TRUE(QTest::qWaitFor([this] { return Form->ProgressBar1->value() > 0; }, 60000));
  ASSERT_LT(Form->ProgressBar1->value(), 100);
  Form->btnStopClick();
  EXPECT_FALSE(Form->btnStop->isEnabled());
  EXPECT_FALSE(Form->btnConvert->isEnabled());
  ASSERT_TRUE(WaitForRunEnd());
  EXPECT_EQ(Panel(0), "Status: Conversion stopped");
  EXPECT_TRUE(Messages.empty());

  qvtest::TMediaInfo info;
  ASSERT_TRUE(qvtest::ProbeMedia(Dir.File("long_(new).mp4"), info));
  const auto *v = info.Find(AVMEDIA_TYPE_VIDEO);
  ASSERT_TRUE(v);
  EXPECT_GT(v->Packets, 0);
  EXPECT_LT(v->Duration, 55.0);
}

TEST_F(WindowTest, ProgressSetsBarPercentageAndSizeText) {
  Progress(30000, 1024, 120000);
  EXPECT_EQ(Form->ProgressBar1->value(), 25);
  EXPECT_EQ(Panel(2), "25%");
  EXPECT_EQ(Panel(1), "Output file size: 1024 bytes");
  EXPECT_EQ(Form->CurrentCount, 30000);
  EXPECT_EQ(Form->TotalCount, 120000);
  Progress(1, 1025, 100);
  EXPECT_EQ(Panel(1), "Output file size:     1.00 Kbytes");
  Progress(1, 1048576, 100);
  EXPECT_EQ(Panel(1), "Output file size:  1024.00 Kbytes");
  Progress(1, 1048577, 100);
  EXPECT_EQ(Panel(1), "Output file size:     1.00 Mbytes");

  // Beyond the total the bar stops at 100; hours of milliseconds times 100
  // do not overflow.
  Progress(150, 0, 100);
  EXPECT_EQ(Panel(2), "100%");
  Progress(30000000, 0, 60000000);
  EXPECT_EQ(Form->ProgressBar1->value(), 50);
}

TEST_F(WindowTest, UnknownTotalDurationKeepsTheBarAtZero) {
  Progress(5000, 10, 0);
  EXPECT_EQ(Form->ProgressBar1->value(), 0);
  EXPECT_EQ(Panel(2), "0%");
  Progress(5000, 10, -40);
  EXPECT_EQ(Form->ProgressBar1->value(), 0);
  EXPECT_EQ(Panel(2), "0%");
}

TEST_F(WindowTest, TimerReadsTheCountersAndShowsTimes) {
  Progress(30000, 1, 120000);
  int32_t c = -1;
  Form->EstTimerGetTotalCount(Form->EstTimer, c);
  EXPECT_EQ(c, 120000);
  Form->EstTimerDisplayElapsedTime(Form->EstTimer, 30.0 / 86400);
  Form->EstTimerDisplayEstTime(Form->EstTimer, 25.0 / 24);
  EXPECT_EQ(Form->lbElapsedTime->text(), "Elapsed time: 00:00:30");
  EXPECT_EQ(Form->lbEstimatedTime->text(), "Estimated time: 01:00:00");
}

TEST_F(WindowTest, ConvertWithAMissingInputComplains) {
  Form->edFileInput->setText(QString::fromStdString(Dir.File("gone.flv")));
  Form->btnConvertClick();
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0].Text, "Input file does not exists");
  EXPECT_EQ(Messages[0].Caption, "Quenvaro");
  EXPECT_EQ(Messages[0].Icon, TfrmMain::miExclamation);
  EXPECT_EQ(Panel(0), "Status: Ready");
  EXPECT_FALSE(Form->btnStop->isEnabled());
  EXPECT_TRUE(Form->btnOpenInput->isEnabled());
}

TEST_F(WindowTest, PresetChangeOnAMissingFileDoesNothing) {
  Form->edFileInput->setText(QString::fromStdString(Dir.File("gone.flv")));
  Form->cbFormats->setCurrentIndex(1);
  Form->cbFormatsChange();
  EXPECT_TRUE(Messages.empty());
  EXPECT_FALSE(Form->btnConvert->isEnabled());
  EXPECT_EQ(Form->Strix->TaskCount(), 0);
}

TEST_F(WindowTest, DoubleClickOnTheInputShowsTheFileReport) {
  const auto in = Media("clip.flv", 1.0);
  Pick(in);
  Form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
  QTest::mouseDClick(Form->edFileInput, Qt::LeftButton);
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0].Caption, "File Information");
  EXPECT_TRUE(Messages[0].Text.contains(QString::fromStdString("File Name: " + in)));
  EXPECT_TRUE(Messages[0].Text.contains("Format Name: flv"));
  EXPECT_FALSE(Messages[0].Text.contains('\r'));
}

TEST_F(WindowTest, HeaderClicksOpenTheWebPage) {
  Form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
  QTest::mouseClick(Form->lbInformation, Qt::LeftButton);
  QTest::mouseClick(Form->imgArrow, Qt::LeftButton);
  ASSERT_EQ(Opened.size(), 2u);
  EXPECT_TRUE(Opened[0].isValid());
  EXPECT_TRUE(Opened[0].scheme().startsWith("http"));
}

TEST_F(WindowTest, FailedOpenOrOutputSetUpDisablesConvert) {
  const auto in = Media("clip.flv", 1.0);
  Pick(in);
  ASSERT_TRUE(Form->btnConvert->isEnabled());
  qvtest::WriteFile(Dir.File("broken.flv"), std::string(4096, 'x'));
  Pick(Dir.File("broken.flv"));
  EXPECT_FALSE(Form->btnConvert->isEnabled());
  EXPECT_EQ(Form->Strix->TaskCount(), 0);
  EXPECT_TRUE(Messages.empty());  // the open button says nothing

  // An output the engine refuses (odd frame width), first when picking, then
  // on a preset change, which tells why.
  Pick(in);
  ASSERT_TRUE(Form->btnConvert->isEnabled());
  Form->cbFormats->setCurrentIndex(2);
  Pick(in);
  EXPECT_FALSE(Form->btnConvert->isEnabled());
  EXPECT_EQ(Form->Strix->TaskCount(), 0);
  Form->cbFormats->setCurrentIndex(0);
  Form->cbFormatsChange();
  ASSERT_TRUE(Form->btnConvert->isEnabled());
  Form->cbFormats->setCurrentIndex(2);
  Form->cbFormatsChange();
  EXPECT_FALSE(Form->btnConvert->isEnabled());
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_TRUE(Messages[0].Text.startsWith("Cannot do convert, error: ")) << Messages[0].Text.toStdString();

  // A preset change whose input can no longer be opened.
  Messages.clear();
  qvtest::WriteFile(in, std::string(4096, 'x'));
  Form->cbFormats->setCurrentIndex(0);
  Form->cbFormatsChange();
  EXPECT_FALSE(Form->btnConvert->isEnabled());
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_TRUE(Messages[0].Text.startsWith("File open error: "));
}

TEST_F(WindowTest, WithoutAPresetTheInputSizeIsKept) {
  Make(Dir.File("no-such-formats.ini"));
  EXPECT_EQ(Form->cbFormats->count(), 0);
  EXPECT_EQ(Form->SelectedPreset(), nullptr);
  const auto in = Media("small.flv", 1.0, 160, 120);
  Pick(in);
  ASSERT_TRUE(Form->btnConvert->isEnabled());
  Form->btnConvertClick();
  ASSERT_TRUE(WaitForRunEnd());
  EXPECT_EQ(Panel(0), "Status: Done");
  qvtest::TMediaInfo info;
  ASSERT_TRUE(qvtest::ProbeMedia(Dir.File("small_(new).mp4"), info));
  const auto *v = info.Find(AVMEDIA_TYPE_VIDEO);
  ASSERT_TRUE(v);
  EXPECT_EQ(v->Width, 160);
  EXPECT_EQ(v->Height, 120);
}

TEST_F(WindowTest, TextTypedIntoThePresetBoxSelectsNoPreset) {
  const auto in = Media("clip.flv", 1.0);
  Pick(in);
  Form->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(Form.get()));
  Form->cbFormats->lineEdit()->selectAll();
  QTest::keyClicks(Form->cbFormats->lineEdit(), "typed");
  EXPECT_EQ(Form->cbFormats->count(), 3);
  EXPECT_EQ(Form->SelectedPreset(), nullptr);
  // The typing reconfigured the task without a preset.
  EXPECT_TRUE(Form->btnConvert->isEnabled());
  EXPECT_TRUE(Messages.empty());
}

TEST_F(WindowTest, PresetChangeAfterARunNeverOverwritesItsOutput) {
  const auto in = Media("clip.flv", 1.0);
  Pick(in);
  Form->btnConvertClick();
  ASSERT_TRUE(WaitForRunEnd());
  ASSERT_EQ(Panel(0), "Status: Done");
  const auto first = Dir.File("clip_(new).mp4");
  const std::string written = qvtest::ReadFile(first);
  ASSERT_FALSE(written.empty());

  Form->cbFormats->setCurrentIndex(1);
  Form->cbFormatsChange();
  EXPECT_EQ(Form->edFileOutput->text().toStdString(), Dir.File("clip_(new_1).mp4"));
  ASSERT_TRUE(Form->btnConvert->isEnabled());
  Form->btnConvertClick();
  ASSERT_TRUE(WaitForRunEnd());
  EXPECT_EQ(Panel(0), "Status: Done");
  EXPECT_EQ(qvtest::ReadFile(first), written);
  qvtest::TMediaInfo info;
  ASSERT_TRUE(qvtest::ProbeMedia(Dir.File("clip_(new_1).mp4"), info));
  ASSERT_TRUE(info.Find(AVMEDIA_TYPE_VIDEO));
  EXPECT_EQ(info.Find(AVMEDIA_TYPE_VIDEO)->Width, 176);
}

TEST_F(WindowTest, FailedConversionShowsItsMessage) {
  Form->StrixTerminate(0, false, true, "Could not write header");
  Form->StrixTerminate(-1, true, false, "");
  QCoreApplication::processEvents();
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0].Text, "Could not write header");
  EXPECT_EQ(Messages[0].Caption, "Quenvaro");
  EXPECT_EQ(Messages[0].Icon, TfrmMain::miExclamation);
  EXPECT_EQ(Panel(0), "Status: Conversion stopped");
}

TEST_F(WindowTest, DroppingAnFlvOpensIt) {
  const auto in = Media("drop.flv", 1.0);
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
  EXPECT_TRUE(Form->edFileInput->text().isEmpty());
  EXPECT_TRUE(drag(in));
  EXPECT_EQ(Form->edFileInput->text().toStdString(), in);
  EXPECT_EQ(Form->edFileOutput->text().toStdString(), Dir.File("drop_(new).mp4"));
  EXPECT_TRUE(Form->btnConvert->isEnabled());
}

TEST_F(WindowTest, ClosingWhileConvertingStopsTheRun) {
  const auto in = Media("long.flv", 60.0);
  Pick(in);
  Form->Strix->SetProgressInterval(100);
  Form->btnConvertClick();
  ASSERT_TRUE(QTest::qWaitFor([this] { return Form->ProgressBar1->value() > 0; }, 60000));
  Form->close();
  Form.reset();
  qvtest::TMediaInfo info;
  ASSERT_TRUE(qvtest::ProbeMedia(Dir.File("long_(new).mp4"), info));
  EXPECT_TRUE(info.Find(AVMEDIA_TYPE_VIDEO));
}
