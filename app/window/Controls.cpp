// The window's own controls (see Controls.h).
#include "Controls.h"

#include <QHelpEvent>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyleOptionFrame>
#include <QToolTip>

#include <algorithm>

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

