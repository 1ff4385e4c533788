// The window through a real session's needs: where the output goes (a save
// dialog, a folder for a queue, a folder that cannot be written to), files
// named on the command line, the entry chosen for a file and kept between
// sessions, state that follows the run, the visible queue, and help.
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QAction>
#include <QDir>
#include <QFileInfo>
#include <QImage>
#include <QTreeWidget>

#include "WindowFixture.h"

using windowtest::WindowTest;

namespace {

// A folder whose files can be read but to which nothing can be written, even
// by root: a read-only bind mount of a folder of its own (as root), or a
// folder without write permission (as anyone else).
class TReadOnlyFolder {
 public:
  TReadOnlyFolder(const std::string &APath, const std::string &ASource) : FPath(APath) {
    mkdir(APath.c_str(), 0755);
    if (geteuid() != 0) {
      FReady = chmod(APath.c_str(), 0555) == 0;
      return;
    }
    FMounted = mount(ASource.c_str(), APath.c_str(), nullptr, MS_BIND, nullptr) == 0;
    FReady = FMounted && mount(nullptr, APath.c_str(), nullptr, MS_BIND | MS_REMOUNT | MS_RDONLY, nullptr) == 0;
  }
  ~TReadOnlyFolder() {
    if (FMounted) umount2(FPath.c_str(), MNT_DETACH);
    else chmod(FPath.c_str(), 0755);
  }
  // Whether writing there really fails.
  bool Ready() const { return FReady && access(FPath.c_str(), W_OK) != 0; }

 private:
  std::string FPath;
  bool FMounted = false, FReady = false;
};

std::string MakeH264(const qvtest::TScratchDir &ADir, const std::string &AName, double ASeconds = 1.0) {
  qvtest::TGenOptions o;
  o.Seconds = ASeconds;
  qvtest::MakeMedia(ADir.File(AName), o);
  return ADir.File(AName);
}

// What the window's save or folder dialog was set up with.
struct TDialogSeen {
  QFileDialog::AcceptMode Mode = QFileDialog::AcceptOpen;
  QFileDialog::FileMode Files = QFileDialog::AnyFile;
  QString Directory, Selected, Filter, Suffix;
  bool ConfirmsOverwrite = false;
};

}  // namespace

class WindowSessionTest : public WindowTest {
 protected:
  void SetUp() override {
    WindowTest::SetUp();
    MakeSaveDialogRecorder();
  }
  // The next dialog of the output's "..." returns NextSave (cancelled when empty).
  void MakeSaveDialogRecorder() {
    Form->ExecuteSaveDialog = [this](QFileDialog &ADialog) {
      TDialogSeen seen;
      seen.Mode = ADialog.acceptMode();
      seen.Files = ADialog.fileMode();
      seen.Directory = ADialog.directory().absolutePath();
      seen.Selected = ADialog.selectedFiles().value(0);
      seen.Filter = ADialog.nameFilters().join(";");
      seen.Suffix = ADialog.defaultSuffix();
      seen.ConfirmsOverwrite = !ADialog.testOption(QFileDialog::DontConfirmOverwrite);
      Dialogs.push_back(seen);
      return NextSave.isEmpty() ? QStringList() : QStringList{NextSave};
    };
  }
  void NewSession() {
    Make(Dir.File("formats.ini"));
    MakeSaveDialogRecorder();
  }
  void ChooseOutput(const std::string &APath) {
    NextSave = QString::fromStdString(APath);
    Form->btnOpenOutputClick();
  }

  QString NextSave;
  std::vector<TDialogSeen> Dialogs;
};

// One file: a save dialog at the derived name, the chosen name used as it
// is, kept through a preset change, and left alone once its run has written
// it. Several files: a folder for all of them. The input itself is refused.
TEST_F(WindowSessionTest, TheOutputGoesWhereTheUserChoosesIt) {
  Show();
  const auto in = Media("clip.flv");
  QDir(QString::fromStdString(Dir.Path())).mkdir("out");
  Pick(in);
  ChooseOutput(Dir.File("out/mine.mp4"));
  ASSERT_EQ(Dialogs.size(), 1u);
  EXPECT_EQ(Dialogs[0].Mode, QFileDialog::AcceptSave);
  EXPECT_EQ(Dialogs[0].Selected.toStdString(), Dir.File("clip_(new).mp4"));
  EXPECT_EQ(Dialogs[0].Filter, "MP4 Files (*.mp4 *.MP4)");
  EXPECT_EQ(Dialogs[0].Suffix, "mp4");
  EXPECT_TRUE(Dialogs[0].ConfirmsOverwrite);
  EXPECT_EQ(Output(), Dir.File("out/mine.mp4"));
  ASSERT_TRUE(Form->btnConvert->isEnabled());
  ChoosePreset(1);  // the chosen name holds
  EXPECT_EQ(Output(), Dir.File("out/mine.mp4"));
  Form->btnConvertClick();
  EXPECT_FALSE(Form->btnOpenOutput->isEnabled());
  ASSERT_TRUE(WaitForRunEnd());
  EXPECT_TRUE(Form->btnOpenOutput->isEnabled());
  EXPECT_EQ(Panel(0), "Status: Done");
  EXPECT_EQ(Stream("out/mine.mp4").Width, 176);
  EXPECT_FALSE(qvtest::FileExists(Dir.File("clip_(new).mp4")));
  // Its result is not converted over: a fresh name in the chosen folder.
  const std::string written = qvtest::ReadFile(Dir.File("out/mine.mp4"));
  ChoosePreset(0);
  EXPECT_EQ(Output(), Dir.File("out/clip_(new).mp4"));
  EXPECT_EQ(qvtest::ReadFile(Dir.File("out/mine.mp4")), written);
  ChooseOutput(in);  // the input itself is no output
  EXPECT_FALSE(Form->btnConvert->isEnabled());
  EXPECT_EQ(Panel(1), "The output cannot be the input file itself: choose another name");
  EXPECT_EQ(Panel(0), "Status: Not ready");

  // A queue: a folder, each file's output there under its derived name.
  const auto second = Media("second.flv");
  PickSeveral({in, second});
  ChooseOutput(Dir.File("out"));
  EXPECT_EQ(Dialogs.back().Files, QFileDialog::Directory);
  EXPECT_EQ(Form->QueueFolder().toStdString(), Dir.File("out"));
  EXPECT_EQ(Output(), Dir.File("out/clip_(new).mp4"));
  ASSERT_TRUE(Form->btnConvert->isEnabled());
  Form->btnConvertClick();
  ASSERT_TRUE(WaitForRunEnd());
  EXPECT_EQ(Panel(0), "Status: Done");
  for (const char *name : {"out/clip_(new).mp4", "out/second_(new).mp4"}) EXPECT_GT(Stream(name).Packets, 0) << name;
  EXPECT_FALSE(qvtest::FileExists(Dir.File("second_(new).mp4")));
}

// A file in a folder that cannot be written to: the status bar says why, on
// a pick and on a preset change, and the output's button has the focus;
// the next session's dialog starts in the folder chosen; a queue from there
// needs a folder.
TEST_F(WindowSessionTest, AReadOnlyFolderIsSaidAndTheOutputGoesElsewhere) {
  Show();
  QDir(QString::fromStdString(Dir.Path())).mkpath("src");
  QDir(QString::fromStdString(Dir.Path())).mkpath("saved");
  qvtest::TGenOptions o;
  o.VideoCodec = "flv", o.Seconds = 1.0;
  qvtest::MakeMedia(Dir.File("src/ro.flv"), o);
  TReadOnlyFolder folder(Dir.File("disc"), Dir.File("src"));
  if (!folder.Ready()) GTEST_SKIP() << "no read-only folder can be made here";
  const std::string in = Dir.File("disc/ro.flv");
  const QString reason = "The folder " + QString::fromStdString(Dir.File("disc")) +
                         " is read-only: choose where to save the output with \"...\"";

  Pick(in);
  EXPECT_EQ(Panel(1), reason);
  EXPECT_EQ(Panel(0), "Status: Not ready");
  EXPECT_FALSE(Form->btnConvert->isEnabled());
  EXPECT_TRUE(Form->btnOpenOutput->hasFocus());
  EXPECT_EQ(Form->Strix->TaskCount(), 0);
  ChoosePreset(1);  // a preset change says the same, in the status bar
  EXPECT_EQ(Panel(1), reason);
  EXPECT_TRUE(Messages.empty());

  ChooseOutput(Dir.File("saved/ro.mp4"));
  EXPECT_EQ(Panel(0), "Status: Ready");
  EXPECT_TRUE(Panel(1).startsWith("Expected size: ~ ")) << Panel(1).toStdString();
  EXPECT_TRUE(Form->btnConvert->isEnabled());

  // The next session remembers the folder: the dialog starts there, at a free name.
  NewSession();
  Pick(in);
  EXPECT_EQ(Panel(1), reason);
  ChooseOutput("");
  EXPECT_EQ(Dialogs.back().Directory.toStdString(), Dir.File("saved"));
  EXPECT_EQ(Dialogs.back().Selected.toStdString(), Dir.File("saved/ro_(new).mp4"));

  // A queue from there: no Convert until a folder is chosen.
  PickSeveral({in, Media("other.flv")});
  EXPECT_EQ(Panel(1), reason);
  EXPECT_FALSE(Form->btnConvert->isEnabled());
  ChooseOutput(Dir.File("saved"));
  EXPECT_TRUE(Panel(1).startsWith("2 files queued. Expected size: ~ ")) << Panel(1).toStdString();
  EXPECT_TRUE(Form->btnConvert->isEnabled());
}

// Names given on the command line, as a file manager's "Open with" gives
// them: one is picked, several make a queue, what is no file is said.
TEST_F(WindowSessionTest, FilesNamedOnTheCommandLineArePicked) {
  const auto a = Media("a.flv"), b = Media("b.flv");
  const std::string missing = Dir.File("gone.flv");
  struct TCase {
    std::vector<std::string> Names;
    std::string Input;  // what the input box names afterwards
    size_t Queued;
    QString Status, Panel1Start;
  };
  const TCase cases[] = {
      {{a}, a, 0, "Status: Ready", "Expected size: ~ "},
      {{b, a, b}, b, 2, "Status: Ready", "2 files queued. Expected size: ~ "},
      {{missing, a}, a, 0, "Status: Ready", "Expected size: ~ "},
      {{missing}, "", 0, "Status: Not ready", "File not found: " + QString::fromStdString(missing)},
  };
  for (const TCase &c : cases) {
    Make(Dir.File("formats.ini"));
    QStringList names;
    for (const auto &n : c.Names) names.push_back(QString::fromStdString(n));
    Form->OpenFiles(names);
    const std::string label = names.join(" ").toStdString();
    EXPECT_EQ(Form->edFileInput->text().toStdString(), c.Input) << label;
    EXPECT_EQ(Form->Queue().size(), c.Queued) << label;
    EXPECT_EQ(Form->QueueView->isVisible(), c.Queued > 0) << label;
    EXPECT_EQ(Panel(0), c.Status) << label;
    EXPECT_TRUE(Panel(1).startsWith(c.Panel1Start)) << label << ": " << Panel(1).toStdString();
    EXPECT_EQ(Form->btnConvert->isEnabled(), !c.Input.empty()) << label;
  }
  EXPECT_TRUE(Messages.empty());
}

// The rewrap is chosen for a file that allows it until the user converts
// such a file with a preset; the preset last converted with is chosen at
// start and wherever the rewrap does not count. Both outlive the session.
TEST_F(WindowSessionTest, TheEntryChosenForAFileFollowsTheLastConversion) {
  const auto h264 = MakeH264(Dir, "h264.flv"), old = Media("old.flv");
  Pick(h264);
  EXPECT_EQ(Form->SelectedRewrap(), rkCopyAll);
  ChoosePreset(2);  // Tiny, over the rewrap
  Form->btnConvertClick();
  ASSERT_TRUE(WaitForRunEnd());

  struct TStep {
    std::string File;
    int Preset;  // the preset chosen; -1: the rewrap
  };
  NewSession();
  EXPECT_EQ(Form->SelectedPreset(), &Presets[1]);  // at start
  for (const TStep &step : {TStep{h264, 1}, TStep{old, 1}, TStep{h264, 1}}) {
    Pick(step.File);
    EXPECT_EQ(Form->SelectedPreset(), &Presets[static_cast<size_t>(step.Preset)]) << step.File;
  }
  ChoosePreset(0);  // the rewrap again
  Form->btnConvertClick();
  ASSERT_TRUE(WaitForRunEnd());
  NewSession();
  for (const TStep &step : {TStep{h264, -1}, TStep{old, 1}, TStep{h264, -1}}) {
    Pick(step.File);
    if (step.Preset < 0)
      EXPECT_EQ(Form->SelectedRewrap(), rkCopyAll) << step.File;
    else
      EXPECT_EQ(Form->SelectedPreset(), &Presets[static_cast<size_t>(step.Preset)]) << step.File;
  }
  // Several files that all allow it: the rewrap too.
  PickSeveral({h264, MakeH264(Dir, "more.flv")});
  EXPECT_EQ(Form->SelectedRewrap(), rkCopyAll);
  EXPECT_TRUE(Messages.size() <= 1u);
}

// A new pick starts clean: no times or sizes of the last run, no "Ready"
// beside a reason; the input box looks read-only while it cannot be edited.
TEST_F(WindowSessionTest, TheWindowShowsOnlyWhatBelongsToTheCurrentFile) {
  Show();
  const auto in = Media("clip.flv", 2.0);
  const QColor editable = Form->edFileInput->palette().color(QPalette::Base);
  EXPECT_EQ(Form->edFileOutput->palette().color(QPalette::Base), Form->palette().color(QPalette::Window));
  Pick(in);
  Form->btnConvertClick();
  EXPECT_TRUE(Form->edFileInput->isReadOnly());
  EXPECT_EQ(Form->edFileInput->palette().color(QPalette::Base), Form->palette().color(QPalette::Window));
  EXPECT_NE(Form->edFileInput->palette().color(QPalette::Base), editable);
  Form->EstTimerDisplayElapsedTime(Form->EstTimer, 3.0 / 86400);
  ASSERT_TRUE(WaitForRunEnd());
  EXPECT_EQ(Form->edFileInput->palette().color(QPalette::Base), editable);
  ASSERT_TRUE(Form->lbElapsedTime->text().startsWith("Elapsed time: 0"));
  ASSERT_TRUE(Panel(1).startsWith("Output file size: "));

  Pick(in);
  EXPECT_EQ(Form->lbElapsedTime->text(), "Elapsed time:");
  EXPECT_EQ(Form->lbEstimatedTime->text(), "Estimated time:");
  EXPECT_EQ(Form->CurrentCount, 0);
  EXPECT_EQ(Form->TotalCount, 0);
  EXPECT_TRUE(Panel(1).startsWith("Expected size: ~ ")) << Panel(1).toStdString();
  EXPECT_EQ(Panel(0), "Status: Ready");
  qvtest::WriteFile(Dir.File("bad.flv"), "not a video");
  Pick(Dir.File("bad.flv"));
  EXPECT_EQ(Panel(0), "Status: Not ready");
  Pick(in);
  EXPECT_EQ(Panel(0), "Status: Ready");

  // A long name is elided in the box, whole in its tooltip.
  EXPECT_EQ(Form->edFileInput->ShownToolTip(), "Double click to get information about file");
  const std::string deep = Dir.File(std::string(60, 'd') + "/" + std::string(60, 'n') + ".flv");
  QDir(QString::fromStdString(Dir.Path())).mkdir(QString(60, 'd'));
  QFile::copy(QString::fromStdString(in), QString::fromStdString(deep));
  Pick(deep);
  EXPECT_TRUE(Form->edFileOutput->Elided());
  EXPECT_EQ(Form->edFileInput->ShownToolTip().toStdString(), "Double click to get information about file\n" + deep);

  // The times' colons stand one above the other.
  const QFontMetrics fm(Form->lbElapsedTime->font());
  EXPECT_NEAR(Form->lbElapsedTime->x() + fm.horizontalAdvance("Elapsed time:"),
              Form->lbEstimatedTime->x() + fm.horizontalAdvance("Estimated time:"), 1);
  EXPECT_EQ(Form->size(), QSize(442, 287));
}

// Several files are listed with their state and size and the total; an
// unreadable one is marked before Convert. At the end the list tells what
// became of each and the status bar the size of all that was written.
TEST_F(WindowSessionTest, AQueueIsListedWithItsFilesStatesAndSizes) {
  Show();
  const auto a = Media("a.flv"), c = Media("c.flv");
  const auto b = Dir.File("b.flv");
  qvtest::WriteFile(b, "Not a video at all.\n");
  PickSeveral({a, b, c});
  ASSERT_TRUE(Form->QueueView->isVisible());
  EXPECT_FALSE(Form->QueueView->isActiveWindow());
  QTreeWidget *list = Form->QueueView->List;
  auto row = [list](int AIndex) {
    const QTreeWidgetItem *item = list->topLevelItem(AIndex);
    return item ? QStringList{item->text(0), item->text(1), item->text(2)} : QStringList();
  };
  ASSERT_EQ(list->topLevelItemCount(), 3);
  EXPECT_EQ(row(1), QStringList({"b.flv", "Cannot be read", ""}));
  EXPECT_EQ(list->topLevelItem(1)->toolTip(0), "Unknown format");
  EXPECT_EQ(list->topLevelItem(1)->foreground(0).color(), QColor(Qt::red));
  for (int i : {0, 2}) {
    EXPECT_EQ(row(i).value(1), "Waiting") << i;
    EXPECT_TRUE(row(i).value(2).startsWith("~ ")) << row(i).join("|").toStdString();
  }
  EXPECT_TRUE(Form->QueueView->Total->text().startsWith("Total expected size: ~ "));
  EXPECT_TRUE(Panel(1).startsWith("3 files queued. Expected size: ~ ")) << Panel(1).toStdString();
  EXPECT_TRUE(Panel(1).endsWith("; 1 cannot be read")) << Panel(1).toStdString();

  Form->btnConvertClick();
  ASSERT_TRUE(WaitForRunEnd());
  EXPECT_EQ(row(0).mid(0, 2), QStringList({"a.flv", "Done"}));
  EXPECT_EQ(row(1).mid(0, 2), QStringList({"b.flv", "Failed"}));
  EXPECT_EQ(list->topLevelItem(1)->toolTip(1), "File open error: Unknown format");
  EXPECT_EQ(row(2).mid(0, 2), QStringList({"c.flv", "Done"}));
  const int64_t all = qvtest::FileSize(Dir.File("a_(new).mp4")) + qvtest::FileSize(Dir.File("c_(new).mp4"));
  EXPECT_EQ(Panel(1), "Output file size: " + QString::fromStdString(SizeText(all)).trimmed() + " in all");
  EXPECT_TRUE(Form->QueueView->isVisible());  // until the next pick
  Pick(a);
  EXPECT_FALSE(Form->QueueView->isVisible());
}

// Ctrl+O opens the open dialog, Ctrl+Q closes; About names the versions and
// licences; Convert shows a ring while it has the focus.
TEST_F(WindowSessionTest, AboutKeysAndTheFocusRing) {
  Show();
  const QString about = Form->AboutText();
  for (const QString &part : {QString("Quenvaro ver.") + QString::fromStdString(FileVersionText()),
                              QString("libavutil 57."), QString("libavcodec 59."), QString("libavformat 59."),
                              QString("libswscale 6."), QString("Licence: "), QString("Their licence: "),
                              QString("Qt ") + qVersion()})
    EXPECT_TRUE(about.contains(part)) << part.toStdString() << " in " << about.toStdString();
  QStringList actions;
  for (QAction *a : Form->actions()) actions.push_back(a->text());
  EXPECT_TRUE(actions.contains("About Quenvaro")) << actions.join("|").toStdString();
  EXPECT_EQ(Form->contextMenuPolicy(), Qt::ActionsContextMenu);

  int dialogs = 0;
  Form->ExecuteOpenDialog = [&](QFileDialog &) {
    ++dialogs;
    return NextPick;
  };
  NextPick.clear();
  QTest::keyClick(Form.get(), Qt::Key_O, Qt::ControlModifier);
  EXPECT_EQ(dialogs, 1);

  // The ring: highlight-coloured pixels only while Convert has the focus.
  Pick(Media("clip.flv"));
  ASSERT_TRUE(Form->btnConvert->isEnabled());
  auto highlighted = [this] {
    const QImage image = Form->btnConvert->grab().toImage();
    const QColor ring = Form->btnConvert->palette().color(QPalette::Active, QPalette::Highlight);
    int n = 0;
    for (int y = 0; y < image.height(); ++y)
      for (int x = 0; x < image.width(); ++x) n += image.pixelColor(x, y) == ring;
    return n;
  };
  Form->btnConvert->setFocus();
  const int focused = highlighted();
  Form->cbFormats->setFocus();
  const int unfocused = highlighted();
  EXPECT_GT(focused, unfocused + 2 * (Form->btnConvert->width() - 8)) << focused << " vs " << unfocused;

  QTest::keyClick(Form.get(), Qt::Key_Q, Qt::ControlModifier);
  EXPECT_FALSE(Form->isVisible());
  EXPECT_TRUE(Messages.empty());
}
