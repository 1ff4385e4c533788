// TfrmMain (see Main.h).
#include "Main.h"

#include <QAbstractItemView>
#include <QApplication>
#include <QCloseEvent>
#include <QCompleter>
#include <QCoreApplication>
#include <QDesktopServices>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFile>
#include <QFileInfo>
#include <QFontDatabase>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMimeData>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QStandardPaths>
#include <QStyleOptionFrame>
#include <QThread>
#include <QToolTip>
#include <QTimer>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <cstdio>

#include "AVCodecHlpr.h"
#include "AtomicOutput.h"
#include "AVFormatHlpr.h"
#include "AVProbe.h"
#include "AVUtilHlpr.h"
#include "SwResampleHlpr.h"
#include "SwScaleHlpr.h"
#include "ConvertRecord.h"
#include "Findings.h"
#include "SizeEstimate.h"
#include "SysFormat.h"

// Where the user guide lies relative to the program's folder, installed and
// in the build tree.
#ifndef QV_GUIDE_INSTALLED
#define QV_GUIDE_INSTALLED "../../share/doc/quenvaro/user-guide.html"
#endif
#ifndef QV_LICENCE
#define QV_LICENCE "not chosen yet"
#endif
#ifndef QV_GUIDE_BUILT
#define QV_GUIDE_BUILT "../share/doc/quenvaro/user-guide.html"
#endif

namespace {

const char *const AppTitle = "Quenvaro";
// The client area as designed; only the status bar may make it taller.
const int FormWidth = 442;
const int FormHeight = 287;
const int StatusBarHeight = 19;
// How much of each queued file is read for the size of its rewrap.
constexpr int64_t QueueScanBytes = 8 << 20;

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

// A path shortened to about AChars characters by leaving out its middle.
QString ElideMiddle(const QString &AText, int AChars) {
  if (AText.size() <= AChars) return AText;
  const int head = (AChars - 1) / 2, tail = AChars - 1 - head;
  return AText.left(head) + QChar(0x2026) + AText.right(tail);
}

// A reason without the file's own path, which the reader already has
// ("<path>: Unknown format" reads "Unknown format").
QString WithoutPath(const QString &AReason, const QString &APath) {
  QString r = AReason;
  r.replace(APath + QStringLiteral(": "), QString());
  r.replace(QStringLiteral("'") + APath + QStringLiteral("'"), QFileInfo(APath).fileName());
  return r;
}

// Where the settings keep each choice.
const char *const KeyOutputFolder = "OutputFolder";
const char *const KeyPreset = "Preset";
const char *const KeyRewrap = "Rewrap";
const char *const KeyKeepDates = "KeepDates";
const char *const KeyVerify = "VerifyOutput";

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
// TBevel, TStatusPanel, TStatusBar, TPresetList

void TBevel::paintEvent(QPaintEvent *) {
  QPainter p(this);
  p.setPen(palette().color(QPalette::Mid));
  p.drawLine(0, 0, width() - 1, 0);
  p.setPen(palette().color(QPalette::Light));
  p.drawLine(0, 1, width() - 1, 1);
}

TStatusPanel::TStatusPanel(const QString &AText, Qt::Alignment AAlign, QWidget *AParent) : QLabel(AText, AParent) {
  setFrameStyle(QFrame::Panel | QFrame::Sunken);
  setAlignment(AAlign);
  setIndent(2);
}

int TStatusPanel::WidthFor(const QString &AText) const {
  // One spare pixel a side: rounding of the advance must not cut the text.
  return fontMetrics().horizontalAdvance(AText) + 2 * (frameWidth() + indent() + 1);
}

QRect TStatusPanel::TextArea() const { return contentsRect().adjusted(indent() + 1, 0, -(indent() + 1), 0); }

bool TStatusPanel::Elided() const { return fontMetrics().horizontalAdvance(text()) > TextArea().width(); }

QString TStatusPanel::ShownText() const {
  return fontMetrics().elidedText(text(), Qt::ElideMiddle, TextArea().width());
}

void TStatusPanel::UpdateToolTip() { setToolTip(Elided() ? text() : QString()); }

void TStatusPanel::paintEvent(QPaintEvent *) {
  QPainter p(this);
  drawFrame(&p);
  p.setPen(palette().color(foregroundRole()));
  p.drawText(TextArea(), static_cast<int>(alignment()), ShownText());
}

void TStatusPanel::mouseReleaseEvent(QMouseEvent *AEvent) {
  QLabel::mouseReleaseEvent(AEvent);
  if (AEvent->button() == Qt::LeftButton && OnClick) OnClick();
}

TStatusBar::TStatusBar(QWidget *AParent) : QWidget(AParent) {}

TStatusPanel *TStatusBar::AddPanel(int AWidth, const QString &AText, Qt::Alignment AAlign,
                                   const QStringList &AFitTexts, bool AStretch) {
  auto *panel = new TStatusPanel(AText, AAlign, this);
  FPanels.push_back({panel, AWidth, AFitTexts, AStretch});
  Relayout();
  return panel;
}

QString TStatusBar::PanelText(int AIndex) const { return Panel(AIndex)->text(); }

void TStatusBar::SetPanelText(int AIndex, const QString &AText) {
  if (Panel(AIndex)->text() == AText) return;
  Panel(AIndex)->setText(AText);
  // Panel 0 may widen for a longer status; the others follow.
  Relayout();
}

int TStatusBar::FixedWidth(const TPanel &APanel) const {
  int w = std::max(APanel.DesignWidth, APanel.Label->WidthFor(APanel.Label->text()) + 2);
  for (const QString &t : APanel.FitTexts) w = std::max(w, APanel.Label->WidthFor(t) + 2);
  return w;
}

std::vector<int> TStatusBar::PanelWidths() const {
  int fixed = 0;
  for (const TPanel &p : FPanels)
    if (!p.Stretch) fixed += FixedWidth(p);
  std::vector<int> widths;
  for (const TPanel &p : FPanels)
    widths.push_back(p.Stretch ? std::max(width() - fixed, p.Label->WidthFor(QString())) : FixedWidth(p));
  return widths;
}

void TStatusBar::Relayout() {
  const std::vector<int> widths = PanelWidths();
  int x = 0;
  for (size_t i = 0; i < FPanels.size(); ++i) {
    FPanels[i].Label->setGeometry(x, 2, widths[i] - 2, height() - 2);
    FPanels[i].Label->UpdateToolTip();
    x += widths[i];
  }
}

void TStatusBar::resizeEvent(QResizeEvent *) { Relayout(); }

void TPathBox::SetReadOnlyLook(bool AReadOnly) {
  setReadOnly(AReadOnly);
  // Styles draw a read-only box like an editable one; the window's colour
  // behind the text tells them apart.
  QPalette pal = palette();
  pal.setBrush(QPalette::Base, AReadOnly ? parentWidget()->palette().brush(QPalette::Window)
                                         : parentWidget()->palette().brush(QPalette::Base));
  setPalette(pal);
}

QRect TPathBox::TextRect() const {
  QStyleOptionFrame option;
  initStyleOption(&option);
  const QRect r = style()->subElementRect(QStyle::SE_LineEditContents, &option, this);
  // QLineEdit's own margin around the text.
  return r.adjusted(2, 0, -2, 0);
}

bool TPathBox::Elided() const { return fontMetrics().horizontalAdvance(text()) > TextRect().width(); }

QString TPathBox::ShownToolTip() const {
  if (!Elided() || hasFocus()) return toolTip();
  return toolTip().trimmed().isEmpty() ? text() : toolTip() + QStringLiteral("\n") + text();
}

bool TPathBox::event(QEvent *AEvent) {
  if (AEvent->type() == QEvent::ToolTip) {
    QToolTip::showText(static_cast<QHelpEvent *>(AEvent)->globalPos(), ShownToolTip(), this);
    return true;
  }
  return QLineEdit::event(AEvent);
}

void TPathBox::paintEvent(QPaintEvent *AEvent) {
  if (hasFocus() || !Elided()) {
    QLineEdit::paintEvent(AEvent);
    return;
  }
  QPainter p(this);
  QStyleOptionFrame option;
  initStyleOption(&option);
  style()->drawPrimitive(QStyle::PE_PanelLineEdit, &option, &p, this);
  const QRect r = TextRect();
  p.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::Text));
  p.drawText(r, Qt::AlignLeft | Qt::AlignVCenter, fontMetrics().elidedText(text(), Qt::ElideMiddle, r.width()));
}

void TButton::paintEvent(QPaintEvent *AEvent) {
  QPushButton::paintEvent(AEvent);
  if (!hasFocus()) return;
  QPainter p(this);
  p.setRenderHint(QPainter::Antialiasing, false);
  QPen pen(palette().color(QPalette::Active, QPalette::Highlight));
  pen.setWidth(2);
  p.setPen(pen);
  p.drawRect(rect().adjusted(3, 3, -3, -3));
}

TQueueView::TQueueView(QWidget *AParent) : QWidget(AParent, Qt::Tool) {
  setWindowTitle(QStringLiteral("Queue"));
  setAttribute(Qt::WA_ShowWithoutActivating);
  auto *layout = new QVBoxLayout(this);
  layout->setContentsMargins(6, 6, 6, 6);
  List = new QTreeWidget(this);
  List->setColumnCount(3);
  List->setHeaderLabels({QStringLiteral("File"), QStringLiteral("State"), QStringLiteral("Size")});
  List->setRootIsDecorated(false);
  List->setSelectionMode(QAbstractItemView::NoSelection);
  List->setFocusPolicy(Qt::NoFocus);
  List->setTextElideMode(Qt::ElideMiddle);
  List->header()->setStretchLastSection(false);
  List->header()->setSectionResizeMode(0, QHeaderView::Stretch);
  List->header()->setSectionResizeMode(1, QHeaderView::ResizeToContents);
  List->header()->setSectionResizeMode(2, QHeaderView::ResizeToContents);
  Total = new QLabel(this);
  layout->addWidget(List);
  layout->addWidget(Total);
  resize(442, 180);
}

void TQueueView::SetRows(const std::vector<std::array<QString, 3>> &ARows, const std::vector<QString> &AProblems) {
  // Rows are changed in place: rebuilding the list on every change of state
  // floods screen readers with rows that come and go.
  const int count = static_cast<int>(ARows.size());
  while (List->topLevelItemCount() > count) delete List->takeTopLevelItem(List->topLevelItemCount() - 1);
  while (List->topLevelItemCount() < count) {
    auto *item = new QTreeWidgetItem(List);
    item->setTextAlignment(2, Qt::AlignRight | Qt::AlignVCenter);
  }
  for (int i = 0; i < count; ++i) {
    QTreeWidgetItem *item = List->topLevelItem(i);
    const QString problem = static_cast<size_t>(i) < AProblems.size() ? AProblems[static_cast<size_t>(i)] : QString();
    for (int c = 0; c < 3; ++c) {
      if (item->text(c) != ARows[static_cast<size_t>(i)][static_cast<size_t>(c)])
        item->setText(c, ARows[static_cast<size_t>(i)][static_cast<size_t>(c)]);
      if (item->toolTip(c) != problem) {
        item->setToolTip(c, problem);
        item->setForeground(c, problem.isEmpty() ? List->palette().brush(QPalette::Text) : QBrush(Qt::red));
      }
    }
  }
}

void TQueueView::SetTotal(const QString &AText) { Total->setText(AText); }

void TPresetList::keyPressEvent(QKeyEvent *AEvent) {
  FInPlace = true;
  QComboBox::keyPressEvent(AEvent);
  FInPlace = false;
}

void TPresetList::wheelEvent(QWheelEvent *AEvent) {
  FInPlace = true;
  QComboBox::wheelEvent(AEvent);
  FInPlace = false;
}

// ---------------------------------------------------------------------------
// Texts and places

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

double TimeLeft(double AEstimatedTotal, double AElapsed) {
  if (!(AEstimatedTotal > 0)) return -1;
  return std::max(AEstimatedTotal - AElapsed, 0.0);
}

QString UserGuideFile(const QString &AProgramFolder) {
  const QDir dir(AProgramFolder);
  const QString installed = QDir::cleanPath(dir.filePath(QStringLiteral(QV_GUIDE_INSTALLED)));
  for (const QString &place : {installed, QDir::cleanPath(dir.filePath(QStringLiteral(QV_GUIDE_BUILT)))})
    if (FileExists(place)) return place;
  return installed;
}

// ---------------------------------------------------------------------------
// TfrmMain: construction and layout

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
  pTop->setGeometry(0, 0, FormWidth, 57);

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
    const int overflow = lbInformation->geometry().right() + 1 - (FormWidth - 4);
    if (overflow > 0) lbInformation->move(lbInformation->x() - overflow, lbInformation->y());
  }
  lbInformation->setCursor(Qt::PointingHandCursor);
  for (QLabel *l : {lbFrom, imgArrow, lbTo, lbInformation}) l->installEventFilter(this);

  Bevel1 = new TBevel(this);
  Bevel1->setGeometry(0, 57, FormWidth, 14);

  lbFileInput = label(this, 11, 65, QStringLiteral("Select file you want to convert:"));
  lbFindings = label(this, lbFileInput->geometry().right() + 8, 65, QString());
  {
    QFont f = font;
    f.setUnderline(true);
    lbFindings->setFont(f);
    QPalette pal = lbFindings->palette();
    pal.setColor(QPalette::WindowText, Qt::darkRed);
    lbFindings->setPalette(pal);
    lbFindings->setCursor(Qt::PointingHandCursor);
    lbFindings->setToolTip(QStringLiteral("Click to see what is wrong with this file"));
    lbFindings->installEventFilter(this);
    lbFindings->hide();
  }
  edFileInput = new TPathBox(this);
  edFileInput->setGeometry(11, 83, 380, 21);
  edFileInput->setToolTip(QStringLiteral("Double click to get information about file"));
  // Files dropped on the box are picked like files dropped on the window,
  // not pasted into it as text.
  edFileInput->setAcceptDrops(false);
  edFileInput->installEventFilter(this);
  btnOpenInput = new TButton(QStringLiteral("..."), this);
  btnOpenInput->setGeometry(398, 83, 30, 21);
  btnOpenInput->setToolTip(QStringLiteral("Click here to select file you want to convert..."));
  btnOpenInput->setAutoDefault(true);  // Enter on the focused button presses it

  lbFileOutput = label(this, 11, 111, QStringLiteral("Output file:"));
  edFileOutput = new TPathBox(this);
  edFileOutput->setGeometry(11, 129, 380, 21);
  edFileOutput->SetReadOnlyLook(true);
  edFileOutput->setAcceptDrops(false);
  edFileOutput->setToolTip(QStringLiteral("This box is read only... File name is generated automatically "));
  btnOpenOutput = new TButton(QStringLiteral("..."), this);
  btnOpenOutput->setGeometry(398, 129, 30, 21);
  btnOpenOutput->setToolTip(QStringLiteral("Click here to choose where the output goes..."));
  btnOpenOutput->setAutoDefault(true);

  Label1 = label(this, 11, 157, QStringLiteral("Output settings:"));
  // A drop-down list: only the presets can be chosen, nothing typed.
  cbFormats = new TPresetList(this);
  cbFormats->setGeometry(11, 174, 380, 21);
  cbFormats->setEditable(false);

  Bevel2 = new TBevel(this);
  Bevel2->setGeometry(5, 204, 435, 19);

  lbEstimatedTime = label(this, 11, 228, QStringLiteral("Estimated time:"));
  // The two times' colons one above the other (as the layout's 21 and 11
  // meant with its own face), so the figures after them line up too.
  const QFontMetrics fm(font);
  lbElapsedTime = label(this, 11 + fm.horizontalAdvance(QStringLiteral("Estimated time:")) -
                                  fm.horizontalAdvance(QStringLiteral("Elapsed time:")),
                        210, QStringLiteral("Elapsed time:"));

  btnConvert = new TButton(QStringLiteral("Convert"), this);
  btnConvert->setGeometry(270, 212, 75, 25);
  btnConvert->setEnabled(false);
  btnConvert->setDefault(true);  // Enter presses it (see keyPressEvent)
  btnStop = new TButton(QStringLiteral("Stop"), this);
  btnStop->setGeometry(353, 212, 75, 25);
  btnStop->setEnabled(false);
  btnStop->setAutoDefault(true);

  ProgressBar1 = new QProgressBar(this);
  ProgressBar1->setGeometry(11, 250, 417, 10);
  ProgressBar1->setRange(0, 100);
  ProgressBar1->setValue(0);
  ProgressBar1->setTextVisible(false);

  StatusBar = new TStatusBar(this);
  StatusBar->setGeometry(0, FormHeight - StatusBarHeight, FormWidth, StatusBarHeight);
  StatusBar->AddPanel(150, QStringLiteral("Status: Ready"), Qt::AlignLeft | Qt::AlignVCenter,
                      {QStringLiteral("Status: Converting..."), QStringLiteral("Status: Conversion stopped"),
                       QStringLiteral("Status: Done")});
  StatusBar->AddPanel(225, QString(), Qt::AlignLeft | Qt::AlignVCenter, {}, true);
  StatusBar->AddPanel(53, QStringLiteral("0%"), Qt::AlignCenter, {QStringLiteral("100%")});
  // A text too long for its panel is shown whole on a click.
  for (int i = 0; i < StatusBar->PanelCount(); ++i)
    StatusBar->Panel(i)->OnClick = [this, i] {
      if (StatusBar->Panel(i)->Elided()) ShowMessage(StatusBar->PanelText(i));
    };
  QueueView = new TQueueView(this);

  // Tab order follows the layout order.
  QWidget::setTabOrder(edFileInput, btnOpenInput);
  QWidget::setTabOrder(btnOpenInput, edFileOutput);
  QWidget::setTabOrder(edFileOutput, btnOpenOutput);
  QWidget::setTabOrder(btnOpenOutput, cbFormats);
  QWidget::setTabOrder(cbFormats, btnConvert);
  QWidget::setTabOrder(btnConvert, btnStop);

  QObject::connect(btnOpenInput, &QPushButton::clicked, this, [this] { btnOpenInputClick(); });
  QObject::connect(btnOpenOutput, &QPushButton::clicked, this, [this] { btnOpenOutputClick(); });
  QObject::connect(btnConvert, &QPushButton::clicked, this, [this] { btnConvertClick(); });
  QObject::connect(btnStop, &QPushButton::clicked, this, [this] { btnStopClick(); });
  // The user's changes only: a pick from the list, a key or the wheel.
  QObject::connect(cbFormats, &QComboBox::activated, this, [this](int) { cbFormatsChange(); });
  QObject::connect(edFileInput, &QLineEdit::textEdited, this, [this](const QString &) { edFileInputEdited(); });
  // Leaving the box configures the task from what it names (Enter is
  // handled in the event filter, which must keep it from reaching Convert).
  // (Qt emits it on leaving only when the text changed since the last time,
  // so passing through the box changes nothing.)
  // Only a name the user typed: the queue sets the box itself, and leaving it
  // afterwards must not start over from the name it left there.
  QObject::connect(edFileInput, &QLineEdit::editingFinished, this, [this] {
    if (FBoxEdited) ConfigureFromInputBox();
  });
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

  // The open dialog is made afresh for every pick (CreateOpenDialog).

  cbFormats->clear();
  FRewrapEntry = rkNone;
  LoadPresets(FPresetFile);
  FPresetEntries.clear();
  for (size_t i = 0; i < Presets.size(); ++i) {
    if (!Presets[i].Problem.empty()) {
      std::fprintf(stderr, "The preset '%s' cannot be used: %s\n", Presets[i].Name.c_str(), Presets[i].Problem.c_str());
      continue;
    }
    cbFormats->addItem(FromStd(Presets[i].Name));
    FPresetEntries.push_back(i);
  }
  if (cbFormats->count() > 0) cbFormats->setCurrentIndex(0);
  FitPresetPopup();

  // The choices of earlier sessions: the preset last converted with, if the
  // preset file still has it.
  FOutputFolder = Settings->value(KeyOutputFolder).toString();
  FPreferRewrap = Settings->value(KeyRewrap, true).toBool();
  FPreferredPreset = Settings->value(KeyPreset).toString();
  actKeepDates->setChecked(Settings->value(KeyKeepDates, false).toBool());
  const int remembered = FPreferredPreset.isEmpty() ? -1 : cbFormats->findText(FPreferredPreset, Qt::MatchExactly);
  if (remembered >= 0) cbFormats->setCurrentIndex(remembered);
}

void TfrmMain::ApplyPreferredEntry(bool AWasRewrap) {
  if (FRewrapEntry != rkNone && FPreferRewrap) {
    cbFormats->setCurrentIndex(0);
    return;
  }
  const int offset = FRewrapEntry != rkNone ? 1 : 0;
  if (cbFormats->currentIndex() < offset || (AWasRewrap && FRewrapEntry == rkNone)) {
    // The rewrap was chosen but does not count for this file: the preset
    // last converted with, else the first.
    const int remembered = FPreferredPreset.isEmpty() ? -1 : cbFormats->findText(FPreferredPreset, Qt::MatchExactly);
    cbFormats->setCurrentIndex(remembered >= offset ? remembered : (cbFormats->count() > offset ? offset : -1));
  }
}

void TfrmMain::RememberEntry() {
  if (FRewrapEntry != rkNone) {
    FPreferRewrap = SelectedRewrap() != rkNone;
    Settings->setValue(KeyRewrap, FPreferRewrap);
  }
  if (const TFormat *preset = SelectedPreset()) {
    FPreferredPreset = FromStd(preset->Name);
    Settings->setValue(KeyPreset, FPreferredPreset);
  }
  Settings->sync();
}

void TfrmMain::KeepDatesClick() {
  Settings->setValue(KeyKeepDates, actKeepDates->isChecked());
  Settings->sync();
  // The configured task publishes with the choice it was given: give it the new one.
  if (!FConverting && !QueuePending() && TaskMatchesInputBox() && FileExists(edFileInput->text())) ChangeFile();
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

void TfrmMain::QuitNow() {
  close();
  if (ExitProgram) ExitProgram(128 + FQuitSignal);
}

TPublishOptions TfrmMain::PublishOptionsFor(const QString &AInput, const std::string &AOutput) const {
  TPublishOptions publish;
  publish.KeepDates = actKeepDates->isChecked();
  const QString output = FileNameFromStd(AOutput);
  // A name chosen over an existing file was confirmed in the save dialog.
  publish.Replace = !FChosenOutput.isEmpty() && FChosenOutput == output && QFileInfo::exists(output);
  // Taken meanwhile by another program: the next free name of the rule, in
  // the same folder (asked on the worker thread, so no Qt in it).
  const std::string base =
      FileNameToStd(QDir(QFileInfo(output).absolutePath()).filePath(QFileInfo(AInput).fileName()));
  publish.NextFreeName = [base] { return MakeOutputName(base, ".mp4"); };
  return publish;
}

void TfrmMain::FitPresetPopup() {
  // The open list shows every name whole, however narrow the box.
  int widest = 0;
  for (int i = 0; i < cbFormats->count(); ++i)
    widest = std::max(widest, cbFormats->view()->fontMetrics().horizontalAdvance(cbFormats->itemText(i)));
  cbFormats->view()->setMinimumWidth(widest + 40);
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

bool TfrmMain::LoadLibraries() {
  if (Strix->LoadLibraries(FLibraryFolder, true)) return true;
  ShowMessage(FromStd(Strix->LastError()));
  return false;
}

std::unique_ptr<QFileDialog> TfrmMain::CreateOpenDialog() {
  auto dialog = std::make_unique<QFileDialog>(this);
  // Several files make a queue.
  dialog->setFileMode(QFileDialog::ExistingFiles);
  dialog->setAcceptMode(QFileDialog::AcceptOpen);
  dialog->setSizeGripEnabled(true);
  // Masks are matched case-sensitively here, so both spellings are listed.
  dialog->setNameFilter(QStringLiteral("FLV Files (*.FLV *.flv)"));
  if (!FLastFolder.isEmpty()) dialog->setDirectory(FLastFolder);
  return dialog;
}

void TfrmMain::DestroyOpenDialog() {
  if (!OpenDialog1) return;
  // Enter in the file name box accepts the dialog while the box's completion
  // list is still open; the list is a top-level popup that would stay on
  // screen, holding the mouse and keyboard grab, and swallow the next click.
  for (QCompleter *completer : OpenDialog1->findChildren<QCompleter *>())
    if (completer->popup()) completer->popup()->hide();
  OpenDialog1.reset();
}

void TfrmMain::btnOpenInputClick() {
  QPalette pal = pTop->palette();
  pal.setColor(QPalette::Window, Qt::white);
  pTop->setPalette(pal);
  if (!LoadLibraries()) return;
  OpenDialog1 = CreateOpenDialog();
  QStringList names = ExecuteOpenDialog ? ExecuteOpenDialog(*OpenDialog1) : QStringList();
  DestroyOpenDialog();
  names.removeAll(QString());
  if (names.isEmpty()) return;
  if (names.size() == 1)
    OpenInputFile(names.first());
  else
    OpenQueue(names);
}

void TfrmMain::btnOpenOutputClick() {
  if (FConverting) return;
  auto dialog = std::make_unique<QFileDialog>(this);
  dialog->setSizeGripEnabled(true);
  const QString input = edFileInput->text();
  auto run = [this, &dialog] {
    OpenDialog1 = std::move(dialog);
    QStringList names = ExecuteSaveDialog ? ExecuteSaveDialog(*OpenDialog1) : QStringList();
    DestroyOpenDialog();
    names.removeAll(QString());
    return names;
  };
  if (QueuePending()) {
    // Several files: a folder for all of them.
    dialog->setWindowTitle(QStringLiteral("Choose the output folder"));
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    dialog->setFileMode(QFileDialog::Directory);
    dialog->setOption(QFileDialog::ShowDirsOnly);
    const QString start = !FQueueFolder.isEmpty() ? FQueueFolder : !FOutputFolder.isEmpty() ? FOutputFolder : FLastFolder;
    if (!start.isEmpty()) dialog->setDirectory(start);
    const QStringList names = run();
    if (names.isEmpty()) return;
    FQueueFolder = QFileInfo(names.first()).absoluteFilePath();
    FOutputFolder = FQueueFolder;
    Settings->setValue(KeyOutputFolder, FOutputFolder);
    edFileOutput->setText(DeriveOutputName(FQueue.front().Input, FQueueFolder));
    FOutputFor = FQueue.front().Input;
    ShowQueueSummary();
    return;
  }
  dialog->setWindowTitle(QStringLiteral("Save As"));
  dialog->setAcceptMode(QFileDialog::AcceptSave);
  dialog->setFileMode(QFileDialog::AnyFile);
  // Masks are matched case-sensitively here, so both spellings are listed.
  dialog->setNameFilter(QStringLiteral("MP4 Files (*.mp4 *.MP4)"));
  dialog->setDefaultSuffix(QStringLiteral("mp4"));
  // It starts at the name the output would get; where that folder cannot be
  // written to, in the folder chosen last.
  QString start = edFileOutput->text();
  if (start.isEmpty() && FileExists(input)) start = DeriveOutputName(input);
  if (!start.isEmpty() && !ReadOnlyFolderText(start).isEmpty() && !FOutputFolder.isEmpty())
    start = DeriveOutputName(FileExists(input) ? input : start, FOutputFolder);
  if (!start.isEmpty()) {
    dialog->setDirectory(QFileInfo(start).absolutePath());
    dialog->selectFile(QFileInfo(start).fileName());
  } else if (!FOutputFolder.isEmpty()) {
    dialog->setDirectory(FOutputFolder);
  }
  const QStringList names = run();
  if (names.isEmpty()) return;
  const QString chosen = QFileInfo(names.first()).absoluteFilePath();
  if (FileExists(input) && QFileInfo(chosen) == QFileInfo(input)) {
    ShowOutputProblem(QStringLiteral("The output cannot be the input file itself: choose another name"));
    return;
  }
  edFileOutput->setText(chosen);
  FChosenOutput = chosen;
  FOutputFor = input;
  FOutputFolder = QFileInfo(chosen).absolutePath();
  Settings->setValue(KeyOutputFolder, FOutputFolder);
  ReconfigureForOutput();
}

int TfrmMain::AddInputTask(const std::string &AInput) {
  const int index = Strix->AddTask(AInput, ConvertInputRecord(AInput));
  try {
    Strix->Probe().LoadFile(AInput, "");
  } catch (const std::exception &) {
    // The report is optional; the double-click then shows nothing useful.
  }
  if (index < 0) {
    SetRewrapEntry(rkNone);
    ShowReason(QStringLiteral("File open error: ") + FromStd(Strix->LastError()));
  }
  return index;
}

void TfrmMain::ReconfigureForOutput() {
  const QString inputName = edFileInput->text();
  if (!FileExists(inputName)) return;
  ForgetTask();
  const std::string input = FileNameToStd(inputName);
  const int index = AddInputTask(input);
  if (index < 0) return;
  QString error;
  if (ConfigureOutput(index, inputName, FileNameToStd(edFileOutput->text()), error))
    btnConvert->setFocus();
  else if (!error.isEmpty())
    ShowReason(QStringLiteral("Cannot do convert, error: ") + error);
}

void TfrmMain::OpenFiles(const QStringList &AFileNames) {
  if (!btnOpenInput->isEnabled()) return;
  QStringList taken, missing;
  for (const QString &name : AFileNames) {
    if (name.isEmpty()) continue;
    const QString full = QFileInfo(name).absoluteFilePath();
    if (!FileExists(full))
      missing.push_back(name);
    else if (!taken.contains(full))
      taken.push_back(full);
  }
  if (taken.isEmpty()) {
    if (!missing.isEmpty()) ShowReason(QStringLiteral("File not found: ") + QDir::toNativeSeparators(missing.first()));
    return;
  }
  if (!LoadLibraries()) return;
  if (taken.size() > 1) {
    OpenQueue(taken, static_cast<int>(missing.size()));
    return;
  }
  OpenInputFile(taken.first());
  if (!missing.isEmpty() && !FReasonShown) {
    const QString others = missing.size() == 1 ? QStringLiteral("1 other file ignored")
                                               : QStringLiteral("%1 other files ignored").arg(missing.size());
    StatusBar->SetPanelText(1, StatusBar->PanelText(1) + QStringLiteral("; ") + others);
  }
}

void TfrmMain::DropFiles(const QStringList &AFileNames) {
  // Not while a conversion runs: the open button is disabled then.
  if (!btnOpenInput->isEnabled()) return;
  QStringList taken;
  for (const QString &name : AFileNames)
    if (IsDroppableFile(name) && !taken.contains(name)) taken.push_back(name);
  if (taken.isEmpty()) return;
  if (!LoadLibraries()) return;
  const int ignored = static_cast<int>(AFileNames.size() - taken.size());
  if (taken.size() > 1) {
    OpenQueue(taken, ignored);
    return;
  }
  OpenInputFile(taken.first());
  // The refusal of the taken file matters more.
  if (ignored > 0 && !FReasonShown) {
    const QString others = ignored == 1 ? QStringLiteral("1 other file ignored")
                                        : QStringLiteral("%1 other files ignored").arg(ignored);
    const QString size = StatusBar->PanelText(1);
    StatusBar->SetPanelText(1, size.isEmpty() ? others : size + QStringLiteral("; ") + others);
  }
}

void TfrmMain::ForgetTask() {
  Strix->DeleteAllTasks();
  FTaskInput.clear();
  btnConvert->setEnabled(false);
}

void TfrmMain::OpenInputFile(const QString &AFileName) {
  ProgressBar1->setValue(0);
  // The task list is empty now; Convert would start nothing and the window
  // would wait for an end that never comes.
  ForgetTask();
  ClearQueue();
  QueueView->hide();
  ResetPanels();
  ClearRunFigures();
  FLastFolder = QFileInfo(AFileName).absolutePath();

  edFileInput->setText(AFileName);
  const std::string input = FileNameToStd(AFileName);
  edFileOutput->setText(DeriveOutputName(AFileName));
  FOutputFor = AFileName;
  FChosenOutput.clear();
  // Opening a FIFO would wait for a writer, and the window with it.
  if (const std::string reason = NotRegularFileText(input); !reason.empty()) {
    SetRewrapEntry(rkNone);
    ShowReason(FromStd(reason));
    return;
  }

  const int index = AddInputTask(input);
  if (index < 0) return;
  QString error;
  if (ConfigureOutput(index, AFileName, FileNameToStd(edFileOutput->text()), error, true))
    btnConvert->setFocus();
  else if (!error.isEmpty())
    ShowReason(QStringLiteral("Cannot do convert, error: ") + error);
}

QString TfrmMain::DeriveOutputName(const QString &AInput, const QString &AFolder) {
  const QString base = AFolder.isEmpty() ? AInput : QDir(AFolder).filePath(QFileInfo(AInput).fileName());
  return FileNameFromStd(MakeOutputName(FileNameToStd(base), ".mp4"));
}

QString TfrmMain::ReadOnlyFolderText(const QString &AOutput) {
  const QFileInfo folder(QFileInfo(AOutput).absolutePath());
  if (folder.isDir() && folder.isWritable()) return {};
  return QStringLiteral("The folder %1 is read-only: choose where to save the output with \"...\"")
      .arg(QDir::toNativeSeparators(folder.absoluteFilePath()));
}

void TfrmMain::ShowOutputProblem(const QString &AText) {
  ShowReason(AText);
  btnConvert->setEnabled(false);
  btnOpenOutput->setFocus();
}

bool TfrmMain::ConfigureOutput(int AIndex, const QString &AInput, const std::string &AOutput, QString &AError,
                               bool ANewPick) {
  const TFFmpeg &task = Strix->Tasks(AIndex);
  ShowFindings(task);
  TSourceInfo source = DescribeSource(task.InputContext(0));
  const TRewrapKind kind = RewrapKindOf(source);
  // The stream sizes (for the rewrap's expected size) are read once a file.
  if (AInput == FSourceFile && FSource.VideoBytes >= 0) {
    source.VideoBytes = FSource.VideoBytes, source.VideoPackets = FSource.VideoPackets;
    source.AudioBytes = FSource.AudioBytes, source.AudioPackets = FSource.AudioPackets;
  } else if (kind != rkNone) {
    ScanStreamSizes(FileNameToStd(AInput), source);
  }
  FSource = source;
  FSourceFile = AInput;
  const bool wasRewrap = SelectedRewrap() != rkNone;
  SetRewrapEntry(kind);
  if (ANewPick) ApplyPreferredEntry(wasRewrap);

  TOutputOptions record;
  if (SelectedRewrap() != rkNone) {
    record = RewrapOutputRecord(kind, source);
  } else {
    const QString missing = MissingEncoderText();
    if (!missing.isEmpty()) {
      Strix->DeleteTask(AIndex);
      ShowReason(missing);
      return false;
    }
    record = ConvertOutputRecord(SelectedPreset(), &source);
  }
  // The libraries would only say they "Could not open" it.
  const QString readOnly = ReadOnlyFolderText(FileNameFromStd(AOutput));
  if (!readOnly.isEmpty()) {
    Strix->DeleteTask(AIndex);
    ShowOutputProblem(readOnly);
    return false;
  }
  // What a conversion of this name that was killed left behind goes now; the
  // task's own temporary then reserves the name until it is published.
  TTempSweeper().Sweep(AOutput);
  if (!Strix->AddTaskOutput(AIndex, AOutput, record, PublishOptionsFor(AInput, AOutput))) {
    AError = FromStd(Strix->LastError());
    Strix->DeleteTask(AIndex);
    return false;
  }
  FTaskInput = AInput;
  btnConvert->setEnabled(true);
  // A refusal shown earlier no longer holds; the new task's size does.
  ClearReason(FromStd(ExpectedSizeText(EstimateOutputSize(record, source))));
  return true;
}

QString TfrmMain::MissingEncoderText() const {
  const TFormat *preset = SelectedPreset();
  const std::string missing = preset ? MissingEncoder(*preset) : std::string();
  if (missing.empty()) return {};
  return QStringLiteral("This preset needs the encoder '%1', which the media libraries lack").arg(FromStd(missing));
}

void TfrmMain::SetRewrapEntry(TRewrapKind AKind) {
  if (AKind == FRewrapEntry) return;
  const int offset = FRewrapEntry != rkNone ? 1 : 0;
  const bool rewrapChosen = offset == 1 && cbFormats->currentIndex() == 0;
  const int preset = cbFormats->currentIndex() - offset;  // below 0: the rewrap or nothing
  if (offset == 1) cbFormats->removeItem(0);
  FRewrapEntry = AKind;
  const int newOffset = AKind != rkNone ? 1 : 0;
  if (AKind != rkNone) cbFormats->insertItem(0, FromStd(RewrapName(AKind)));
  // The user's choice holds: the same preset, or the rewrap while files
  // allow one (else the first preset, as at start).
  if (rewrapChosen)
    cbFormats->setCurrentIndex(AKind != rkNone ? 0 : (FPresetEntries.empty() ? -1 : 0));
  else
    cbFormats->setCurrentIndex(preset >= 0 ? preset + newOffset : -1);
  FitPresetPopup();
}

TRewrapKind TfrmMain::SelectedRewrap() const {
  return FRewrapEntry != rkNone && cbFormats->currentIndex() == 0 ? FRewrapEntry : rkNone;
}

bool TfrmMain::TaskMatchesInputBox() const {
  return !FTaskInput.isEmpty() && Strix->TaskCount() > 0 && edFileInput->text() == FTaskInput;
}

bool TfrmMain::ReadyToConvert() const {
  if (QueuePending()) return edFileInput->text() == FQueue.front().Input;
  return TaskMatchesInputBox();
}

void TfrmMain::edFileInputEdited() {
  if (FConverting) return;
  FBoxEdited = true;
  // The task was configured for another name; Convert would convert that.
  btnConvert->setEnabled(ReadyToConvert());
}

void TfrmMain::ConfigureFromInputBox() {
  // Closing moves the focus out of the box too; nothing to configure then.
  if (FClosed || FConverting) return;
  FBoxEdited = false;
  if (ReadyToConvert()) return;
  const QString name = edFileInput->text().trimmed();
  if (name.isEmpty()) {
    ForgetTask();
    ClearQueue();
    QueueView->hide();
    edFileOutput->clear();
    FOutputFor.clear();
    return;
  }
  if (!LoadLibraries()) return;
  OpenInputFile(name);
}

const TFormat *TfrmMain::SelectedPreset() const {
  const int i = cbFormats->currentIndex() - (FRewrapEntry != rkNone ? 1 : 0);
  if (i < 0 || static_cast<size_t>(i) >= FPresetEntries.size() || FPresetEntries[i] >= Presets.size()) return nullptr;
  return &Presets[FPresetEntries[static_cast<size_t>(i)]];
}

void TfrmMain::cbFormatsChange() {
  if (QueuePending()) {
    ShowQueueSummary();
    return;
  }
  if (FileExists(edFileInput->text())) {
    ChangeFile();
    return;
  }
  // No file yet: a preset that cannot work says so at once. Nothing else is
  // loaded or shown without a file.
  const TFormat *preset = SelectedPreset();
  const bool namesEncoders = preset && (!preset->VideoCodec.empty() || !preset->AudioCodec.empty());
  if (namesEncoders && Strix->LoadLibraries(FLibraryFolder, true)) {
    const QString missing = MissingEncoderText();
    if (!missing.isEmpty()) {
      ShowReason(missing);
      return;
    }
  }
  if (FReasonShown && StatusBar->PanelText(1).startsWith(QStringLiteral("This preset needs the encoder")))
    ClearReason(QString());
}

void TfrmMain::ChangeFile() {
  ForgetTask();

  const QString inputName = edFileInput->text();
  const std::string input = FileNameToStd(inputName);
  std::string output = FileNameToStd(edFileOutput->text());
  // The output name belongs to the file it was derived from; a name typed
  // since gets its own. After a finished run the named output holds that
  // run's result; converting again must not write over it.
  // A name the user chose stays as it is until its run ends; a fresh name
  // stays in the folder the user chose.
  const bool chosen = !FChosenOutput.isEmpty() && FChosenOutput == edFileOutput->text() && FOutputFor == inputName;
  if (!chosen && (output.empty() || FOutputFor != inputName || QFileInfo::exists(edFileOutput->text()) ||
                  QFileInfo(edFileOutput->text()).isSymLink())) {
    const QString folder = FOutputFor == inputName && !output.empty() ? QFileInfo(edFileOutput->text()).absolutePath()
                                                                       : QString();
    edFileOutput->setText(DeriveOutputName(inputName, folder));
    output = FileNameToStd(edFileOutput->text());
    FOutputFor = inputName;
    FChosenOutput.clear();
  }
  if (const std::string reason = NotRegularFileText(input); !reason.empty()) {
    SetRewrapEntry(rkNone);
    ShowReason(FromStd(reason));
    return;
  }

  const int index = Strix->AddTask(input, ConvertInputRecord(input));
  try {
    Strix->Probe().LoadFile(input, "");
  } catch (const std::exception &) {
  }
  if (index < 0) {
    SetRewrapEntry(rkNone);
    ShowMessage(QStringLiteral("File open error: ") + FromStd(Strix->LastError()));
    return;
  }
  QString error;
  if (ConfigureOutput(index, inputName, output, error)) {
    // A key or the wheel on the closed list leaves the focus there, so the
    // next key goes on choosing instead of pressing Convert.
    if (!cbFormats->ChangingInPlace()) btnConvert->setFocus();
  } else if (!error.isEmpty()) {
    ShowMessage(QStringLiteral("Cannot do convert, error: ") + error);
  }
}

void TfrmMain::btnConvertClick() {
  if (QueuePending() && ReadyToConvert()) {
    // A file of the queue that is missing by now fails in its turn.
    const QString missing = SelectedRewrap() == rkNone ? MissingEncoderText() : QString();
    if (!missing.isEmpty()) {
      ShowReason(missing);
      return;
    }
    BeginRun();
    FQueueRunning = true;
    FQueuePos = 0;
    StartQueueItem();
    return;
  }
  if (!FileExists(edFileInput->text())) {
    if (ShowMessageBox) ShowMessageBox(QStringLiteral("Input file does not exists"), QString::fromLatin1(AppTitle), miExclamation);
    return;
  }
  // Only ever convert the file the box names.
  if (!TaskMatchesInputBox()) {
    ConfigureFromInputBox();
    if (!TaskMatchesInputBox()) return;
  }
  BeginRun();
  StatusBar->SetPanelText(0, QStringLiteral("Status: Converting..."));
  Strix->StartTasks(1);
  EstTimer->SetEnabled(true);
}

void TfrmMain::BeginRun() {
  RememberEntry();
  FDoneWarning.clear();
  Strix->SetLogLevel(llInfo);
  Strix->SetThreadPriority(tpNormal);
  btnOpenInput->setEnabled(false);
  btnConvert->setEnabled(false);
  btnStop->setEnabled(true);
  CurrentCount = 0;
  cbFormats->setEnabled(false);
  // What runs is what the box names, until the run ends.
  edFileInput->SetReadOnlyLook(true);
  btnOpenOutput->setEnabled(false);
  SetLabelText(lbElapsedTime, QStringLiteral("Elapsed time:"));
  SetLabelText(lbEstimatedTime, QStringLiteral("Estimated time:"));
  FLastElapsed = 0;
  FConverting = true;
  FStopping = false;
  if (Desktop) Desktop->InhibitSleep(QStringLiteral("Converting video"));
}

void TfrmMain::EndRun(const QString &AStatus) {
  btnOpenInput->setEnabled(true);
  btnOpenOutput->setEnabled(true);
  btnConvert->setEnabled(false);
  btnStop->setEnabled(false);
  edFileInput->SetReadOnlyLook(false);
  cbFormats->setEnabled(true);
  FConverting = false;
  FStopping = false;
  StatusBar->SetPanelText(0, AStatus);
  ForgetTask();
  // The output chosen for this run holds its result now; a later run gets a
  // fresh name in the same folder.
  FChosenOutput.clear();
  if (Desktop) Desktop->ReleaseSleep();
  // A question about the run that has just ended has no subject any more.
  if (FQuestion) FQuestion->done(QMessageBox::No);
  if (FQuitSignal) QMetaObject::invokeMethod(this, [this] { QuitNow(); }, Qt::QueuedConnection);
}

void TfrmMain::Announce(const QString &ASummary, const QString &ABody) {
  if (Desktop && !isActiveWindow()) Desktop->Notify(ASummary, ABody);
}

void TfrmMain::btnStopClick() {
  btnStop->setEnabled(false);
  FStopping = true;
  StopTimerKeepingElapsed();
  Strix->StopTasks();
}

void TfrmMain::StopTimerKeepingElapsed() {
  if (EstTimer->Enabled()) EstTimerDisplayElapsedTime(EstTimer, EstTimer->Clock() - EstTimer->StartedAt());
  EstTimer->SetEnabled(false);
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
  // Worker (or terminate) thread: the whole reaction runs on the window
  // thread. Where the output went is known now, and the task's warnings,
  // which its run wrote (raised under the event lock, so the task is still there).
  const TFFmpeg *task = AIndex >= 0 && AIndex < Strix->TaskCount() ? &Strix->Tasks(AIndex) : nullptr;
  const QString published = task ? FileNameFromStd(task->PublishedName()) : QString();
  const QString warning = task ? FromStd(RunWarningsText(task->RunWarnings)) : QString();
  QMetaObject::invokeMethod(
      this,
      [this, AIndex, AFinished, AException, AMessage, published, warning] {
        // The elapsed time of the run stays until the next one starts.
        StopTimerKeepingElapsed();
        SetLabelText(lbEstimatedTime, QStringLiteral("Estimated time:"));
        if (FQueueRunning) {
          const size_t pos = FQueuePos;
          const bool mine = AIndex >= 0 && pos < FQueue.size();
          if (mine && !published.isEmpty()) FQueue[pos].Output = published;
          QueueTaskEnded(AIndex, AFinished, AException, AMessage, warning);
          if (mine && published.isEmpty()) {  // nothing was saved
            FQueue[pos].Output.clear();
            UpdateQueueView();
          }
          return;
        }
        if (AIndex >= 0 && !published.isEmpty() && published != edFileOutput->text()) {
          const QString wanted = QFileInfo(edFileOutput->text()).fileName();
          StatusBar->SetPanelText(
              1, QStringLiteral("Saved as %1: %2 was taken meanwhile").arg(QFileInfo(published).fileName(), wanted));
          edFileOutput->setText(published);
        }
        cbFormats->setEnabled(true);
        if (AIndex < 0) {
          const bool done = ProgressBar1->value() >= 100;
          const QString input = QFileInfo(edFileInput->text()).fileName();
          EndRun(done ? DoneStatus(FDoneWarning) : QStringLiteral("Status: Conversion stopped"));
          FDoneWarning.clear();
          if (FLastFailure.isEmpty())
            Announce(done ? QStringLiteral("Conversion finished") : QStringLiteral("Conversion stopped"),
                     done ? input + QStringLiteral(" -> ") + QFileInfo(edFileOutput->text()).fileName() : input);
          else
            Announce(QStringLiteral("Conversion failed"), input + QStringLiteral(": ") + FLastFailure);
          FLastFailure.clear();
        } else if (AFinished) {
          FDoneWarning = warning;
          ProgressBar1->setValue(100);
          StatusBar->SetPanelText(0, DoneStatus(warning));
          StatusBar->SetPanelText(2, QStringLiteral("100%"));
        }
        if (AException) {
          FLastFailure = FromStd(AMessage);
          if (ShowMessageBox && !FQuitSignal)
            ShowMessageBox(FromStd(AMessage), QCoreApplication::applicationName(), miExclamation);
        }
      },
      Qt::QueuedConnection);
}

// ---------------------------------------------------------------------------
// The queue

void TfrmMain::ClearQueue() {
  FQueue.clear();
  FQueuePos = 0;
  FQueueRunning = false;
  FIgnored = 0;
}

void TfrmMain::OpenQueue(const QStringList &AFileNames, int AIgnored) {
  ProgressBar1->setValue(0);
  ForgetTask();
  ClearQueue();
  ResetPanels();
  ClearRunFigures();
  FQueueFolder.clear();
  FChosenOutput.clear();
  FIgnored = AIgnored;
  FLastFolder = QFileInfo(AFileNames.first()).absolutePath();
  // Each file is read now, for the rewrap entry and the expected size; it is
  // opened for converting only when its turn comes.
  TRewrapKind common = rkCopyAll;
  bool anyReadable = false;
  for (const QString &name : AFileNames) {
    TQueueItem item;
    item.Input = name;
    TAVProbe probe;
    try {
      // A FIFO is not read at all: it fails in its turn, the others go on.
      const std::string special = NotRegularFileText(FileNameToStd(name));
      item.Readable = special.empty() && probe.LoadFile(FileNameToStd(name), "");
      if (!item.Readable)
        item.Problem = WithoutPath(FromStd(special.empty() ? probe.LastError : special), name);
    } catch (const std::exception &e) {
      item.Readable = false;
      item.Problem = WithoutPath(FromStd(e.what()), name);
    }
    if (!item.Readable && item.Problem.isEmpty()) item.Problem = QStringLiteral("Cannot be read");
    if (item.Readable) {
      item.Source = DescribeSource(probe.Context());
      const TRewrapKind kind = RewrapKindOf(item.Source);
      // A long queue is read on the window thread: a few megabytes a file
      // tell its streams' rates well enough.
      if (kind != rkNone) ScanStreamSizes(FileNameToStd(name), item.Source, QueueScanBytes);
      // The entry appears when every file can be rewrapped; its words are
      // those of the least a file allows.
      if (kind == rkNone || common == rkNone)
        common = rkNone;
      else if (kind == rkCopyVideo)
        common = rkCopyVideo;
      anyReadable = true;
    }
    FQueue.push_back(std::move(item));
  }
  const bool wasRewrap = SelectedRewrap() != rkNone;
  SetRewrapEntry(anyReadable ? common : rkNone);
  ApplyPreferredEntry(wasRewrap);

  const QString first = FQueue.front().Input;
  edFileInput->setText(first);
  edFileOutput->setText(DeriveOutputName(first));
  FOutputFor = first;
  try {
    if (NotRegularFileText(FileNameToStd(first)).empty()) Strix->Probe().LoadFile(FileNameToStd(first), "");
  } catch (const std::exception &) {
  }
  btnConvert->setEnabled(true);
  btnConvert->setFocus();
  ShowQueueSummary();
  ShowQueueView();
}

void TfrmMain::ShowQueueView() {
  UpdateQueueView();
  // As tall as its rows, up to eight; more scroll.
  const int rows = std::clamp(static_cast<int>(FQueue.size()), 2, 8);
  QTreeWidget *list = QueueView->List;
  const int listHeight = list->header()->sizeHint().height() + rows * std::max(list->sizeHintForRow(0), 1) +
                         2 * list->frameWidth() + 2;
  list->setFixedHeight(listHeight);
  QueueView->setFixedSize(FormWidth, listHeight + QueueView->Total->sizeHint().height() + 18);
  // Under the window, where the screen has room, else above it. Until the
  // window manager has framed the window its frame is not known; a window
  // just started is placed again once it has been.
  auto place = [this] {
    const QRect frame = frameGeometry();
    const int border = std::max(frame.bottom() - geometry().bottom(), 8);
    const int title = std::max(QueueView->geometry().top() - QueueView->frameGeometry().top(), 30);
    QPoint at(frame.left(), geometry().bottom() + border + 1);
    if (QScreen *screen = this->screen())
      if (at.y() + title + QueueView->height() > screen->availableGeometry().bottom())
        at.setY(std::max(screen->availableGeometry().top(), frame.top() - title - QueueView->height() - border));
    QueueView->move(at);
  };
  place();
  QueueView->show();
  QTimer::singleShot(500, QueueView, place);
}

void TfrmMain::UpdateQueueView() {
  std::vector<std::array<QString, 3>> rows;
  std::vector<QString> problems;
  for (size_t i = 0; i < FQueue.size(); ++i) {
    const TQueueItem &item = FQueue[i];
    QString state, size = item.Expected;
    switch (item.Status) {
      case qsWaiting:
        state = !item.Readable ? QStringLiteral("Cannot be read")
                : FQueueRunning && i == FQueuePos ? QStringLiteral("Converting")
                                                  : QStringLiteral("Waiting");
        break;
      case qsDone:
        state = QStringLiteral("Done");
        break;
      case qsFailed:
        state = QStringLiteral("Failed");
        break;
      case qsStopped:
        state = QStringLiteral("Stopped");
        break;
    }
    if ((item.Status == qsDone || item.Status == qsStopped) && !item.Output.isEmpty())
      size = FromStd(SizeText(QFileInfo(item.Output).size())).trimmed();
    rows.push_back({QFileInfo(item.Input).fileName(), state, size});
    problems.push_back(item.Status == qsFailed ? item.Message : !item.Readable ? item.Problem : QString());
  }
  QueueView->SetRows(rows, problems);
}

void TfrmMain::ShowQueueSummary() {
  const QString missing = SelectedRewrap() == rkNone ? MissingEncoderText() : QString();
  if (!missing.isEmpty()) {
    ShowReason(missing);
    return;
  }
  TSizeEstimate total{0, false};
  int unreadable = 0;
  for (TQueueItem &item : FQueue) {
    item.Expected.clear();
    if (!item.Readable) {
      ++unreadable;
      continue;
    }
    const TRewrapKind kind = SelectedRewrap() != rkNone ? RewrapKindOf(item.Source) : rkNone;
    const TOutputOptions record =
        kind != rkNone ? RewrapOutputRecord(kind, item.Source) : ConvertOutputRecord(SelectedPreset(), &item.Source);
    const TSizeEstimate e = EstimateOutputSize(record, item.Source);
    if (e.Bytes > 0) {
      // "Expected size: ~ 1.57 Mbytes" in the list reads "~ 1.57 Mbytes".
      QString one = FromStd(ExpectedSizeText(e));
      item.Expected = one.mid(one.indexOf(QChar(':')) + 1).simplified();
    }
    if (e.Bytes < 0 || total.Bytes < 0) {
      total.Bytes = -1;
      continue;
    }
    total.Bytes += e.Bytes;
    total.AtMost = total.AtMost || e.AtMost;
  }
  QString text = QStringLiteral("%1 files queued").arg(FQueue.size());
  if (total.Bytes > 0) text += QStringLiteral(". ") + FromStd(ExpectedSizeText(total));
  if (unreadable > 0)
    text += unreadable == 1 ? QStringLiteral("; 1 cannot be read") : QStringLiteral("; %1 cannot be read").arg(unreadable);
  if (FIgnored > 0)
    text += FIgnored == 1 ? QStringLiteral("; 1 other file ignored") : QStringLiteral("; %1 other files ignored").arg(FIgnored);
  if (total.Bytes > 0) {
    const QString all = FromStd(ExpectedSizeText(total));
    QueueView->SetTotal(QStringLiteral("Total expected size: ") + all.mid(all.indexOf(QChar(':')) + 1).simplified());
  } else {
    QueueView->SetTotal(QString());
  }
  UpdateQueueView();
  // Outputs beside inputs in a folder that cannot be written to need a folder chosen.
  for (const TQueueItem &item : FQueue) {
    const QString readOnly = ReadOnlyFolderText(DeriveOutputName(item.Input, FQueueFolder));
    if (item.Readable && !readOnly.isEmpty()) {
      ShowOutputProblem(readOnly);
      return;
    }
  }
  ClearReason(text);
  btnConvert->setEnabled(edFileInput->text() == FQueue.front().Input);
}

void TfrmMain::StartQueueItem() {
  for (; FQueuePos < FQueue.size(); ++FQueuePos) {
    TQueueItem &item = FQueue[FQueuePos];
    ForgetTask();
    ProgressBar1->setValue(0);
    StatusBar->SetPanelText(0, QStringLiteral("Status: Converting %1 of %2...").arg(FQueuePos + 1).arg(FQueue.size()));
    StatusBar->SetPanelText(1, QString());
    StatusBar->SetPanelText(2, QStringLiteral("0%"));
    edFileInput->setText(item.Input);
    const std::string input = FileNameToStd(item.Input);
    edFileOutput->setText(DeriveOutputName(item.Input, FQueueFolder));
    const std::string output = FileNameToStd(edFileOutput->text());
    FOutputFor = item.Input;
    UpdateQueueView();
    if (const std::string reason = NotRegularFileText(input); !reason.empty()) {
      item.Status = qsFailed;
      item.Message = FromStd(reason);
      continue;
    }
    const QString readOnly = ReadOnlyFolderText(edFileOutput->text());
    if (!readOnly.isEmpty()) {
      item.Status = qsFailed;
      item.Message = readOnly.left(readOnly.indexOf(QStringLiteral(": choose")));
      continue;
    }

    const int index = Strix->AddTask(input, ConvertInputRecord(input));
    try {
      Strix->Probe().LoadFile(input, "");
    } catch (const std::exception &) {
    }
    if (index < 0) {
      item.Status = qsFailed;
      item.Message = QStringLiteral("File open error: ") + WithoutPath(FromStd(Strix->LastError()), item.Input);
      continue;
    }
    const TFFmpeg &task = Strix->Tasks(index);
    TSourceInfo source = DescribeSource(task.InputContext(0));
    source.VideoBytes = item.Source.VideoBytes, source.VideoPackets = item.Source.VideoPackets;
    source.AudioBytes = item.Source.AudioBytes, source.AudioPackets = item.Source.AudioPackets;
    TOutputOptions record;
    if (SelectedRewrap() != rkNone) {
      const TRewrapKind kind = RewrapKindOf(source);
      if (kind == rkNone) {
        Strix->DeleteTask(index);
        item.Status = qsFailed;
        item.Message = QStringLiteral("Its video (%1) cannot be copied into MP4")
                           .arg(source.VideoCodec.empty() ? QStringLiteral("none") : FromStd(source.VideoCodec));
        continue;
      }
      record = RewrapOutputRecord(kind, source);
    } else {
      record = ConvertOutputRecord(SelectedPreset(), &source);
    }
    TTempSweeper().Sweep(output);
    if (!Strix->AddTaskOutput(index, output, record, PublishOptionsFor(item.Input, output))) {
      item.Status = qsFailed;
      item.Message = QStringLiteral("Cannot do convert, error: ") + WithoutPath(FromStd(Strix->LastError()), item.Input);
      Strix->DeleteTask(index);
      continue;
    }
    item.Output = edFileOutput->text();
    FTaskInput = item.Input;
    StatusBar->SetPanelText(1, FromStd(ExpectedSizeText(EstimateOutputSize(record, source))));
    // Each file gets its own times.
    ClearRunFigures();
    Strix->StartTasks(1);
    EstTimer->SetEnabled(true);
    return;
  }
  FinishQueue();
}

void TfrmMain::QueueTaskEnded(int AIndex, bool AFinished, bool AException, const std::string &AMessage,
                              const QString &AWarning) {
  if (FQueuePos >= FQueue.size()) return;
  TQueueItem &item = FQueue[FQueuePos];
  if (AIndex >= 0) {
    if (AException) {
      item.Status = qsFailed;
      item.Message = WithoutPath(FromStd(AMessage), item.Output);
    } else if (AFinished) {
      item.Status = qsDone;
      item.Message = AWarning;
      ProgressBar1->setValue(100);
      StatusBar->SetPanelText(2, QStringLiteral("100%"));
    } else {
      item.Status = qsStopped;
    }
    UpdateQueueView();
    return;
  }
  // The file's run is over: the next one, unless Stop was pressed.
  if (item.Status == qsWaiting) item.Status = qsStopped;
  ForgetTask();
  ++FQueuePos;
  if (FStopping) {
    FinishQueue();
    return;
  }
  StartQueueItem();
}

void TfrmMain::FinishQueue() {
  StopTimerKeepingElapsed();
  UpdateQueueView();
  int done = 0, failed = 0, stopped = 0;
  int64_t written = 0;
  QString doneText, failedText, stoppedText, leftText;
  QStringList folders;
  auto name = [](const QString &APath) { return QFileInfo(APath).fileName(); };
  for (const TQueueItem &item : FQueue) {
    const QString input = name(item.Input);
    if (!item.Output.isEmpty()) {
      written += std::max<qint64>(QFileInfo(item.Output).size(), 0);
      const QString folder = QDir::toNativeSeparators(QFileInfo(item.Output).absolutePath());
      if (!folders.contains(folder)) folders.push_back(folder);
    }
    switch (item.Status) {
      case qsDone:
        ++done;
        doneText += input + QStringLiteral(" -> ") + name(item.Output) +
                    (item.Message.isEmpty() ? QString() : QStringLiteral(", but ") + item.Message) + QStringLiteral("\n");
        break;
      case qsFailed:
        ++failed;
        failedText += input + QStringLiteral(": ") + item.Message + QStringLiteral("\n");
        break;
      case qsStopped:
        ++stopped;
        stoppedText += input + (item.Output.isEmpty() ? QString() : QStringLiteral(" -> ") + name(item.Output)) +
                       QStringLiteral("\n");
        break;
      case qsWaiting:
        ++stopped;
        leftText += input + QStringLiteral("\n");
        break;
    }
  }
  const int count = static_cast<int>(FQueue.size());
  QString status;
  if (done == count)
    status = QStringLiteral("Status: Done");
  else if (stopped > 0)
    status = QStringLiteral("Status: Conversion stopped");
  else
    status = QStringLiteral("Status: Done, %1 of %2 converted").arg(done).arg(count);
  EndRun(status);
  FQueueRunning = false;
  // The size of everything the queue wrote, not only of its last file.
  if (!folders.isEmpty())
    StatusBar->SetPanelText(1, QStringLiteral("Output file size: ") + FromStd(SizeText(written)).trimmed() +
                                   QStringLiteral(" in all"));

  QString summary = QStringLiteral("%1 of %2 files converted.").arg(done).arg(count);
  if (!doneText.isEmpty()) summary += QStringLiteral("\n\nConverted:\n") + doneText.trimmed();
  if (!failedText.isEmpty()) summary += QStringLiteral("\n\nFailed:\n") + failedText.trimmed();
  if (!stoppedText.isEmpty()) summary += QStringLiteral("\n\nStopped (the part converted plays):\n") + stoppedText.trimmed();
  if (!leftText.isEmpty()) summary += QStringLiteral("\n\nNot converted:\n") + leftText.trimmed();
  if (!folders.isEmpty()) {
    summary += folders.size() == 1 ? QStringLiteral("\n\nOutput folder:") : QStringLiteral("\n\nOutput folders:");
    for (const QString &folder : folders) summary += QStringLiteral("\n") + ElideMiddle(folder, 60);
  }
  ClearQueue();
  Announce(failed > 0 ? QStringLiteral("Conversions finished, %1 failed").arg(failed)
                      : stopped > 0 ? QStringLiteral("Conversions stopped") : QStringLiteral("Conversions finished"),
           QStringLiteral("%1 of %2 files converted").arg(done).arg(count));
  if (ShowMessageBox && !FQuitSignal)
    ShowMessageBox(summary, QCoreApplication::applicationName(), failed > 0 ? miExclamation : miNone);
}

void TfrmMain::StrixLog(int, TLogLevel, const std::string &) {
  // The window shows no log.
}

void TfrmMain::EstTimerDisplayEstTime(TmsEstTimer *, double TheTime) {
  // The timer projects the whole job's duration; people read "estimated
  // time" as the time still to wait, so the label shows the projection less
  // the elapsed time of the same tick. Nothing is shown until there is a
  // projection.
  const double left = TimeLeft(TheTime, FLastElapsed);
  SetLabelText(lbEstimatedTime, left < 0 ? QStringLiteral("Estimated time:")
                                         : QStringLiteral("Estimated time: ") + FromStd(TimeText(left)));
}

void TfrmMain::EstTimerDisplayElapsedTime(TmsEstTimer *, double TheTime) {
  FLastElapsed = TheTime;
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

void TfrmMain::lbInformationClick() { ShowUserGuide(); }

void TfrmMain::ShowUserGuide(const QString &AAnchor) {
  const QString guide = UserGuideFile(QCoreApplication::applicationDirPath());
  if (!FileExists(guide)) {
    ShowMessage(QStringLiteral("The user guide is missing; it belongs here:\n") + QDir::toNativeSeparators(guide));
    return;
  }
  QUrl url = QUrl::fromLocalFile(guide);
  if (!AAnchor.isEmpty()) url.setFragment(AAnchor);
  if (!OpenUrl || !OpenUrl(url))
    ShowMessage(QStringLiteral("No program to open the user guide was found. You can open it yourself:\n") +
                QDir::toNativeSeparators(guide));
}

QString TfrmMain::AboutText() {
  QString libraries, licence;
  if (Strix->LoadLibraries(FLibraryFolder, true)) {
    auto v = [](unsigned AVersion) {
      return QStringLiteral("%1.%2.%3").arg(AVersion >> 16).arg((AVersion >> 8) & 0xff).arg(AVersion & 0xff);
    };
    libraries = QStringLiteral("libavutil %1, libavcodec %2, libavformat %3, libswscale %4, libswresample %5")
                    .arg(v(AVUtilLib.avutil_version()), v(AVCodecLib.avcodec_version()),
                         v(AVFormatLib.avformat_version()), v(SwScaleLib.swscale_version()),
                         v(SwResampleLib.swresample_version()));
    licence = QString::fromUtf8(AVCodecLib.avcodec_license());
  } else {
    libraries = QStringLiteral("not loaded: ") + FromStd(Strix->LastError());
  }
  QString text = QStringLiteral("Quenvaro ver.") + FromStd(FileVersionText()) +
                 QStringLiteral("\nConverts FLV videos to MP4.\n\nLicence: ") + QStringLiteral(QV_LICENCE) +
                 QStringLiteral("\n\nMedia libraries (FFmpeg, from ") + QDir::toNativeSeparators(FromStd(FLibraryFolder)) +
                 QStringLiteral("):\n") + libraries;
  if (!licence.isEmpty()) text += QStringLiteral("\nTheir licence: ") + licence;
  text += QStringLiteral("\n\nWindow toolkit: Qt %1 (GNU LGPL version 3)").arg(QString::fromLatin1(qVersion()));
  return text;
}

void TfrmMain::ShowAbout() {
  if (ShowMessageBox) ShowMessageBox(AboutText(), QStringLiteral("About Quenvaro"), miNone);
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

QString TfrmMain::DoneStatus(const QString &AWarning) {
  return AWarning.isEmpty() ? QStringLiteral("Status: Done") : QStringLiteral("Status: Done, but ") + AWarning;
}

void TfrmMain::ResetPanels() {
  StatusBar->SetPanelText(0, QStringLiteral("Status: Ready"));
  StatusBar->SetPanelText(1, QString());
  StatusBar->SetPanelText(2, QStringLiteral("0%"));
  FReasonShown = false;
  lbFindings->hide();
  lbFindings->clear();
  FFindingsDetails.clear();
}

void TfrmMain::ShowFindings(const TFFmpeg &ATask) {
  const flv::TFlvSource *source = ATask.InputFileCount > 0 ? ATask.FlvInputs[0].get() : nullptr;
  const std::vector<flv::TFinding> findings = source ? source->Reader().Findings() : std::vector<flv::TFinding>();
  const QString line = FromStd(flv::FindingsSummary(findings));
  FFindingsDetails = FromStd(FindingsDetails(findings));
  // The room right of the box's caption, up to the end of its button.
  const int room = btnOpenInput->geometry().right() - lbFindings->x();
  lbFindings->setText(lbFindings->fontMetrics().elidedText(line, Qt::ElideRight, room));
  lbFindings->adjustSize();
  lbFindings->setVisible(!line.isEmpty());
}

void TfrmMain::ShowReason(const QString &AText) {
  StatusBar->SetPanelText(1, AText);
  // Not "Ready" beside the reason why it is not.
  if (!FConverting) StatusBar->SetPanelText(0, QStringLiteral("Status: Not ready"));
  FReasonShown = true;
}

void TfrmMain::ClearReason(const QString &AText) {
  StatusBar->SetPanelText(1, AText);
  if (!FConverting && StatusBar->PanelText(0) == QStringLiteral("Status: Not ready"))
    StatusBar->SetPanelText(0, QStringLiteral("Status: Ready"));
  FReasonShown = false;
}

void TfrmMain::ClearRunFigures() {
  CurrentCount = 0;
  TotalCount = 0;
  FLastElapsed = 0;
  SetLabelText(lbElapsedTime, QStringLiteral("Elapsed time:"));
  SetLabelText(lbEstimatedTime, QStringLiteral("Estimated time:"));
}

bool TfrmMain::IsDroppableFile(const QString &AFileName) {
  return AFileName.endsWith(QStringLiteral(".flv"), Qt::CaseInsensitive) && FileExists(AFileName);
}

QStringList TfrmMain::DroppedFiles(const QDropEvent &AEvent) {
  QStringList names;
  for (const QUrl &url : AEvent.mimeData()->urls())
    if (url.isLocalFile()) names.push_back(url.toLocalFile());
  return names;
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

void TfrmMain::dragEnterEvent(QDragEnterEvent *AEvent) {
  const QStringList names = DroppedFiles(*AEvent);
  if (btnOpenInput->isEnabled() && std::any_of(names.begin(), names.end(), IsDroppableFile))
    AEvent->acceptProposedAction();
}

void TfrmMain::dragMoveEvent(QDragMoveEvent *AEvent) {
  // Anywhere over the window, the same answer as on entering it.
  const QStringList names = DroppedFiles(*AEvent);
  if (btnOpenInput->isEnabled() && std::any_of(names.begin(), names.end(), IsDroppableFile))
    AEvent->acceptProposedAction();
  else
    AEvent->ignore();
}

void TfrmMain::dropEvent(QDropEvent *AEvent) {
  const QStringList names = DroppedFiles(*AEvent);
  if (names.isEmpty()) return;
  AEvent->acceptProposedAction();
  // Leave the drop handling before any message box of the open runs.
  QMetaObject::invokeMethod(this, [this, names] { DropFiles(names); }, Qt::QueuedConnection);
}
