// The window's own controls, each a Qt widget with the look or the behaviour
// the window needs: the bevel line between its groups, the status bar and
// its panels, the file name boxes, the buttons and the preset list.
//
// Threads: the GUI thread only, like every widget.
// Failure: nothing here fails; a text too wide for its place is elided and
// shown whole in a tooltip or on a click.
#pragma once

#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QStringList>
#include <QWidget>

#include <functional>
#include <vector>

// A line across the top of its area, sunken, as between the window's groups.
class TBevel : public QWidget {
 public:
  using QWidget::QWidget;

 protected:
  void paintEvent(QPaintEvent *) override;
};

// One sunken text panel of the status bar. A text wider than the panel is
// elided in the middle (a long path keeps its start and its file name), and
// the whole text is then the panel's tooltip.
class TStatusPanel : public QLabel {
 public:
  TStatusPanel(const QString &AText, Qt::Alignment AAlign, QWidget *AParent);
  // Width that shows AText on one line, frame and indent included.
  int WidthFor(const QString &AText) const;
  // Whether the current text is wider than the panel.
  bool Elided() const;
  // The text as painted.
  QString ShownText() const;
  // Keeps the tooltip in step with the text and the width.
  void UpdateToolTip();
  // A click on the panel (the window shows an elided text whole).
  std::function<void()> OnClick;

 protected:
  void paintEvent(QPaintEvent *) override;
  void mouseReleaseEvent(QMouseEvent *AEvent) override;

 private:
  QRect TextArea() const;
};

// A row of text panels along the bottom of the window, always one line high.
// Every panel but the stretching one is as wide as its widest expected text
// needs (never less than its design width); the stretching panel takes the
// rest of the row.
class TStatusBar : public QWidget {
 public:
  explicit TStatusBar(QWidget *AParent);
  // AFitTexts: the texts the panel must show uncut (its own text counts too);
  // AStretch: the panel that takes what the others leave.
  TStatusPanel *AddPanel(int AWidth, const QString &AText, Qt::Alignment AAlign = Qt::AlignLeft | Qt::AlignVCenter,
                         const QStringList &AFitTexts = {}, bool AStretch = false);
  QString PanelText(int AIndex) const;
  void SetPanelText(int AIndex, const QString &AText);
  int PanelCount() const { return static_cast<int>(FPanels.size()); }
  TStatusPanel *Panel(int AIndex) const { return FPanels.at(static_cast<size_t>(AIndex)).Label; }
  // Lays the panels out along the bar's current width.
  void Relayout();

 protected:
  void resizeEvent(QResizeEvent *) override;

 private:
  struct TPanel {
    TStatusPanel *Label;
    int DesignWidth;
    QStringList FitTexts;
    bool Stretch;
  };
  int FixedWidth(const TPanel &APanel) const;
  // Each panel's width along the bar, gap included.
  std::vector<int> PanelWidths() const;
  std::vector<TPanel> FPanels;
};

// An edit box for a file name. Without the focus, a name wider than the box
// is shown elided in the middle, so the file's own name stays in sight, and
// its tooltip adds the whole name; with the focus it is edited as a whole.
// A read-only box looks read-only (the window's colour behind the text).
class TPathBox : public QLineEdit {
 public:
  using QLineEdit::QLineEdit;
  void SetReadOnlyLook(bool AReadOnly);
  // Whether the name is wider than the box.
  bool Elided() const;
  // The tooltip as shown: the hint, and the whole name when it is elided.
  QString ShownToolTip() const;

 protected:
  void paintEvent(QPaintEvent *AEvent) override;
  bool event(QEvent *AEvent) override;

 private:
  QRect TextRect() const;
};

// A push button whose keyboard focus shows as a ring in the highlight colour
// inside its edge, unlike the frame it has as the default button.
class TButton : public QPushButton {
 public:
  using QPushButton::QPushButton;

 protected:
  void paintEvent(QPaintEvent *AEvent) override;
};

// The preset list: a drop-down list (nothing can be typed into it) that tells
// whether a change of its entry comes from a key or the wheel on the closed
// list, which must not move the focus away from it.
class TPresetList : public QComboBox {
 public:
  using QComboBox::QComboBox;
  bool ChangingInPlace() const { return FInPlace; }

 protected:
  void keyPressEvent(QKeyEvent *AEvent) override;
  void wheelEvent(QWheelEvent *AEvent) override;

 private:
  bool FInPlace = false;  // window thread only
};
