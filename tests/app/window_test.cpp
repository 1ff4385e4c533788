// The main window, offscreen, driven through its own handlers, with the open
// dialog, the message boxes and the web link replaced by recorders.
#include <QCompleter>
#include <QDir>
#include <QPointer>

#include <sys/stat.h>

#include <algorithm>

#include "WindowFixture.h"

using windowtest::WindowTest;

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

// Every control in its designed place, under its parent, with its text, and
// Tab going through the input, output, preset and run controls in that order.
TEST_F(WindowTest, ControlsKeepTheirDesignedPlacesTextsAndTabOrder) {
  Show();
  struct TPlace {
    const char *Name;
    QWidget *Control;
    QWidget *Parent;
    QRect Place;  // an empty size: placed there, as large as its text
    QString Text;
  };
  QWidget *form = Form.get();
  const std::vector<TPlace> places = {
      {"pTop", Form->pTop, form, {0, 0, 442, 57}, {}},
      {"lbFrom", Form->lbFrom, Form->pTop, {14, 10, 0, 0}, "FLV"},
      // The link moves left for faces wider than Tahoma, to stay in the window.
      {"lbInformation", Form->lbInformation, Form->pTop, {Form->lbInformation->x(), 16, 0, 0},
       "More Free Video Tools\nget more information"},
      {"bvHeader", Form->bvHeader, form, {0, 57, 442, 14}, {}},
      {"lbFileInput", Form->lbFileInput, form, {11, 65, 0, 0}, "Select file you want to convert:"},
      {"edFileInput", Form->edFileInput, form, {11, 83, 380, 21}, {}},
      {"btnOpenInput", Form->btnOpenInput, form, {398, 83, 30, 21}, "..."},
      {"lbFileOutput", Form->lbFileOutput, form, {11, 111, 0, 0}, "Output file:"},
      {"edFileOutput", Form->edFileOutput, form, {11, 129, 380, 21}, {}},
      {"btnOpenOutput", Form->btnOpenOutput, form, {398, 129, 30, 21}, "..."},
      {"lbFormats", Form->lbFormats, form, {11, 157, 0, 0}, "Output settings:"},
      {"cbFormats", Form->cbFormats, form, {11, 174, 380, 21}, {}},
      {"bvRun", Form->bvRun, form, {5, 204, 435, 19}, {}},
      {"lbEstimatedTime", Form->lbEstimatedTime, form, {11, 228, 0, 0}, "Estimated time:"},
      {"btnConvert", Form->btnConvert, form, {270, 212, 75, 25}, "Convert"},
      {"btnStop", Form->btnStop, form, {353, 212, 75, 25}, "Stop"},
      {"pbConversion", Form->pbConversion, form, {11, 250, 417, 10}, {}},
      {"StatusBar", Form->StatusBar, form, {0, 268, 442, 19}, {}},
  };
  for (const TPlace &p : places) {
    ASSERT_NE(p.Control, nullptr) << p.Name;
    EXPECT_EQ(p.Control->parentWidget(), p.Parent) << p.Name;
    EXPECT_EQ(p.Control->pos(), p.Place.topLeft()) << p.Name;
    if (!p.Place.size().isEmpty()) EXPECT_EQ(p.Control->size(), p.Place.size()) << p.Name;
    if (auto *label = qobject_cast<QLabel *>(p.Control)) EXPECT_EQ(label->text(), p.Text) << p.Name;
    if (auto *button = qobject_cast<QPushButton *>(p.Control)) EXPECT_EQ(button->text(), p.Text) << p.Name;
  }
  const std::vector<std::string> tabOrder = {"edFileInput", "btnOpenInput", "edFileOutput", "btnOpenOutput",
                                             "cbFormats",   "btnConvert",   "btnStop"};
  auto nameOf = [&places](QWidget *AWidget) -> std::string {
    for (const TPlace &p : places)
      if (p.Control == AWidget) return p.Name;
    return {};
  };
  std::vector<std::string> chain;
  QWidget *w = Form->edFileInput;
  do {
    if (std::find(tabOrder.begin(), tabOrder.end(), nameOf(w)) != tabOrder.end()) chain.push_back(nameOf(w));
    w = w->nextInFocusChain();
  } while (w != Form->edFileInput);
  EXPECT_EQ(chain, tabOrder);
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

  // Dropping: only FLV files are accepted, the others are said to be
  // ignored; several FLV files make a queue, headed by the first.
  const auto dropped = Media("drop.flv");
  qvtest::WriteFile(Dir.File("notes.txt"), "x");
  EXPECT_FALSE(Drag({Dir.File("notes.txt")}));
  EXPECT_EQ(Form->edFileInput->text().toStdString(), in);
  EXPECT_TRUE(Drag({dropped}));
  EXPECT_EQ(Output(), Dir.File("drop_(new).mp4"));
  EXPECT_TRUE(Form->btnConvert->isEnabled());
  const QString size = Panel(1);
  EXPECT_TRUE(size.startsWith("Expected size: ~ ")) << size.toStdString();
  EXPECT_TRUE(Drag({Dir.File("notes.txt"), dropped}));
  EXPECT_EQ(Panel(1), size + "; 1 other file ignored");
  EXPECT_TRUE(Form->Queue().empty());
  EXPECT_TRUE(Drag({Dir.File("notes.txt"), in, dropped}));
  EXPECT_EQ(Form->edFileInput->text().toStdString(), in);
  EXPECT_EQ(Output(), Dir.File("clip_(new_1).mp4"));
  EXPECT_EQ(Form->Queue().size(), 2u);
  EXPECT_TRUE(Panel(1).startsWith("2 files queued. Expected size: ~ ")) << Panel(1).toStdString();
  EXPECT_TRUE(Panel(1).endsWith("; 1 other file ignored")) << Panel(1).toStdString();
  EXPECT_EQ(Form->Strix->TaskCount(), 0);  // each file is opened in its turn
  EXPECT_TRUE(Drag({dropped, in}));
  EXPECT_EQ(Form->edFileInput->text().toStdString(), dropped);
  EXPECT_TRUE(Panel(1).startsWith("2 files queued. Expected size: ~ ")) << Panel(1).toStdString();
  EXPECT_TRUE(Form->btnConvert->isEnabled());
  EXPECT_TRUE(Messages.empty());
  // Picking one file again leaves the queue.
  Pick(in);
  EXPECT_TRUE(Form->Queue().empty());
  EXPECT_EQ(Form->Strix->TaskCount(), 1);
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
  EXPECT_EQ(Form->pbConversion->value(), 100);
  EXPECT_TRUE(Panel(1).startsWith("Output file size: "));
  EXPECT_FALSE(Form->btnConvert->isEnabled());  // nothing to convert until a new pick
  EXPECT_FALSE(Form->btnStop->isEnabled());
  EXPECT_EQ(Form->Strix->TaskCount(), 0);
  // The run's elapsed time stays until the next run; no time is left.
  EXPECT_TRUE(Form->lbElapsedTime->text().startsWith("Elapsed time: 00:00:")) << Form->lbElapsedTime->text().toStdString();
  EXPECT_EQ(Form->lbEstimatedTime->text(), "Estimated time:");
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
  EXPECT_EQ(Form->lbElapsedTime->text(), "Elapsed time:");  // the next run starts afresh
  ASSERT_TRUE(WaitForRunEnd());
  EXPECT_EQ(Panel(0), "Status: Done");
  EXPECT_EQ(qvtest::ReadFile(Dir.File("clip_(new).mp4")), written);
  EXPECT_EQ(Stream("clip_(new_1).mp4").Width, 176);
  EXPECT_TRUE(Messages.empty());
}

TEST_F(WindowTest, StopMidwayLeavesAShorterPlayableFile) {
  StartLong();
  ASSERT_LT(Form->pbConversion->value(), 100);
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

// Closing asks first while a conversion runs; "no" keeps it running, "yes"
// stops it properly and the file plays.
TEST_F(WindowTest, ClosingWhileConvertingAsksThenStopsTheRun) {
  Show();
  Form->close();  // idle: no question
  EXPECT_TRUE(Questions.empty());
  Make(Dir.File("formats.ini"));
  Show();
  StartLong();
  Answer = false;
  EXPECT_FALSE(Form->close());
  ASSERT_EQ(Questions.size(), 1u);
  EXPECT_EQ(Questions[0], "A conversion is running. Stop it and quit?");
  EXPECT_TRUE(Form->isVisible());
  EXPECT_TRUE(Form->btnStop->isEnabled());
  EXPECT_EQ(Panel(0), "Status: Converting...");
  Answer = true;
  EXPECT_TRUE(Form->close());
  EXPECT_EQ(Questions.size(), 2u);
  Form.reset();
  const auto v = Stream("long_(new).mp4");
  EXPECT_GT(v.Packets, 0);
  EXPECT_LT(v.Duration, 55.0);
}

// Enter presses Convert wherever the focus is (but on a changed input box),
// Escape presses Stop while converting; a window that is stopping closes
// without asking.
TEST_F(WindowTest, EnterConvertsAndEscapeStops) {
  Show();
  Pick(Media("long.flv", 60.0));
  Form->Strix->SetProgressInterval(100);
  QTest::keyClick(Form->btnStop, Qt::Key_Escape);  // nothing runs: nothing happens
  EXPECT_EQ(Panel(0), "Status: Ready");
  Form->cbFormats->setFocus();
  QTest::keyClick(Form->cbFormats, Qt::Key_Return);
  EXPECT_EQ(Panel(0), "Status: Converting...");
  ASSERT_TRUE(QTest::qWaitFor([this] { return Form->pbConversion->value() > 0; }, 60000));
  QTest::keyClick(QApplication::focusWidget() ? QApplication::focusWidget() : Form.get(), Qt::Key_Escape);
  EXPECT_FALSE(Form->btnStop->isEnabled());
  EXPECT_TRUE(Form->close());
  EXPECT_TRUE(Questions.empty());
  Form.reset();
  EXPECT_GT(Stream("long_(new).mp4").Packets, 0);
}

TEST_F(WindowTest, ProgressSetsBarPercentageSizeAndTimes) {
  Progress(30000, 1024, 120000);
  EXPECT_EQ(Form->pbConversion->value(), 25);
  EXPECT_EQ(Panel(2), "25%");
  EXPECT_EQ(Form->CurrentCount, 30000);
  int32_t total = -1;
  Form->EstTimerGetTotalCount(Form->EstTimer, total);
  EXPECT_EQ(total, 120000);
  // A tick: the elapsed time, then the projected total, shown as the time left.
  const double second = 1.0 / 86400;
  Form->EstTimerDisplayElapsedTime(Form->EstTimer, 30 * second);
  Form->EstTimerDisplayEstTime(Form->EstTimer, 120 * second);
  EXPECT_EQ(Form->lbElapsedTime->text(), "Elapsed time: 00:00:30");
  EXPECT_EQ(Form->lbEstimatedTime->text(), "Estimated time: 00:01:30");
  Form->EstTimerDisplayEstTime(Form->EstTimer, 25.0 / 24 + 30 * second);
  EXPECT_EQ(Form->lbEstimatedTime->text(), "Estimated time: 01:00:00");
  Form->EstTimerDisplayEstTime(Form->EstTimer, 0);  // nothing done yet: no figure
  EXPECT_EQ(Form->lbEstimatedTime->text(), "Estimated time:");
  Form->EstTimerDisplayEstTime(Form->EstTimer, 20 * second);  // ahead of the projection
  EXPECT_EQ(Form->lbEstimatedTime->text(), "Estimated time: 00:00:00");

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
  EXPECT_EQ(Form->pbConversion->value(), 50);
  // Regression: an unknown (0 or negative) total keeps the bar at 0.
  for (int badTotal : {0, -40}) {
    Progress(5000, 10, badTotal);
    EXPECT_EQ(Form->pbConversion->value(), 0);
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

  // The links open the user guide beside the program with the desktop's
  // opener; without an opener the user is told where the guide is.
  Messages.clear();
  QTest::mouseClick(Form->lbInformation, Qt::LeftButton);
  QTest::mouseClick(Form->imgArrow, Qt::LeftButton);
  ASSERT_EQ(Opened.size(), 2u);
  EXPECT_TRUE(Opened[0].isLocalFile());
  const QString guide = Opened[0].toLocalFile();
  EXPECT_EQ(guide, UserGuideFile(QCoreApplication::applicationDirPath()));
  EXPECT_TRUE(guide.endsWith("/share/doc/quenvaro/user-guide.html")) << guide.toStdString();
  EXPECT_TRUE(qvtest::ReadFile(guide.toStdString()).find("<html") != std::string::npos);
  EXPECT_TRUE(Messages.empty());
  OpenerWorks = false;
  QTest::mouseClick(Form->lbTo, Qt::LeftButton);
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_TRUE(Messages[0].Text.startsWith("No program to open the user guide was found."));
  EXPECT_TRUE(Messages[0].Text.contains(guide));
}

TEST(UserGuide, FoundInstalledOrBuiltAndNamedWhenMissing) {
  qvtest::TScratchDir dir;
  const QString root = QString::fromStdString(dir.Path());
  // The install rules' own places.
  const QString program = root + "/usr/" QV_INSTALLED_PROGRAM_DIR;
  const QString expected = root + "/usr/" QV_INSTALLED_GUIDE_DIR "/user-guide.html";
  QDir(root).mkpath("usr/" QV_INSTALLED_PROGRAM_DIR);
  QDir(root).mkpath("usr/" QV_INSTALLED_GUIDE_DIR);
  EXPECT_EQ(UserGuideFile(program), expected);  // missing: where it belongs
  qvtest::WriteFile(expected.toStdString(), "<html></html>");
  EXPECT_EQ(UserGuideFile(program), expected);
  // A build tree keeps it one level up from bin/.
  QDir(root).mkpath("build/bin");
  QDir(root).mkpath("build/share/doc/quenvaro");
  qvtest::WriteFile(dir.File("build/share/doc/quenvaro/user-guide.html"), "<html></html>");
  EXPECT_EQ(UserGuideFile(root + "/build/bin"), root + "/build/share/doc/quenvaro/user-guide.html");
}

// Regression: a failed open or output set-up must leave Convert disabled.
// A refused file leaves Convert disabled; the open button shows no message
// box but resets the status bar and says why in it (panel 1), whatever the
// previous run left there, with no "Ready" beside the reason.
TEST_F(WindowTest, RefusedFilesDisableConvertAndSayWhyInTheStatusBar) {
  const auto in = Media("clip.flv");
  Pick(in);
  ASSERT_TRUE(Form->btnConvert->isEnabled());
  // What a stopped run leaves.
  Progress(29000, 14870000, 100000);
  Form->StrixTerminate(-1, false, false, "");
  QCoreApplication::processEvents();
  ASSERT_EQ(Panel(0), "Status: Conversion stopped");

  qvtest::WriteFile(Dir.File("notes.flv"), "These are notes, not a video.\n");
  qvtest::WriteFile(Dir.File("empty.flv"), "");
  for (const char *name : {"notes.flv", "empty.flv"}) {
    Pick(Dir.File(name));
    EXPECT_FALSE(Form->btnConvert->isEnabled()) << name;
    EXPECT_EQ(Form->Strix->TaskCount(), 0) << name;
    EXPECT_EQ(Panel(0), "Status: Not ready") << name;
    EXPECT_EQ(Panel(2), "0%") << name;
    EXPECT_EQ(Panel(1).toStdString(), "File open error: " + Dir.File(name) + ": Unknown format") << name;
    EXPECT_EQ(Form->pbConversion->value(), 0);
  }
  EXPECT_TRUE(Messages.empty());  // the open button shows no box
  ASSERT_EQ(mkfifo(Dir.File("pipe.flv").c_str(), 0600), 0);  // opening it would wait for a writer
  Pick(Dir.File("pipe.flv"));
  EXPECT_EQ(Panel(1).toStdString(), "Input file '" + Dir.File("pipe.flv") + "' is not a regular file (a FIFO)");
  EXPECT_FALSE(Form->btnConvert->isEnabled());

  // An output the engine refuses (odd frame width): on picking it says why in
  // the status bar, on a preset change in a box; a good preset clears it.
  Pick(in);
  ASSERT_TRUE(Form->btnConvert->isEnabled());
  EXPECT_TRUE(Panel(1).startsWith("Expected size: ~ ")) << Panel(1).toStdString();
  Form->cbFormats->setCurrentIndex(2);
  Pick(in);
  EXPECT_FALSE(Form->btnConvert->isEnabled());
  EXPECT_EQ(Form->Strix->TaskCount(), 0);
  EXPECT_TRUE(Panel(1).startsWith("Cannot do convert, error: ")) << Panel(1).toStdString();
  EXPECT_TRUE(Messages.empty());
  ChoosePreset(0);
  ASSERT_TRUE(Form->btnConvert->isEnabled());
  EXPECT_TRUE(Panel(1).startsWith("Expected size: ~ ")) << Panel(1).toStdString();
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

// The task always belongs to the file the input box names: typing another
// name disables Convert until the task is configured from the box again, and
// the output name is always derived from the input it belongs to.
TEST_F(WindowTest, TheConvertedFileIsTheOneTheInputBoxNames) {
  Show();
  const auto first = Media("first.flv", 1.0);
  const auto other = Media("other.flv", 2.0, 176, 144);
  Pick(first);
  ASSERT_TRUE(Form->btnConvert->isEnabled());
  TypeIntoInputBox(other);
  EXPECT_FALSE(Form->btnConvert->isEnabled());
  TypeIntoInputBox(first);  // back to the configured name
  EXPECT_TRUE(Form->btnConvert->isEnabled());
  TypeIntoInputBox(other);
  ASSERT_FALSE(Form->btnConvert->isEnabled());
  // Enter configures the task from the box and converts nothing yet.
  QTest::keyClick(Form->edFileInput, Qt::Key_Return);
  EXPECT_EQ(Output(), Dir.File("other_(new).mp4"));
  EXPECT_TRUE(Form->btnConvert->isEnabled());
  EXPECT_EQ(Panel(0), "Status: Ready");
  // The second Enter converts, and what it converts is the named file.
  QTest::keyClick(Form->edFileInput, Qt::Key_Return);
  EXPECT_EQ(Panel(0), "Status: Converting...");
  EXPECT_TRUE(Form->edFileInput->isReadOnly());  // the box keeps naming the running file
  ASSERT_TRUE(WaitForRunEnd());
  EXPECT_FALSE(Form->edFileInput->isReadOnly());
  EXPECT_EQ(Panel(0), "Status: Done");
  EXPECT_NEAR(Stream("other_(new).mp4").Duration, 2.0, 0.3);
  EXPECT_FALSE(qvtest::FileExists(Dir.File("first_(new).mp4")));
  // Passing through the box without typing configures nothing.
  Form->edFileInput->setFocus();
  Form->cbFormats->setFocus();
  EXPECT_FALSE(Form->btnConvert->isEnabled());
  EXPECT_EQ(Output(), Dir.File("other_(new).mp4"));

  // Leaving the box configures it too; Convert itself never runs a stale task.
  Pick(first);
  TypeIntoInputBox(other);
  Form->cbFormats->setFocus();
  EXPECT_EQ(Output(), Dir.File("other_(new_1).mp4"));
  EXPECT_TRUE(Form->btnConvert->isEnabled());
  Pick(first);
  Form->edFileInput->setText(QString::fromStdString(other));  // not a user edit: no signal at all
  Form->btnConvertClick();
  EXPECT_EQ(Output(), Dir.File("other_(new_1).mp4"));
  ASSERT_TRUE(WaitForRunEnd());
  EXPECT_NEAR(Stream("other_(new_1).mp4").Duration, 2.0, 0.3);
  EXPECT_FALSE(qvtest::FileExists(Dir.File("first_(new).mp4")));

  // After a refused pick, a good name typed in and a preset change convert
  // that file under its own output name, never the refused file's.
  qvtest::WriteFile(Dir.File("refused.flv"), "not a video");
  Pick(Dir.File("refused.flv"));
  ASSERT_EQ(Output(), Dir.File("refused_(new).mp4"));
  TypeIntoInputBox(other);
  ChoosePreset(1);
  EXPECT_EQ(Output(), Dir.File("other_(new_2).mp4"));
  ASSERT_TRUE(Form->btnConvert->isEnabled());
  Form->btnConvertClick();
  ASSERT_TRUE(WaitForRunEnd());
  EXPECT_EQ(Panel(0), "Status: Done");
  EXPECT_FALSE(qvtest::FileExists(Dir.File("refused_(new).mp4")));
  EXPECT_TRUE(qvtest::FileExists(Dir.File("other_(new_2).mp4")));

  // An emptied box has no task.
  Pick(first);
  TypeIntoInputBox("");
  QTest::keyClick(Form->edFileInput, Qt::Key_Return);
  EXPECT_FALSE(Form->btnConvert->isEnabled());
  EXPECT_EQ(Output(), "");
  EXPECT_EQ(Form->Strix->TaskCount(), 0);
  EXPECT_TRUE(Messages.empty());
}

// The preset list is a drop-down list: typing cannot make up a preset, and
// keys that change the preset keep the focus in the list, so a following
// space opens the list instead of starting a conversion.
TEST_F(WindowTest, ThePresetListTakesNoTextAndKeepsTheFocus) {
  EXPECT_FALSE(Form->cbFormats->isEditable());
  Show();
  Pick(Media("clip.flv"));
  ASSERT_TRUE(Form->btnConvert->isEnabled());
  Form->cbFormats->setFocus();
  QTest::keyClick(Form->cbFormats, Qt::Key_Down);
  EXPECT_EQ(Form->cbFormats->currentIndex(), 1);
  EXPECT_EQ(Form->SelectedPreset(), &Presets[1]);
  EXPECT_TRUE(Form->cbFormats->hasFocus());
  EXPECT_TRUE(Form->btnConvert->isEnabled());
  QTest::keyClicks(Form->cbFormats, "zz zz");  // the space opens the list
  EXPECT_TRUE(Form->cbFormats->view()->isVisible());
  Form->cbFormats->hidePopup();
  QTest::keyClick(Form->cbFormats, Qt::Key_Up);
  EXPECT_EQ(Form->cbFormats->currentIndex(), 0);
  EXPECT_EQ(Form->cbFormats->count(), 3);
  EXPECT_EQ(Panel(0), "Status: Ready");
  EXPECT_FALSE(Form->btnStop->isEnabled());
  EXPECT_EQ(Form->edFileInput->text().toStdString(), Dir.File("clip.flv"));
  EXPECT_LE(qvtest::FileSize(Dir.File("clip_(new).mp4")), 0);  // configured, never written
}

// Regression: with no presets nothing is read outside them; the input's own
// size is kept.
TEST_F(WindowTest, WithoutPresetsTheInputSizeIsKept) {
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

// No text of the window is cut, with whatever font the desktop gives: every
// label is as large as its text and the status panels fit every status. A
// reason too long for its panel is elided in the middle, whole in its
// tooltip and on a click, and the window keeps its size.
TEST_F(WindowTest, NoTextIsCut) {
  Show();
  auto fits = [this](QLabel *ALabel) {
    if (ALabel->text().isEmpty() || !ALabel->isVisible()) return true;
    const QRect inside = ALabel->contentsRect();
    const QRect needed = ALabel->fontMetrics().boundingRect(inside, int(ALabel->alignment()), ALabel->text());
    const QRect inWindow(ALabel->mapTo(Form.get(), QPoint(0, 0)), ALabel->size());
    return needed.width() <= inside.width() && needed.height() <= inside.height() &&
           Form->rect().contains(inWindow);
  };
  for (QLabel *l : Form->findChildren<QLabel *>()) {
    if (dynamic_cast<TStatusPanel *>(l)) continue;
    EXPECT_TRUE(fits(l)) << l->text().toStdString();
  }
  Form->EstTimerDisplayElapsedTime(Form->EstTimer, 0.5);
  Form->EstTimerDisplayEstTime(Form->EstTimer, 0.9);
  EXPECT_TRUE(fits(Form->lbElapsedTime));
  EXPECT_TRUE(fits(Form->lbEstimatedTime));
  EXPECT_LE(Form->lbEstimatedTime->geometry().right(), Form->btnConvert->x());

  // Status panels: every status text on one line, side by side in the window.
  auto oneLine = [](TStatusPanel *APanel) {
    return APanel->WidthFor(APanel->text()) <= APanel->width() && !APanel->Elided() && APanel->toolTip().isEmpty();
  };
  const char *statuses[] = {"Status: Ready", "Status: Converting...", "Status: Conversion stopped", "Status: Done"};
  for (const char *status : statuses) {
    Form->StatusBar->SetPanelText(0, status);
    EXPECT_TRUE(oneLine(Form->StatusBar->Panel(0))) << status;
  }
  Form->StatusBar->SetPanelText(1, "Output file size:  1024.00 Kbytes");
  Form->StatusBar->SetPanelText(2, "100%");
  for (int i = 0; i < Form->StatusBar->PanelCount(); ++i) {
    EXPECT_TRUE(oneLine(Form->StatusBar->Panel(i))) << i;
    EXPECT_LE(Form->StatusBar->Panel(i)->geometry().right(), Form->StatusBar->width() - 1) << i;
  }
  EXPECT_EQ(Form->height(), 287);

  // A reason longer than the panel, with a long file name.
  const QString reason = "File open error: " + QString::fromStdString(Dir.File(std::string(120, 'n') + ".flv")) +
                         ": Unknown format";
  Form->StatusBar->SetPanelText(1, reason);
  TStatusPanel *panel = Form->StatusBar->Panel(1);
  EXPECT_TRUE(panel->Elided());
  EXPECT_EQ(panel->toolTip(), reason);
  const QString shown = panel->ShownText();
  EXPECT_TRUE(shown.startsWith("File open error: ")) << shown.toStdString();
  EXPECT_TRUE(shown.endsWith(": Unknown format")) << shown.toStdString();
  EXPECT_TRUE(shown.contains(QChar(0x2026)));
  EXPECT_LE(panel->fontMetrics().horizontalAdvance(shown), panel->contentsRect().width());
  EXPECT_EQ(Form->height(), 287);
  EXPECT_EQ(Form->StatusBar->geometry().bottom(), Form->height() - 1);
  QTest::mouseClick(panel, Qt::LeftButton);  // the whole text on a click
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Messages[0].Text, reason);
  Form->StatusBar->SetPanelText(1, "");
  EXPECT_TRUE(panel->toolTip().isEmpty());
  QTest::mouseClick(panel, Qt::LeftButton);  // a text that fits: nothing more to show
  EXPECT_EQ(Messages.size(), 1u);
  EXPECT_EQ(Form->height(), 287);
}

// The open dialog leaves nothing on screen: a completion list still open when
// the dialog is accepted would keep the grab and swallow the next click.
TEST_F(WindowTest, ThePickedFileDialogLeavesNoPopupBehind) {
  Show();
  const auto in = Media("clip.flv");
  QPointer<QFileDialog> dialog;
  Form->ExecuteOpenDialog = [&](QFileDialog &ADialog) {
    dialog = &ADialog;
    ADialog.show();
    auto *edit = ADialog.findChild<QLineEdit *>("fileNameEdit");
    EXPECT_TRUE(edit && edit->completer());
    if (edit && edit->completer()) edit->completer()->popup()->show();
    static_cast<QDialog &>(ADialog).done(QDialog::Accepted);
    return QStringList{QString::fromStdString(in)};
  };
  Form->btnOpenInputClick();
  EXPECT_EQ(Form->edFileInput->text().toStdString(), in);
  for (QWidget *w : QApplication::topLevelWidgets())
    EXPECT_FALSE(w->isVisible() && w->windowType() == Qt::Popup) << w->metaObject()->className();
  EXPECT_EQ(QApplication::activePopupWidget(), nullptr);
  EXPECT_TRUE(dialog.isNull());
  // The next dialog starts where the last pick was made.
  Form->ExecuteOpenDialog = [&](QFileDialog &ADialog) {
    EXPECT_EQ(ADialog.directory().absolutePath().toStdString(), Dir.Path());
    EXPECT_EQ(ADialog.fileMode(), QFileDialog::ExistingFiles);  // several make a queue
    return QStringList();
  };
  Form->btnOpenInputClick();
}

// A picked file with problems says so in one line (here the cut tail, and
// onMetaData's duration and size that promise more), its details one click
// away; its conversion ends done, saying the input ended early.
TEST_F(WindowTest, ACutFileSaysWhatIsWrongAndEndsDoneButEarly) {
  Show();
  const std::string whole = Media("whole.flv", 3.0), bytes = qvtest::ReadFile(whole), cut = Dir.File("cut.flv");
  qvtest::WriteFile(cut, bytes.substr(0, bytes.size() * 4 / 10));
  Pick(cut);
  ASSERT_TRUE(Form->lbFindings->isVisible());
  EXPECT_EQ(Form->lbFindings->text(), "3 problems found: some data will be lost");
  EXPECT_LE(Form->lbFindings->geometry().right(), Form->btnOpenInput->geometry().right());
  QTest::mouseClick(Form->lbFindings, Qt::LeftButton);
  ASSERT_EQ(Messages.size(), 1u);
  EXPECT_TRUE(Messages[0].Text.contains("error truncated-tail, byte ")) << Messages[0].Text.toStdString();
  Form->btnConvertClick();
  ASSERT_TRUE(WaitForRunEnd());
  EXPECT_EQ(Panel(0), "Status: Done, but the input ended early at 0:01 of 0:03");
  EXPECT_EQ(Form->pbConversion->value(), 100);
  Pick(whole);  // the next file has no problem, and says nothing
  EXPECT_FALSE(Form->lbFindings->isVisible());
}
