// TfrmMain: the controls, their places, their tab order and their signals
// (see Main.h). Every place and size is the form's design, in pixels.
#include <QFontDatabase>
#include <QProgressBar>

#include "FormCommon.h"
#include "Main.h"

using namespace qvwindow;

namespace {

// A label at its design place, as large as its text.
QLabel *NewLabel(QWidget *AParent, int ALeft, int ATop, const QString &AText) {
  auto *l = new QLabel(AText, AParent);
  l->move(ALeft, ATop);
  l->adjustSize();
  return l;
}

}  // namespace

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

  CreateHeader(font);
  CreateFileBoxes(font);
  CreateRunControls(font);
  CreateStatusBar();
  QueueView = new TQueueView(this);

  // Tab order follows the layout order.
  QWidget::setTabOrder(edFileInput, btnOpenInput);
  QWidget::setTabOrder(btnOpenInput, edFileOutput);
  QWidget::setTabOrder(edFileOutput, btnOpenOutput);
  QWidget::setTabOrder(btnOpenOutput, cbFormats);
  QWidget::setTabOrder(cbFormats, btnConvert);
  QWidget::setTabOrder(btnConvert, btnStop);

  ConnectControls();
}

void TfrmMain::CreateHeader(const QFont &AFont) {
  pTop = new QWidget(this);
  pTop->setGeometry(0, 0, FormWidth, 57);

  QFont big = AFont;
  big.setBold(true);
  big.setPixelSize(29);
  lbFrom = NewLabel(pTop, 14, 10, QStringLiteral("___"));
  lbFrom->setFont(big);
  lbFrom->setCursor(Qt::PointingHandCursor);
  imgArrow = new QLabel(pTop);
  imgArrow->setGeometry(81, 13, 32, 32);
  imgArrow->setPixmap(QPixmap(QStringLiteral(":/quenvaro/arrow.png")));
  imgArrow->setCursor(Qt::PointingHandCursor);
  lbTo = NewLabel(pTop, 123, 10, QStringLiteral("___"));
  lbTo->setFont(big);
  lbTo->setCursor(Qt::PointingHandCursor);
  lbInformation = NewLabel(pTop, 310, 16, QStringLiteral("More Free Video Tools\nget more information"));
  {
    QFont f = AFont;
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

  bvHeader = new TBevel(this);
  bvHeader->setGeometry(0, 57, FormWidth, 14);
}

void TfrmMain::CreateFileBoxes(const QFont &AFont) {
  lbFileInput = NewLabel(this, 11, 65, QStringLiteral("Select file you want to convert:"));
  lbFindings = NewLabel(this, lbFileInput->geometry().right() + 8, 65, QString());
  {
    QFont f = AFont;
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

  lbFileOutput = NewLabel(this, 11, 111, QStringLiteral("Output file:"));
  edFileOutput = new TPathBox(this);
  edFileOutput->setGeometry(11, 129, 380, 21);
  edFileOutput->SetReadOnlyLook(true);
  edFileOutput->setAcceptDrops(false);
  edFileOutput->setToolTip(QStringLiteral("This box is read only... File name is generated automatically "));
  btnOpenOutput = new TButton(QStringLiteral("..."), this);
  btnOpenOutput->setGeometry(398, 129, 30, 21);
  btnOpenOutput->setToolTip(QStringLiteral("Click here to choose where the output goes..."));
  btnOpenOutput->setAutoDefault(true);

  lbFormats = NewLabel(this, 11, 157, QStringLiteral("Output settings:"));
  // A drop-down list: only the presets can be chosen, nothing typed.
  cbFormats = new TPresetList(this);
  cbFormats->setGeometry(11, 174, 380, 21);
  cbFormats->setEditable(false);
}

void TfrmMain::CreateRunControls(const QFont &AFont) {
  bvRun = new TBevel(this);
  bvRun->setGeometry(5, 204, 435, 19);

  lbEstimatedTime = NewLabel(this, 11, 228, QStringLiteral("Estimated time:"));
  // The two times' colons one above the other, so the figures after them
  // line up too, whatever the face.
  const QFontMetrics fm(AFont);
  lbElapsedTime = NewLabel(this, 11 + fm.horizontalAdvance(QStringLiteral("Estimated time:")) -
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

  pbConversion = new QProgressBar(this);
  pbConversion->setGeometry(11, 250, 417, 10);
  pbConversion->setRange(0, 100);
  pbConversion->setValue(0);
  pbConversion->setTextVisible(false);
}

void TfrmMain::CreateStatusBar() {
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
}

void TfrmMain::ConnectControls() {
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
