// TfrmMain (see Main.h).
#include "Main.h"

#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QThread>
#include <QTimer>
#include <QUrl>

#include <algorithm>
#include <cmath>

#include "AVProbe.h"
#include "ConvertRecord.h"
#include "SysFormat.h"

#ifndef QV_HOMEPAGE
#define QV_HOMEPAGE "https://quenvaro.example.org/"
#endif

namespace {

const char *const AppTitle = "Quenvaro";

QString FromStd(const std::string &AText) { return QString::fromStdString(AText); }
std::string ToStd(const QString &AText) { return AText.toStdString(); }
// File names go to the component in the file system's encoding.
std::string FileNameToStd(const QString &AName) { return QFile::encodeName(AName).toStdString(); }
QString FileNameFromStd(const std::string &AName) { return QFile::decodeName(QByteArray::fromStdString(AName)); }

bool FileExists(const QString &AName) {
  if (AName.isEmpty()) return false;
  const QFileInfo fi(AName);
  return fi.exists() && !fi.isDir();
}

}  // namespace

// ---------------------------------------------------------------------------
// TQtWindowThread

TQtWindowThread::TQtWindowThread() : FContext(std::make_unique<QObject>()) {}

TQtWindowThread::~TQtWindowThread() = default;

void TQtWindowThread::Post(std::function<void()> AFn) {
  QMetaObject::invokeMethod(FContext.get(), std::move(AFn), Qt::QueuedConnection);
}

void TQtWindowThread::PostDelayed(int AMilliseconds, std::function<void()> AFn) {
  QObject *context = FContext.get();
  // A Qt timer belongs to the thread that starts it, so start it on the GUI thread.
  if (QThread::currentThread() == context->thread()) {
    QTimer::singleShot(AMilliseconds, context, std::move(AFn));
    return;
  }
  QMetaObject::invokeMethod(
      context, [context, AMilliseconds, fn = std::move(AFn)]() mutable { QTimer::singleShot(AMilliseconds, context, std::move(fn)); },
      Qt::QueuedConnection);
}

// ---------------------------------------------------------------------------
// TBevel, TStatusBar

void TBevel::paintEvent(QPaintEvent *) {
  QPainter p(this);
  p.setPen(palette().color(QPalette::Mid));
  p.drawLine(0, 0, width() - 1, 0);
  p.setPen(palette().color(QPalette::Light));
  p.drawLine(0, 1, width() - 1, 1);
}

TStatusBar::TStatusBar(QWidget *AParent) : QWidget(AParent) {}

QLabel *TStatusBar::AddPanel(int AWidth, const QString &AText, Qt::Alignment AAlign) {
  auto *panel = new QLabel(AText, this);
  panel->setFrameStyle(QFrame::Panel | QFrame::Sunken);
  panel->setAlignment(AAlign);
  panel->setIndent(2);
  panel->setGeometry(FRight, 2, AWidth - 2, height() - 2);
  FRight += AWidth;
  FPanels.push_back(panel);
  return panel;
}

QString TStatusBar::PanelText(int AIndex) const { return Panel(AIndex)->text(); }

void TStatusBar::SetPanelText(int AIndex, const QString &AText) { Panel(AIndex)->setText(AText); }

// ---------------------------------------------------------------------------
// Texts

std::string SizeText(int64_t ASize) {
  if (ASize > 1048576) return avbind::Format("%8.2f Mbytes", {static_cast<double>(ASize) / 1048576.0});
  if (ASize > 1024) return avbind::Format("%8.2f Kbytes", {static_cast<double>(ASize) / 1024.0});
  return std::to_string(ASize) + " bytes";
}

std::string TimeText(double ATheTime) {
  // Only the time of day counts; a negative value reads like its magnitude.
  double fraction = std::fabs(ATheTime - std::trunc(ATheTime));
  int64_t ms = static_cast<int64_t>(std::llround(fraction * 86400000.0));
  if (ms >= 86400000) ms = 0;
  const int64_t secs = ms / 1000;
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", static_cast<int>(secs / 3600), static_cast<int>(secs / 60 % 60),
                static_cast<int>(secs % 60));
  return buf;
}

// ---------------------------------------------------------------------------
// TfrmMain: construction and layout

TfrmMain::TfrmMain(const std::string &APresetFile, const std::string &ALibraryFolder)
    : QWidget(nullptr,
              Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                  Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint),
      WindowThread(std::make_unique<TQtWindowThread>()),
      Strix(std::make_unique<TStrix>(*WindowThread)),
      FPresetFile(APresetFile),
      FLibraryFolder(ALibraryFolder.empty() ? ToStd(QCoreApplication::applicationDirPath() + "/LibAV")
                                            : ALibraryFolder) {
  ExecuteOpenDialog = [](QFileDialog &ADialog) -> QString {
    if (ADialog.exec() != QDialog::Accepted || ADialog.selectedFiles().isEmpty()) return {};
    return ADialog.selectedFiles().first();
  };
  ShowMessageBox = [this](const QString &AText, const QString &ACaption, TMessageIcon AIcon) {
    QMessageBox box(AIcon == miExclamation ? QMessageBox::Warning : QMessageBox::NoIcon, ACaption, AText,
                    QMessageBox::Ok, this);
    box.setTextFormat(Qt::PlainText);
    box.exec();
  };
  OpenUrl = [](const QUrl &AUrl) { QDesktopServices::openUrl(AUrl); };

  setWindowTitle(AppTitle);
  setFixedSize(442, 287);
  setAcceptDrops(true);
  CreateControls();

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
  // as closing, so no worker raises an event into a half-destroyed window.
  if (!FClosed) {
    FormCloseQuery();
    FormClose();
  }
  Strix.reset();
}

void TfrmMain::CreateControls() {
  // Tahoma where it is installed, otherwise the desktop's sans-serif face.
  QFont font;
  if (QFontDatabase::families().contains(QStringLiteral("Tahoma"))) {
    font = QFont(QStringLiteral("Tahoma"));
  } else {
    font = QFont(QStringLiteral("Sans Serif"));
    font.setStyleHint(QFont::SansSerif);
  }
  font.setPixelSize(11);
  setFont(font);

  auto label = [](QWidget *AParent, int ALeft, int ATop, const QString &AText) {
    auto *l = new QLabel(AText, AParent);
    l->move(ALeft, ATop);
    l->adjustSize();
    return l;
  };

  pTop = new QWidget(this);
  pTop->setGeometry(0, 0, 442, 57);

  QFont big = font;
  big.setBold(true);
  big.setPixelSize(29);
  lbFrom = label(pTop, 14, 10, QStringLiteral("___"));
  lbFrom->setFont(big);
  lbFrom->setCursor(Qt::PointingHandCursor);
  imgArrow = new QLabel(pTop);
  imgArrow->setGeometry(81, 13, 32, 32);
  imgArrow->setPixmap(QPixmap(QStringLiteral(":/quenvaro/arrow.png")));
  imgArrow->setCursor(Qt::PointingHandCursor);
  lbTo = label(pTop, 123, 10, QStringLiteral("___"));
  lbTo->setFont(big);
  lbTo->setCursor(Qt::PointingHandCursor);
  lbInformation = label(pTop, 310, 16, QStringLiteral("More Free Video Tools\nget more information"));
  {
    QFont f = font;
    f.setBold(true);
    f.setUnderline(true);
    lbInformation->setFont(f);
    QPalette pal = lbInformation->palette();
    pal.setColor(QPalette::WindowText, Qt::blue);
    lbInformation->setPalette(pal);
    lbInformation->adjustSize();
    // Faces wider than Tahoma would push the link past the window's edge.
    const int overflow = lbInformation->geometry().right() + 1 - (442 - 4);
    if (overflow > 0) lbInformation->move(lbInformation->x() - overflow, lbInformation->y());
  }
  lbInformation->setCursor(Qt::PointingHandCursor);
  for (QLabel *l : {lbFrom, imgArrow, lbTo, lbInformation}) l->installEventFilter(this);

  Bevel1 = new TBevel(this);
  Bevel1->setGeometry(0, 57, 442, 14);

  lbFileInput = label(this, 11, 65, QStringLiteral("Select file you want to convert:"));
  edFileInput = new QLineEdit(this);
  edFileInput->setGeometry(11, 83, 380, 21);
  edFileInput->setToolTip(QStringLiteral("Double click to get information about file"));
  edFileInput->installEventFilter(this);
  btnOpenInput = new QPushButton(QStringLiteral("..."), this);
  btnOpenInput->setGeometry(398, 83, 30, 21);
  btnOpenInput->setToolTip(QStringLiteral("Click here to select file you want to convert..."));

  lbFileOutput = label(this, 11, 111, QStringLiteral("Output file:"));
  edFileOutput = new QLineEdit(this);
  edFileOutput->setGeometry(11, 129, 380, 21);
  edFileOutput->setReadOnly(true);
  edFileOutput->setToolTip(QStringLiteral("This box is read only... File name is generated automatically "));
  btnOpenOutput = new QPushButton(QStringLiteral("..."), this);
  btnOpenOutput->setGeometry(398, 129, 30, 21);
  btnOpenOutput->setVisible(false);

  Label1 = label(this, 11, 157, QStringLiteral("Output settings:"));
  cbFormats = new QComboBox(this);
  cbFormats->setGeometry(11, 174, 380, 21);
  cbFormats->setEditable(true);
  // Typing picks nothing and adds nothing; the list stays that of the presets.
  cbFormats->setInsertPolicy(QComboBox::NoInsert);

  Bevel2 = new TBevel(this);
  Bevel2->setGeometry(5, 204, 435, 19);

  lbElapsedTime = label(this, 21, 210, QStringLiteral("Elapsed time:"));
  lbEstimatedTime = label(this, 11, 228, QStringLiteral("Estimated time:"));

  btnConvert = new QPushButton(QStringLiteral("Convert"), this);
  btnConvert->setGeometry(270, 212, 75, 25);
  btnConvert->setEnabled(false);
  btnStop = new QPushButton(QStringLiteral("Stop"), this);
  btnStop->setGeometry(353, 212, 75, 25);
  btnStop->setEnabled(false);

  ProgressBar1 = new QProgressBar(this);
  ProgressBar1->setGeometry(11, 250, 417, 10);
  ProgressBar1->setRange(0, 100);
  ProgressBar1->setValue(0);
  ProgressBar1->setTextVisible(false);

  StatusBar = new TStatusBar(this);
  StatusBar->setGeometry(0, 287 - 19, 442, 19);
  StatusBar->AddPanel(150, QStringLiteral("Status: Ready"));
  StatusBar->AddPanel(225, QString());
  StatusBar->AddPanel(53, QStringLiteral("0%"), Qt::AlignCenter);

  // Tab order follows the layout order.
  QWidget::setTabOrder(edFileInput, btnOpenInput);
  QWidget::setTabOrder(btnOpenInput, edFileOutput);
  QWidget::setTabOrder(edFileOutput, cbFormats);
  QWidget::setTabOrder(cbFormats, btnConvert);
  QWidget::setTabOrder(btnConvert, btnStop);

  QObject::connect(btnOpenInput, &QPushButton::clicked, this, [this] { btnOpenInputClick(); });
  QObject::connect(btnConvert, &QPushButton::clicked, this, [this] { btnConvertClick(); });
  QObject::connect(btnStop, &QPushButton::clicked, this, [this] { btnStopClick(); });
  // The user's changes only: a pick from the list, or typing into the box.
  QObject::connect(cbFormats, &QComboBox::activated, this, [this](int) { cbFormatsChange(); });
  QObject::connect(cbFormats->lineEdit(), &QLineEdit::textEdited, this, [this](const QString &) { cbFormatsChange(); });
}

// ---------------------------------------------------------------------------
// Handlers

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

  OpenDialog1 = new QFileDialog(this);
  OpenDialog1->setFileMode(QFileDialog::ExistingFile);
  OpenDialog1->setAcceptMode(QFileDialog::AcceptOpen);
  OpenDialog1->setSizeGripEnabled(true);
  // Masks are matched case-sensitively here, so both spellings are listed.
  OpenDialog1->setNameFilter(QStringLiteral("FLV Files (*.FLV *.flv)"));

  cbFormats->clear();
  LoadPresets(FPresetFile, [this](const std::string &AName) { cbFormats->addItem(FromStd(AName)); });
  if (cbFormats->count() > 0) cbFormats->setCurrentIndex(0);
}

bool TfrmMain::FormCloseQuery() {
  Strix->UnassignEvents();
  Strix->StopTasks();
  return true;
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

bool TfrmMain::LoadLibraries() {
  if (Strix->LoadLibraries(FLibraryFolder, true)) return true;
  ShowMessage(FromStd(Strix->LastError()));
  return false;
}

void TfrmMain::btnOpenInputClick() {
  QPalette pal = pTop->palette();
  pal.setColor(QPalette::Window, Qt::white);
  pTop->setPalette(pal);
  if (!LoadLibraries()) return;
  const QString name = ExecuteOpenDialog ? ExecuteOpenDialog(*OpenDialog1) : QString();
  if (name.isEmpty()) return;
  OpenInputFile(name);
}

void TfrmMain::DropFile(const QString &AFileName) {
  // Not while a conversion runs: the open button is disabled then.
  if (!btnOpenInput->isEnabled() || !IsDroppableFile(AFileName)) return;
  if (!LoadLibraries()) return;
  OpenInputFile(AFileName);
}

void TfrmMain::OpenInputFile(const QString &AFileName) {
  ProgressBar1->setValue(0);
  Strix->DeleteAllTasks();
  // The task list is empty now; Convert would start nothing and the window
  // would wait for an end that never comes.
  btnConvert->setEnabled(false);

  edFileInput->setText(AFileName);
  const std::string input = FileNameToStd(AFileName);
  edFileOutput->setText(FileNameFromStd(MakeOutputName(input, ".mp4")));

  const int index = Strix->AddTask(input, ConvertInputRecord(input));
  try {
    Strix->Probe().LoadFile(input, "");
  } catch (const std::exception &) {
    // The report is optional; the double-click then shows nothing useful.
  }
  if (index < 0) return;

  if (Strix->AddTaskOutput(index, FileNameToStd(edFileOutput->text()), ConvertOutputRecord(SelectedPreset()))) {
    btnConvert->setEnabled(true);
    btnConvert->setFocus();
  } else {
    Strix->DeleteTask(index);
  }
  StatusBar->SetPanelText(0, QStringLiteral("Status: Ready"));
  StatusBar->SetPanelText(1, QString());
  StatusBar->SetPanelText(2, QStringLiteral("0%"));
}

const TFormat *TfrmMain::SelectedPreset() const {
  const int i = cbFormats->currentIndex();
  if (i < 0 || i >= cbFormats->count() || static_cast<size_t>(i) >= Presets.size()) return nullptr;
  // Text typed into the box selects nothing, unless it is the entry's own.
  if (cbFormats->currentText() != cbFormats->itemText(i)) return nullptr;
  return &Presets[static_cast<size_t>(i)];
}

void TfrmMain::cbFormatsChange() {
  if (FileExists(edFileInput->text())) ChangeFile();
}

void TfrmMain::ChangeFile() {
  Strix->DeleteAllTasks();
  btnConvert->setEnabled(false);

  const std::string input = FileNameToStd(edFileInput->text());
  std::string output = FileNameToStd(edFileOutput->text());
  // After a finished run the named output holds that run's result; converting
  // again must not write over it.
  if (output.empty() || QFileInfo::exists(edFileOutput->text()) || QFileInfo(edFileOutput->text()).isSymLink()) {
    output = MakeOutputName(input, ".mp4");
    edFileOutput->setText(FileNameFromStd(output));
  }

  const int index = Strix->AddTask(input, ConvertInputRecord(input));
  try {
    Strix->Probe().LoadFile(input, "");
  } catch (const std::exception &) {
  }
  if (index < 0) {
    ShowMessage(QStringLiteral("File open error: ") + FromStd(Strix->LastError()));
    return;
  }
  if (Strix->AddTaskOutput(index, output, ConvertOutputRecord(SelectedPreset()))) {
    btnConvert->setEnabled(true);
    btnConvert->setFocus();
  } else {
    const std::string error = Strix->LastError();
    Strix->DeleteTask(index);
    ShowMessage(QStringLiteral("Cannot do convert, error: ") + FromStd(error));
  }
}

void TfrmMain::btnConvertClick() {
  if (!FileExists(edFileInput->text())) {
    if (ShowMessageBox) ShowMessageBox(QStringLiteral("Input file does not exists"), QString::fromLatin1(AppTitle), miExclamation);
    return;
  }
  Strix->SetLogLevel(llInfo);
  Strix->SetThreadPriority(tpNormal);
  btnOpenInput->setEnabled(false);
  btnConvert->setEnabled(false);
  btnStop->setEnabled(true);
  StatusBar->SetPanelText(0, QStringLiteral("Status: Converting..."));
  CurrentCount = 0;
  cbFormats->setEnabled(false);
  Strix->StartTasks(1);
  EstTimer->SetEnabled(true);
}

void TfrmMain::btnStopClick() {
  btnStop->setEnabled(false);
  EstTimer->SetEnabled(false);
  Strix->StopTasks();
}

void TfrmMain::StrixProgress(int AIndex, int AFrameNumber, int AFPS, int ACurrentDuration, float AQuality,
                             float ABitRate, int64_t ACurrentSize, int ATotalOutputDuration) {
  // Worker thread: hand the values to the window thread.
  QMetaObject::invokeMethod(
      this,
      [this, ACurrentDuration, ACurrentSize, ATotalOutputDuration] {
        // An unknown (0 or negative) total gives no percentage; the product
        // is taken in 64 bits, as durations of hours overflow 32.
        int position = 0;
        if (ATotalOutputDuration > 0)
          position = static_cast<int>(std::clamp<int64_t>(
              static_cast<int64_t>(ACurrentDuration) * 100 / ATotalOutputDuration, 0, 100));
        ProgressBar1->setValue(position);
        StatusBar->SetPanelText(1, QStringLiteral("Output file size: ") + FromStd(SizeText(ACurrentSize)));
        StatusBar->SetPanelText(2, QString::number(ProgressBar1->value()) + QStringLiteral("%"));
        CurrentCount = ACurrentDuration;
        TotalCount = ATotalOutputDuration;
      },
      Qt::QueuedConnection);
}

void TfrmMain::StrixTerminate(int AIndex, bool AFinished, bool AException, const std::string &AMessage) {
  // Worker (or terminate) thread: the whole reaction runs on the window thread.
  QMetaObject::invokeMethod(
      this,
      [this, AIndex, AFinished, AException, AMessage] {
        EstTimer->SetEnabled(false);
        cbFormats->setEnabled(true);
        SetLabelText(lbEstimatedTime, QStringLiteral("Estimated time:"));
        SetLabelText(lbElapsedTime, QStringLiteral("Elapsed time:"));
        if (AIndex < 0) {
          btnOpenInput->setEnabled(true);
          btnOpenOutput->setEnabled(true);
          btnConvert->setEnabled(false);
          btnStop->setEnabled(false);
          StatusBar->SetPanelText(0, ProgressBar1->value() < 100 ? QStringLiteral("Status: Conversion stopped")
                                                                 : QStringLiteral("Status: Done"));
          Strix->DeleteAllTasks();
        } else if (AFinished) {
          ProgressBar1->setValue(100);
          StatusBar->SetPanelText(0, QStringLiteral("Status: Done"));
          StatusBar->SetPanelText(2, QStringLiteral("100%"));
        }
        if (AException && ShowMessageBox)
          ShowMessageBox(FromStd(AMessage), QCoreApplication::applicationName(), miExclamation);
      },
      Qt::QueuedConnection);
}

void TfrmMain::StrixLog(int, TLogLevel, const std::string &) {
  // The window shows no log.
}

void TfrmMain::EstTimerDisplayEstTime(TmsEstTimer *, double TheTime) {
  SetLabelText(lbEstimatedTime, QStringLiteral("Estimated time: ") + FromStd(TimeText(TheTime)));
}

void TfrmMain::EstTimerDisplayElapsedTime(TmsEstTimer *, double TheTime) {
  SetLabelText(lbElapsedTime, QStringLiteral("Elapsed time: ") + FromStd(TimeText(TheTime)));
}

void TfrmMain::EstTimerGetCurrentCount(TmsEstTimer *, int32_t &Count) { Count = CurrentCount; }

void TfrmMain::EstTimerGetTotalCount(TmsEstTimer *, int32_t &Count) { Count = TotalCount; }

void TfrmMain::edFileInputDblClick() {
  try {
    QString text = FromStd(Strix->Probe().GetFileInfoText());
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    if (ShowMessageBox) ShowMessageBox(text, QStringLiteral("File Information"), miNone);
  } catch (...) {
    // The report is a convenience; a failure shows nothing.
  }
}

void TfrmMain::lbInformationClick() {
  if (OpenUrl) OpenUrl(QUrl(QStringLiteral(QV_HOMEPAGE)));
}

// ---------------------------------------------------------------------------
// Helpers and events

void TfrmMain::SetLabelText(QLabel *ALabel, const QString &AText) {
  ALabel->setText(AText);
  ALabel->adjustSize();
}

void TfrmMain::ShowMessage(const QString &AText) {
  if (ShowMessageBox) ShowMessageBox(AText, QCoreApplication::applicationName(), miNone);
}

bool TfrmMain::IsDroppableFile(const QString &AFileName) {
  return AFileName.endsWith(QStringLiteral(".flv"), Qt::CaseInsensitive) && FileExists(AFileName);
}

bool TfrmMain::eventFilter(QObject *AWatched, QEvent *AEvent) {
  if (AWatched == edFileInput && AEvent->type() == QEvent::MouseButtonDblClick) {
    edFileInputDblClick();
    return true;
  }
  if ((AWatched == lbFrom || AWatched == imgArrow || AWatched == lbTo || AWatched == lbInformation) &&
      AEvent->type() == QEvent::MouseButtonRelease) {
    auto *me = static_cast<QMouseEvent *>(AEvent);
    if (me->button() == Qt::LeftButton) lbInformationClick();
    return true;
  }
  return QWidget::eventFilter(AWatched, AEvent);
}

void TfrmMain::dragEnterEvent(QDragEnterEvent *AEvent) {
  const QList<QUrl> urls = AEvent->mimeData()->urls();
  if (btnOpenInput->isEnabled() && urls.size() == 1 && urls.first().isLocalFile() &&
      IsDroppableFile(urls.first().toLocalFile()))
    AEvent->acceptProposedAction();
}

void TfrmMain::dropEvent(QDropEvent *AEvent) {
  const QList<QUrl> urls = AEvent->mimeData()->urls();
  if (urls.size() != 1 || !urls.first().isLocalFile()) return;
  AEvent->acceptProposedAction();
  // Leave the drop handling before any message box of the open runs.
  const QString name = urls.first().toLocalFile();
  QMetaObject::invokeMethod(this, [this, name] { DropFile(name); }, Qt::QueuedConnection);
}
