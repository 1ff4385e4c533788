// TfrmMain: the program's only window. The user picks one FLV file (with the
// "..." button or by dropping it on the window); the window derives the
// output name, configures one conversion task on its TStrix from the selected
// preset, converts on a worker thread with progress, sizes and times, and can
// stop. Double-clicking the input box shows the media report of the file.
//
// Threads: everything here runs on the window thread except StrixProgress,
// StrixTerminate and StrixLog, which the component raises on its worker
// threads; they only post their work to the window thread (queued calls) and
// never touch a widget themselves.
// Failure: failures are shown in message boxes as the handlers describe; the
// dialogs and message boxes go through ExecuteOpenDialog, ShowMessageBox and
// OpenUrl so that a test can replace them.
#pragma once

#include <QFileDialog>
#include <QLabel>
#include <QObject>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "Strix.h"
#include "Tools.h"
#include "msEstTimer.h"

class QComboBox;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QUrl;

// The component's window-thread services on the Qt event loop: callbacks run
// on the thread of AContext (the GUI thread), posted from any thread.
class TQtWindowThread : public TWindowThread {
 public:
  TQtWindowThread();
  ~TQtWindowThread() override;
  void Post(std::function<void()> AFn) override;
  void PostDelayed(int AMilliseconds, std::function<void()> AFn) override;

 private:
  // Lives on the GUI thread; callbacks die with it, so none runs after the
  // window thread object is gone.
  std::unique_ptr<QObject> FContext;
};

// A line across the top of its area, sunken, as between the window's groups.
class TBevel : public QWidget {
 public:
  using QWidget::QWidget;

 protected:
  void paintEvent(QPaintEvent *) override;
};

// A row of fixed-width text panels along the bottom of the window.
class TStatusBar : public QWidget {
 public:
  explicit TStatusBar(QWidget *AParent);
  QLabel *AddPanel(int AWidth, const QString &AText, Qt::Alignment AAlign = Qt::AlignLeft | Qt::AlignVCenter);
  QString PanelText(int AIndex) const;
  void SetPanelText(int AIndex, const QString &AText);
  int PanelCount() const { return static_cast<int>(FPanels.size()); }
  QLabel *Panel(int AIndex) const { return FPanels.at(static_cast<size_t>(AIndex)); }

 private:
  std::vector<QLabel *> FPanels;
  int FRight = 0;
};

// "%8.2f Mbytes" above 1 048 576 bytes, "%8.2f Kbytes" above 1024, else
// "<n> bytes"; the decimal separator is the locale's.
std::string SizeText(int64_t ASize);
// The time of day of a date-time value as "hh:mm:ss" (25 hours: 01:00:00).
std::string TimeText(double ATheTime);

class TfrmMain : public QWidget {
 public:
  enum TMessageIcon { miNone, miExclamation };
  enum TMessageButtons { mbOk };

  // APresetFile: the preset file to read; empty for formats.ini beside the
  // executable. ALibraryFolder: where the media libraries are loaded from;
  // empty for LibAV beside the executable.
  explicit TfrmMain(const std::string &APresetFile = {}, const std::string &ALibraryFolder = {});
  ~TfrmMain() override;

  // ---- what the window asks of the desktop (replaceable by tests) ----
  // Runs the open dialog; the chosen file, or empty when cancelled.
  std::function<QString(QFileDialog &)> ExecuteOpenDialog;
  // A modal message box.
  std::function<void(const QString &AText, const QString &ACaption, TMessageIcon AIcon)> ShowMessageBox;
  std::function<void(const QUrl &)> OpenUrl;

  // ---- handlers ----
  void FormCreate();
  bool FormCloseQuery();
  void FormClose();
  void btnOpenInputClick();
  void ChangeFile();
  void cbFormatsChange();
  void btnConvertClick();
  void btnStopClick();
  void edFileInputDblClick();
  void lbInformationClick();
  // Worker thread: these post to the window thread.
  void StrixProgress(int AIndex, int AFrameNumber, int AFPS, int ACurrentDuration, float AQuality, float ABitRate,
                     int64_t ACurrentSize, int ATotalOutputDuration);
  void StrixTerminate(int AIndex, bool AFinished, bool AException, const std::string &AMessage);
  void StrixLog(int AIndex, TLogLevel ALogLevel, const std::string &AMsg);
  void EstTimerDisplayEstTime(TmsEstTimer *Sender, double TheTime);
  void EstTimerDisplayElapsedTime(TmsEstTimer *Sender, double TheTime);
  void EstTimerGetCurrentCount(TmsEstTimer *Sender, int32_t &Count);
  void EstTimerGetTotalCount(TmsEstTimer *Sender, int32_t &Count);
  // A file dropped on the window: what picking it in the dialog does.
  void DropFile(const QString &AFileName);

  // The preset chosen in cbFormats, or null when none is (no presets, or
  // text typed into the box that names none).
  const TFormat *SelectedPreset() const;

  // ---- controls, in tab and layout order ----
  QWidget *pTop = nullptr;
  QLabel *lbFrom = nullptr;
  QLabel *imgArrow = nullptr;
  QLabel *lbTo = nullptr;
  QLabel *lbInformation = nullptr;
  TBevel *Bevel1 = nullptr;
  QLabel *lbFileInput = nullptr;
  QLineEdit *edFileInput = nullptr;
  QPushButton *btnOpenInput = nullptr;
  QLabel *lbFileOutput = nullptr;
  QLineEdit *edFileOutput = nullptr;
  QPushButton *btnOpenOutput = nullptr;
  QLabel *Label1 = nullptr;
  QComboBox *cbFormats = nullptr;
  TBevel *Bevel2 = nullptr;
  QLabel *lbElapsedTime = nullptr;
  QLabel *lbEstimatedTime = nullptr;
  QPushButton *btnConvert = nullptr;
  QPushButton *btnStop = nullptr;
  QProgressBar *ProgressBar1 = nullptr;
  TStatusBar *StatusBar = nullptr;

  // ---- non-visual members ----
  std::unique_ptr<TQtWindowThread> WindowThread;  // must outlive Strix
  std::unique_ptr<TStrix> Strix;
  QFileDialog *OpenDialog1 = nullptr;
  TmsEstTimer *EstTimer = nullptr;

  // The last progress report's durations (ms), read by the timer. Written on
  // the window thread only (the progress handler posts its update there).
  int32_t CurrentCount = 0;
  int32_t TotalCount = 0;

 protected:
  void closeEvent(QCloseEvent *AEvent) override;
  void dragEnterEvent(QDragEnterEvent *AEvent) override;
  void dropEvent(QDropEvent *AEvent) override;
  bool eventFilter(QObject *AWatched, QEvent *AEvent) override;

 private:
  void CreateControls();
  // Loads the media libraries; false (after showing the loader's text) on failure.
  bool LoadLibraries();
  // Steps 4 to 9 of picking a file, shared by the dialog and dropping.
  void OpenInputFile(const QString &AFileName);
  void SetLabelText(QLabel *ALabel, const QString &AText);
  void ShowMessage(const QString &AText);  // plain box, captioned with the application title
  static bool IsDroppableFile(const QString &AFileName);

  std::string FPresetFile;
  std::string FLibraryFolder;
  bool FClosed = false;
};
