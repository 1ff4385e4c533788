// The main window's test fixture: the window offscreen, driven through its
// own handlers, with the open dialog, the message boxes, the questions, the
// web link and the desktop's services replaced by recorders.
#pragma once

#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QApplication>
#include <QComboBox>
#include <QDBusConnection>
#include <QDropEvent>
#include <QLineEdit>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>

#include "Main.h"
#include "TestEnv.h"
#include "TestMedia.h"

// Readable failures.
inline void PrintTo(const QString &AText, std::ostream *AOut) { *AOut << '"' << AText.toStdString() << '"'; }

namespace windowtest {

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
                      "[odd]\nname=Odd\nframe_width=321\nframe_height=240\n" + tail +
                      "[bad]\nname=Bad\naudio_channels=0\n");  // never offered
    Make(Dir.File("formats.ini"));
  }

  void Make(const std::string &APresetFile) {
    Form.reset();
    // The choices kept between sessions stay in the scratch folder; a window
    // made again in the same test is the next session.
    Form = std::make_unique<TfrmMain>(APresetFile, std::string(), QString::fromStdString(Dir.File("settings.ini")));
    Form->ExecuteOpenDialog = [this](QFileDialog &) { return NextPick; };
    // No desktop of the machine's: notifications and holds go nowhere.
    Form->Desktop = std::make_unique<TDesktopSession>(QDBusConnection(QStringLiteral("qv-no-bus")),
                                                      QDBusConnection(QStringLiteral("qv-no-bus")));
    Form->ShowMessageBox = [this](const QString &AText, const QString &ACaption, TfrmMain::TMessageIcon AIcon) {
      Messages.push_back({AText, ACaption, AIcon});
    };
    Form->OpenUrl = [this](const QUrl &AUrl) {
      Opened.push_back(AUrl);
      return OpenerWorks;
    };
    Form->AskYesNo = [this](const QString &AQuestion) {
      Questions.push_back(AQuestion);
      return Answer;
    };
  }

  // A generated FLV (FLV1 video, AAC audio) in the scratch folder.
  std::string Media(const std::string &AName, double ASeconds = 1.0, int AWidth = 320, int AHeight = 240) {
    qvtest::TGenOptions o;
    o.VideoCodec = "flv", o.Width = AWidth, o.Height = AHeight, o.Seconds = ASeconds;
    qvtest::MakeMedia(Dir.File(AName), o);
    return Dir.File(AName);
  }

  void Pick(const std::string &APath) {
    NextPick = APath.empty() ? QStringList() : QStringList{QString::fromStdString(APath)};
    Form->btnOpenInputClick();
  }
  void PickSeveral(const std::vector<std::string> &APaths) {
    NextPick.clear();
    for (const auto &p : APaths) NextPick.push_back(QString::fromStdString(p));
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
  // Replaces the input box's text by typing, as a user does (no focus change).
  void TypeIntoInputBox(const std::string &AText) {
    Form->edFileInput->setFocus();
    Form->edFileInput->selectAll();
    if (AText.empty())
      QTest::keyClick(Form->edFileInput, Qt::Key_Delete);
    else
      QTest::keyClicks(Form->edFileInput, QString::fromStdString(AText));
  }
  // Drags local files over the window and, when accepted, drops them there;
  // whether the drag was accepted.
  bool Drag(const std::vector<std::string> &APaths) {
    QMimeData mime;
    QList<QUrl> urls;
    for (const auto &p : APaths) urls.push_back(QUrl::fromLocalFile(QString::fromStdString(p)));
    mime.setUrls(urls);
    QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
    QCoreApplication::sendEvent(Form.get(), &enter);
    if (enter.isAccepted()) {
      QDragMoveEvent move(QPoint(200, 150), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
      QCoreApplication::sendEvent(Form.get(), &move);
      EXPECT_TRUE(move.isAccepted());
      QDropEvent drop(QPointF(200, 150), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
      QCoreApplication::sendEvent(Form.get(), &drop);
    }
    QCoreApplication::processEvents();
    return enter.isAccepted();
  }
  std::string Output() const { return Form->edFileOutput->text().toStdString(); }
  bool WaitForRunEnd() { return QTest::qWaitFor([this] { return Form->btnOpenInput->isEnabled(); }, 120000); }
  // Starts a 60 s conversion and waits for its first progress.
  void StartLong() {
    Pick(Media("long.flv", 60.0));
    Form->Strix->SetProgressInterval(100);
    Form->btnConvertClick();
    ASSERT_TRUE(QTest::qWaitFor([this] { return Form->pbConversion->value() > 0; }, 60000));
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
  QStringList NextPick;
  std::vector<TMessage> Messages;
  std::vector<QUrl> Opened;
  bool OpenerWorks = true;
  std::vector<QString> Questions;
  bool Answer = true;
};

}  // namespace windowtest
