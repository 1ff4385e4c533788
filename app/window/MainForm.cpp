// TfrmMain: its construction, the context menu's actions, closing and
// quitting, and the keys and clicks the window itself handles (see Main.h).
#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QKeyEvent>
#include <QMessageBox>
#include <QMouseEvent>
#include <QScreen>
#include <QUrl>

#include "AVProbe.h"
#include "FormCommon.h"
#include "Main.h"

using namespace qvwindow;

TfrmMain::TfrmMain(const std::string &APresetFile, const std::string &ALibraryFolder, const QString &ASettingsFile)
    : QWidget(nullptr,
              Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                  Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      WindowThread(std::make_unique<TQtWindowThread>()),
      Strix(std::make_unique<TStrix>(*WindowThread)),
      FPresetFile(APresetFile),
      FLibraryFolder(ALibraryFolder.empty() ? ToStd(QCoreApplication::applicationDirPath() + "/LibAV")
                                            : ALibraryFolder) {
  Desktop = std::make_unique<TDesktopSession>();
  Settings = ASettingsFile.isEmpty() ? std::make_unique<QSettings>(QStringLiteral("Quenvaro"), QStringLiteral("Quenvaro"))
                                     : std::make_unique<QSettings>(ASettingsFile, QSettings::IniFormat);
  ExecuteOpenDialog = [](QFileDialog &ADialog) -> QStringList {
    if (ADialog.exec() != QDialog::Accepted) return {};
    return ADialog.selectedFiles();
  };
  ExecuteSaveDialog = ExecuteOpenDialog;
  ShowMessageBox = [this](const QString &AText, const QString &ACaption, TMessageIcon AIcon) {
    QMessageBox box(AIcon == miExclamation ? QMessageBox::Warning : QMessageBox::NoIcon, ACaption, AText,
                    QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
  };
  AskYesNo = [this](const QString &AQuestion) { return AskQuestion(AQuestion); };
  OpenUrl = [](const QUrl &AUrl) { return QDesktopServices::openUrl(AUrl); };
  ExitProgram = [](int ACode) { QCoreApplication::exit(ACode); };

  setWindowTitle(AppTitle);
  setFixedSize(FormWidth, FormHeight);
  setAcceptDrops(true);
  CreateControls();
  CreateActions();

  Strix->OnLog = [this](int AIndex, TLogLevel ALevel, const std::string &AMsg) { StrixLog(AIndex, ALevel, AMsg); };
  Strix->OnProgress = [this](int AIndex, int AFrameNumber, int AFPS, int ACurrentDuration, float AQuality,
                             float ABitRate, int64_t ACurrentSize, int ATotalOutputDuration) {
    StrixProgress(AIndex, AFrameNumber, AFPS, ACurrentDuration, AQuality, ABitRate, ACurrentSize,
                  ATotalOutputDuration);
  };
  Strix->OnTerminate = [this](int AIndex, bool AFinished, bool AException, const std::string &AMessage) {
    StrixTerminate(AIndex, AFinished, AException, AMessage);
  };

  EstTimer = new TmsEstTimer(this);
  EstTimer->SetInterval(1000);
  EstTimer->SetEnabled(false);
  EstTimer->OnGetCurrentCount = [this](TmsEstTimer *S, int32_t &C) { EstTimerGetCurrentCount(S, C); };
  EstTimer->OnGetTotalCount = [this](TmsEstTimer *S, int32_t &C) { EstTimerGetTotalCount(S, C); };
  EstTimer->OnDisplayEstTime = [this](TmsEstTimer *S, double T) { EstTimerDisplayEstTime(S, T); };
  EstTimer->OnDisplayElapsedTime = [this](TmsEstTimer *S, double T) { EstTimerDisplayElapsedTime(S, T); };

  FormCreate();

  // Centred on the desktop.
  if (QScreen *screen = QGuiApplication::primaryScreen()) {
    const QRect area = screen->availableGeometry();
    move(area.center() - QPoint(width() / 2, height() / 2));
  }
}

TfrmMain::~TfrmMain() {
  // Destroyed without being closed (tests, program end): the same clean-up
  // as closing, without asking, so no worker raises an event into a
  // half-destroyed window.
  if (!FClosed) {
    Strix->UnassignEvents();
    Strix->StopTasks();
    FormClose();
  }
  // Hiding the window moves the focus out of the input box, which must not
  // configure anything on a component that is going away.
  QObject::disconnect(edFileInput, nullptr, this, nullptr);
  Strix.reset();
}

void TfrmMain::FormCreate() {
  SetLabelText(lbFrom, QStringLiteral("FLV"));
  SetLabelText(lbTo, QStringLiteral("iPod"));
  imgArrow->move(lbFrom->x() + lbFrom->width() + 15, imgArrow->y());
  lbTo->move(imgArrow->x() + imgArrow->width() + 15, lbTo->y());

  // The header paints its own white background.
  pTop->setAutoFillBackground(true);
  QPalette pal = pTop->palette();
  pal.setColor(QPalette::Window, Qt::white);
  pTop->setPalette(pal);

  QCoreApplication::setApplicationName(QString::fromLatin1(AppTitle));
  setWindowTitle(QStringLiteral("Quenvaro ver.") + FromStd(FileVersionText()));

  // The open dialog is made afresh for every pick (CreateOpenDialog).

  LoadPresetList();
  FOutputFolder = Settings->value(KeyOutputFolder).toString();
  actKeepDates->setChecked(Settings->value(KeyKeepDates, false).toBool());
}

void TfrmMain::CreateActions() {
  // Keys of the whole window, also offered on its context menu.
  auto add = [this](const QString &AText, const QKeySequence &AKey, std::function<void()> AFn) {
    auto *action = new QAction(AText, this);
    if (!AKey.isEmpty()) action->setShortcut(AKey);
    action->setShortcutContext(Qt::WindowShortcut);
    QObject::connect(action, &QAction::triggered, this, [fn = std::move(AFn)] { fn(); });
    addAction(action);
    return action;
  };
  add(QStringLiteral("Open file..."), QKeySequence(Qt::CTRL | Qt::Key_O), [this] {
    if (btnOpenInput->isEnabled()) btnOpenInputClick();
  });
  add(QStringLiteral("User guide"), QKeySequence(Qt::Key_F1), [this] { ShowUserGuide(); });
  add(QStringLiteral("About Quenvaro"), QKeySequence(), [this] { ShowAbout(); });
  actKeepDates = add(QStringLiteral("Keep the input's dates"), QKeySequence(), [this] { KeepDatesClick(); });
  actKeepDates->setCheckable(true);
  // Each finished output decoded and compared with its input before it
  // counts as done; kept between sessions.
  QAction *verify = add(QStringLiteral("Verify each output"), QKeySequence(), [] {});
  verify->setCheckable(true);
  verify->setChecked(Settings->value(KeyVerify, false).toBool());
  Strix->SetVerifyOutput(verify->isChecked());
  QObject::connect(verify, &QAction::toggled, this, [this](bool AOn) {
    Strix->SetVerifyOutput(AOn);
    Settings->setValue(KeyVerify, AOn);
    Settings->sync();
  });
  add(QStringLiteral("Quit"), QKeySequence(Qt::CTRL | Qt::Key_Q), [this] { close(); });
  setContextMenuPolicy(Qt::ActionsContextMenu);
}

void TfrmMain::QuitOnSignal(int ASignal) {
  if (FQuitSignal == 0) FQuitSignal = ASignal;
  // A question has no one to answer it any more.
  if (FQuestion) FQuestion->done(QMessageBox::No);
  if (FConverting) {
    // As Stop: the output gets its end and is published; EndRun then quits.
    if (!FStopping) btnStopClick();
    return;
  }
  QMetaObject::invokeMethod(this, [this] { QuitNow(); }, Qt::QueuedConnection);
}

bool TfrmMain::FormCloseQuery() {
  // A running conversion is only given up when the user says so; one that is
  // already stopping ends anyway.
  // When the run ends while the question is up, the question goes away and
  // the window closes, as asked, without asking again.
  // A stop signal does not ask: nobody may be there to answer.
  if (FConverting && !FStopping && !FQuitSignal && AskYesNo &&
      !AskYesNo(QStringLiteral("A conversion is running. Stop it and quit?")) && FConverting)
    return false;
  Strix->UnassignEvents();
  Strix->StopTasks();
  return true;
}

bool TfrmMain::AskQuestion(const QString &AQuestion) {
  QMessageBox box(QMessageBox::Question, QCoreApplication::applicationName(), AQuestion,
                  QMessageBox::Yes | QMessageBox::No, this);
  box.setTextFormat(Qt::PlainText);
  // A stray Enter must not throw away a running conversion.
  box.setDefaultButton(QMessageBox::No);
  FQuestion = &box;
  const bool yes = box.exec() == QMessageBox::Yes;
  FQuestion = nullptr;
  return yes;
}

void TfrmMain::FormClose() {
  FClosed = true;
  Strix->Probe().CloseFile();
}

void TfrmMain::closeEvent(QCloseEvent *AEvent) {
  if (!FormCloseQuery()) {
    AEvent->ignore();
    return;
  }
  FormClose();
  AEvent->accept();
}

void TfrmMain::keyPressEvent(QKeyEvent *AEvent) {
  // Keys the focused control leaves alone: Enter presses the default button
  // Convert, Escape presses Stop while a conversion runs.
  switch (AEvent->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter:
      if (btnConvert->isEnabled()) {
        btnConvert->click();
        return;
      }
      break;
    case Qt::Key_Escape:
      if (btnStop->isEnabled()) {
        btnStop->click();
        return;
      }
      break;
    default:
      break;
  }
  QWidget::keyPressEvent(AEvent);
}

bool TfrmMain::eventFilter(QObject *AWatched, QEvent *AEvent) {
  if (AWatched == edFileInput) {
    if (AEvent->type() == QEvent::MouseButtonDblClick) {
      edFileInputDblClick();
      return true;
    }
    // Enter on a name typed into the box configures the task for it; only a
    // second Enter, on a box that matches its task, converts.
    if (AEvent->type() == QEvent::KeyPress) {
      const int key = static_cast<QKeyEvent *>(AEvent)->key();
      if ((key == Qt::Key_Return || key == Qt::Key_Enter) && !FConverting && !ReadyToConvert()) {
        ConfigureFromInputBox();
        return true;
      }
    }
  }
  if (AWatched == lbFindings && AEvent->type() == QEvent::MouseButtonRelease) {
    if (static_cast<QMouseEvent *>(AEvent)->button() == Qt::LeftButton)
      ShowMessage(QStringLiteral("What is wrong with this file:\n\n") + FFindingsDetails.trimmed());
    return true;
  }
  if ((AWatched == lbFrom || AWatched == imgArrow || AWatched == lbTo || AWatched == lbInformation) &&
      AEvent->type() == QEvent::MouseButtonRelease) {
    auto *me = static_cast<QMouseEvent *>(AEvent);
    // The link's first line, "More Free Video Tools", leads to the guide's
    // section on the other tools; the second and the header to the guide.
    if (me->button() == Qt::LeftButton) {
      if (AWatched == lbInformation && me->position().y() < lbInformation->height() / 2)
        ShowUserGuide(QStringLiteral("other-tools"));
      else
        lbInformationClick();
    }
    return true;
  }
  return QWidget::eventFilter(AWatched, AEvent);
}
