// TfrmMain: the program's only window. The user picks one FLV file (with the
// "..." button, by dropping it on the window, or by typing its name into the
// input box); the window derives the output name, configures one conversion
// task on its TStrix from the selected preset, converts on a worker thread
// with progress, sizes and times, and can stop. Double-clicking the input box
// shows the media report of the file.
//
// The configured task always belongs to the file the input box names: editing
// the box disables Convert until the task is configured again from the box
// (Enter, leaving the box, or Convert itself). Once configured, the status bar
// tells the output's expected size.
//
// For a file whose streams MP4 carries as they are (H.264 video), the preset
// list starts with a rewrap entry that copies them instead of converting.
//
// Several files picked or dropped at once form a queue: they are converted
// one after another with the selected entry, each configured when its turn
// comes; one that fails does not stop the others, Stop stops the running one
// and the rest, and a message at the end tells what became of each.
//
// The output goes beside the input unless the user chooses another name (or,
// for a queue, another folder) with the output's "..." button; a folder the
// output cannot be written to is said in the status bar, and that button
// then takes the focus. A file that can be rewrapped has the rewrap chosen,
// unless the user last converted such a file with a preset; the preset last
// converted with and the output folder last chosen are kept between sessions.
//
// A conversion keeps the desktop session awake while it runs, and its end is
// announced by a desktop notification when the window is not the active one
// (TDesktopSession).
//
// Every output is written under a locked temporary in its folder and
// published under its name when the run ends (finished, or stopped with a
// playable file); a failure or a kill publishes nothing. Picking a file
// creates no output: its temporary reserves the name against other
// conversions. A name taken meanwhile by another program gives the next free
// one of the rule, which the status bar says.
//
// Threads: everything here runs on the window thread except StrixProgress,
// StrixTerminate and StrixLog, which the component raises on its worker
// threads; they post their work to the window thread (queued calls) and
// never touch a widget themselves (StrixTerminate first reads the ended
// task's published name and warnings, which the component keeps for it
// while the event is raised).
// Failure: failures are shown in message boxes or in the status bar as the
// handlers describe; the dialogs, message boxes, questions and the desktop
// opener go through ExecuteOpenDialog, ExecuteSaveDialog, ShowMessageBox, AskYesNo
// and OpenUrl so that a test can replace them. The choices kept between
// sessions live in Settings (the user's own, or a file a test names).
//
// Where to look: the class is one window, its code split by what it does,
// each file calling only into the files listed below it.
//   MainForm.cpp      construction, the context menu, closing and quitting,
//                     the keys and clicks the window itself handles
//   MainLayout.cpp    the controls, their places, tab order and signals
//   MainConvert.cpp   Convert and Stop, and the component's events
//   MainPick.cpp      picking files: the dialogs, dropping, the command line,
//                     the input box, a change of preset
//   MainQueueRun.cpp  a queue converting file after file, and its summary
//   MainQueue.cpp     a queue picked and waiting: its files, sizes, window
//   MainRun.cpp       the state a run starts and ends in, its times
//   MainTask.cpp      the one task for the input box's file and its output
//   MainPresets.cpp   the preset list, its rewrap entry, the remembered choice
//   MainStatus.cpp    the status bar, the findings line, messages, the user
//                     guide and the About box
// The controls are in Controls.h and QueueView.h.

#pragma once

#include <QFileDialog>
#include <QLabel>
#include <QPointer>
#include <QSettings>
#include <QWidget>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "Controls.h"
#include "DesktopSession.h"
#include "QueueView.h"
#include "SourceInfo.h"
#include "Strix.h"
#include "Tools.h"
#include "WindowTexts.h"
#include "WindowThread.h"
#include "msEstTimer.h"

class QMessageBox;
class QProgressBar;
class QUrl;

class TfrmMain : public QWidget {
 public:
  enum TMessageIcon { miNone, miExclamation };

  // APresetFile: the preset file to read; empty for formats.ini beside the
  // executable. ALibraryFolder: where the media libraries are loaded from;
  // empty for LibAV beside the executable.
  // ASettingsFile: where the choices kept between sessions live; empty for
  // the user's own settings.
  explicit TfrmMain(const std::string &APresetFile = {}, const std::string &ALibraryFolder = {},
                    const QString &ASettingsFile = {});
  ~TfrmMain() override;

  // ---- what the window asks of the desktop (replaceable by tests) ----
  // Runs the open dialog; the chosen files, or none when cancelled.
  std::function<QStringList(QFileDialog &)> ExecuteOpenDialog;
  // Runs the output's save (or, for a queue, folder) dialog; the chosen
  // name, or none when cancelled.
  std::function<QStringList(QFileDialog &)> ExecuteSaveDialog;
  // A modal message box.
  std::function<void(const QString &AText, const QString &ACaption, TMessageIcon AIcon)> ShowMessageBox;
  // A modal yes/no question; true for yes.
  std::function<bool(const QString &AQuestion)> AskYesNo;
  // The window's own question box (AskYesNo's default). It answers no by
  // itself when the run it asks about ends first.
  bool AskQuestion(const QString &AQuestion);
  // The desktop's opener; false when there is none or it cannot be started.
  std::function<bool(const QUrl &)> OpenUrl;
  // Ends the program's event loop with ACode (after a stop signal).
  std::function<void(int ACode)> ExitProgram;

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
  // The output's "...": a save dialog for one file, a folder for a queue.
  void btnOpenOutputClick();
  // Files named on the command line: picked as from the dialog (several
  // form a queue); names that are no file are said in the status bar.
  void OpenFiles(const QStringList &AFileNames);
  // A signal that ends the program (see StopSignals.h): a running
  // conversion is stopped as by Stop, its output published, and the window
  // then quits without asking (exit code 128 + ASignal); otherwise it quits at once.
  void QuitOnSignal(int ASignal);
  // The context menu's "Keep the input's dates", remembered between sessions.
  void KeepDatesClick();
  // The user guide, at the section AAnchor when not empty.
  void ShowUserGuide(const QString &AAnchor = {});
  // The program's version, the media libraries' versions and the licences.
  QString AboutText();
  void ShowAbout();
  // Worker thread: these post to the window thread.
  void StrixProgress(int AIndex, int AFrameNumber, int AFPS, int ACurrentDuration, float AQuality, float ABitRate,
                     int64_t ACurrentSize, int ATotalOutputDuration);
  void StrixTerminate(int AIndex, bool AFinished, bool AException, const std::string &AMessage);
  void StrixLog(int AIndex, TLogLevel ALogLevel, const std::string &AMsg);
  void EstTimerDisplayEstTime(TmsEstTimer *Sender, double TheTime);
  void EstTimerDisplayElapsedTime(TmsEstTimer *Sender, double TheTime);
  void EstTimerGetCurrentCount(TmsEstTimer *Sender, int32_t &Count);
  void EstTimerGetTotalCount(TmsEstTimer *Sender, int32_t &Count);
  // Files dropped on the window: the FLV files among them are taken as if
  // picked in the dialog (several form a queue); the status bar says how many
  // others were ignored.
  void DropFiles(const QStringList &AFileNames);
  // Several files: the queue the next Convert works through.
  void OpenQueue(const QStringList &AFileNames, int AIgnored = 0);
  // The input box was edited, or is left / confirmed: see the class note.
  void edFileInputEdited();
  void ConfigureFromInputBox();
  // Whether the configured task is the one for the file the input box names.
  bool TaskMatchesInputBox() const;

  // The preset chosen in cbFormats, or null when none is (no presets, or the
  // rewrap entry).
  const TFormat *SelectedPreset() const;
  // The rewrap entry's kind when it is the chosen one, else rkNone.
  TRewrapKind SelectedRewrap() const;
  // The rewrap entry at the head of the preset list, rkNone when there is none.
  TRewrapKind RewrapEntry() const { return FRewrapEntry; }

  // One file of a queue and what became of it.
  enum TQueueStatus { qsWaiting, qsDone, qsFailed, qsStopped };
  struct TQueueItem {
    QString Input;
    QString Output;  // once named
    TQueueStatus Status = qsWaiting;
    QString Message;  // why it failed; for a done file, what its run warned of
    TSourceInfo Source;  // as read when queued
    bool Readable = false;
    QString Problem;   // why it cannot be read
    QString Expected;  // its expected size, as shown
  };
  const std::vector<TQueueItem> &Queue() const { return FQueue; }
  // The folder a queue's outputs go to; empty: beside each input.
  QString QueueFolder() const { return FQueueFolder; }

  // ---- controls, in tab and layout order ----
  // The header: white, with "FLV -> iPod" and the link to the user guide.
  QWidget *pTop = nullptr;
  QLabel *lbFrom = nullptr;
  QLabel *imgArrow = nullptr;
  QLabel *lbTo = nullptr;
  QLabel *lbInformation = nullptr;
  // The line under the header.
  TBevel *bvHeader = nullptr;
  QLabel *lbFileInput = nullptr;
  // The picked file's problems in one line ("2 problems found: they will be
  // mended"), hidden when it has none; a click lists them.
  QLabel *lbFindings = nullptr;
  TPathBox *edFileInput = nullptr;
  TButton *btnOpenInput = nullptr;
  QLabel *lbFileOutput = nullptr;
  TPathBox *edFileOutput = nullptr;
  TButton *btnOpenOutput = nullptr;
  // "Output settings:", the preset list's caption.
  QLabel *lbFormats = nullptr;
  TPresetList *cbFormats = nullptr;
  // The line above the run's times, buttons and progress.
  TBevel *bvRun = nullptr;
  QLabel *lbElapsedTime = nullptr;
  QLabel *lbEstimatedTime = nullptr;
  TButton *btnConvert = nullptr;
  TButton *btnStop = nullptr;
  // The running conversion's progress, 0 to 100.
  QProgressBar *pbConversion = nullptr;
  TStatusBar *StatusBar = nullptr;
  // Shown while a queue is picked, and after it ran until the next pick.
  TQueueView *QueueView = nullptr;

  // ---- non-visual members ----
  std::unique_ptr<TQtWindowThread> WindowThread;  // must outlive Strix
  std::unique_ptr<TStrix> Strix;
  // The open or save dialog, only while it is shown: a fresh one every
  // time, so nothing of an earlier pick (its completion list) outlives it.
  std::unique_ptr<QFileDialog> FileDialog;
  TmsEstTimer *EstTimer = nullptr;
  // The desktop's notifications and sleep hold (replaceable by tests).
  std::unique_ptr<TDesktopSession> Desktop;
  // The choices kept between sessions.
  std::unique_ptr<QSettings> Settings;
  // Checked: a published output gets its input's access and modification times.
  QAction *actKeepDates = nullptr;

  // The last progress report's durations (ms), read by the timer. Written on
  // the window thread only (the progress handler posts its update there).
  int32_t CurrentCount = 0;
  int32_t TotalCount = 0;

 protected:
  void closeEvent(QCloseEvent *AEvent) override;
  void keyPressEvent(QKeyEvent *AEvent) override;
  void dragEnterEvent(QDragEnterEvent *AEvent) override;
  void dragMoveEvent(QDragMoveEvent *AEvent) override;
  void dropEvent(QDropEvent *AEvent) override;
  bool eventFilter(QObject *AWatched, QEvent *AEvent) override;

 private:
  // ---- MainForm.cpp ----
  void CreateActions();
  void QuitNow();

  // ---- MainLayout.cpp: each part of the form, top to bottom ----
  void CreateControls();
  void CreateHeader(const QFont &AFont);
  void CreateFileBoxes(const QFont &AFont);
  void CreateRunControls(const QFont &AFont);
  void CreateStatusBar();
  void ConnectControls();

  // ---- MainPick.cpp ----
  // Picks one file, however it came (the dialog, a drop, the input box, the
  // command line): the earlier task and queue are forgotten, the boxes name
  // the file and its derived output, and its task is configured.
  void OpenInputFile(const QString &AFileName);
  // A fresh open dialog, starting in the folder of the last pick.
  std::unique_ptr<QFileDialog> CreateOpenDialog();
  // Ends the shown dialog's life with everything it opened.
  void DestroyOpenDialog();
  static bool IsDroppableFile(const QString &AFileName);
  static QStringList DroppedFiles(const QDropEvent &AEvent);

  // ---- MainTask.cpp ----
  // Reads task AIndex's input (whose name is AInput), sets the rewrap entry
  // for it and gives the task its output from the selected entry: true with
  // Convert enabled and the expected size shown. Otherwise the task is
  // deleted: a missing encoder is shown as the reason (AError empty), a
  // refused output is left in AError for the caller to show its way.
  // ANewPick: the file was just picked, so the entry is chosen for it (the
  // rewrap where it fits, unless the user prefers a preset).
  bool ConfigureOutput(int AIndex, const QString &AInput, const std::string &AOutput, QString &AError,
                       bool ANewPick = false);
  // The reason to show when the folder of AOutput cannot be written to;
  // empty when it can.
  static QString ReadOnlyFolderText(const QString &AOutput);
  // Says why the output cannot go where it would, and hands the focus to the
  // output's "..." button.
  void ShowOutputProblem(const QString &AText);
  // The first free output name for AInput in AFolder (beside it when empty).
  static QString DeriveOutputName(const QString &AInput, const QString &AFolder = {});
  // The task for the input box's file again, with the output box's name.
  void ReconfigureForOutput();
  // The task converting AInput, its report loaded; -1 with the reason shown
  // when the file cannot be opened.
  int AddInputTask(const std::string &AInput);
  // Adds the task converting AInput and loads its report, saying nothing:
  // -1 when the file cannot be opened.
  int AddTaskWithReport(const std::string &AInput);
  // A FIFO, socket, device or folder named by AInput: no rewrap entry and
  // the reason shown, true; false for a file that can be opened.
  bool RefuseSpecialFile(const std::string &AInput);
  // How the output AOutput of AInput is published (see TPublishOptions): a
  // name taken meanwhile gives the next free one of the rule.
  TPublishOptions PublishOptionsFor(const QString &AInput, const std::string &AOutput) const;
  // Convert would convert what the box names: its task, or its queue.
  bool ReadyToConvert() const;
  // The task list is empty: nothing matches the box any more.
  void ForgetTask();
  // Loads the media libraries; false (after showing the loader's text) on failure.
  bool LoadLibraries();

  // ---- MainPresets.cpp ----
  // Fills the preset list from the preset file and the choice kept from
  // earlier sessions.
  void LoadPresetList();
  // The choice the user prefers for a newly picked file: the rewrap or the
  // preset last converted with.
  // AWasRewrap: the rewrap was chosen before the file came.
  void ApplyPreferredEntry(bool AWasRewrap);
  // Keeps the entry a conversion is started with, for the next files and sessions.
  void RememberEntry();
  // The selected preset's missing encoder as the reason to show, empty when none is missing.
  QString MissingEncoderText() const;
  // The rewrap entry for files of kind AKind (rkNone removes it); the
  // choice stays on the same preset, or on the rewrap while there is one.
  void SetRewrapEntry(TRewrapKind AKind);
  void FitPresetPopup();

  // ---- MainQueue.cpp ----
  void ShowQueueView();
  void UpdateQueueView();
  // A pending queue (not yet started) and whether the box still names its first file.
  bool QueuePending() const { return FQueue.size() > 1 && !FQueueRunning; }
  void ClearQueue();
  // Panel 1 of a pending queue: its files and their expected size, or why not.
  void ShowQueueSummary();

  // ---- MainQueueRun.cpp ----
  // Configures and starts the queue's next file; ends the queue when none is left.
  void StartQueueItem();
  // AWarning: what a finished file's run warned of (see DoneStatus).
  void QueueTaskEnded(int AIndex, bool AFinished, bool AException, const std::string &AMessage,
                      const QString &AWarning);
  void FinishQueue();

  // ---- MainRun.cpp ----
  // The state every run starts in, one file or a queue.
  void BeginRun();
  // The state every run ends in; AStatus goes to panel 0.
  void EndRun(const QString &AStatus);
  // Tells the desktop, when the window is not the active one.
  void Announce(const QString &ASummary, const QString &ABody);
  // The run's elapsed time, shown for good, and the timer stopped.
  void StopTimerKeepingElapsed();
  // Times and sizes of the last run cleared.
  void ClearRunFigures();
  // "Status: Done", or "Status: Done, but the input ended early at 0:08 of 0:28".
  static QString DoneStatus(const QString &AWarning);

  // ---- MainStatus.cpp ----
  void SetLabelText(QLabel *ALabel, const QString &AText);
  void ShowMessage(const QString &AText);  // plain box, captioned with the application title
  // Panels back to "Status: Ready", empty, "0%"; no findings shown.
  void ResetPanels();
  // The findings line of ATask's input (an FLV file read by our reader).
  void ShowFindings(const TFFmpeg &ATask);
  // Why the file cannot be converted, in panel 1.
  void ShowReason(const QString &AText);
  // The reason is gone: AText in panel 1, and "Ready" again where it was not.
  void ClearReason(const QString &AText);

  std::string FPresetFile;
  std::string FLibraryFolder;
  // Window-thread state.
  QString FTaskInput;      // the input name the configured task was built from
  QString FOutputFor;      // the input name the output box was derived from
  QString FLastFolder;     // where the open dialog starts
  bool FConverting = false;  // from Convert until the end of the run
  bool FStopping = false;    // from Stop until the end of the run
  bool FReasonShown = false; // panel 1 says why the file was refused
  double FLastElapsed = 0;   // the timer's last elapsed time, days
  bool FClosed = false;
  TRewrapKind FRewrapEntry = rkNone;
  // The place in Presets of each preset entry of the list (after the
  // rewrap's): presets with a bad value are not offered.
  std::vector<size_t> FPresetEntries;
  TSourceInfo FSource;       // the configured file's, stream sizes scanned for a rewrap
  QString FSourceFile;       // whose FSource is
  std::vector<TQueueItem> FQueue;  // two or more files, or none
  size_t FQueuePos = 0;      // the queue's running file
  bool FQueueRunning = false;
  int FIgnored = 0;          // dropped files that were not FLV, said in panel 1
  QString FLastFailure;      // the running file's failure, for the announcement
  QString FDoneWarning;      // what the finished file's run warned of, shown with "Done"
  QString FFindingsDetails;  // the findings line's details, one finding a line
  bool FBoxEdited = false;   // the user typed into the input box since it was last taken
  QString FChosenOutput;     // the output name the user chose for FOutputFor, until its run ends
  QString FOutputFolder;     // where the output's dialog starts (the last folder chosen)
  QString FQueueFolder;      // the pending queue's output folder; empty: beside each input
  bool FPreferRewrap = true; // a file that can be rewrapped gets the rewrap
  QString FPreferredPreset;  // the preset last converted with
  QPointer<QMessageBox> FQuestion;  // the question box while it is shown
  int FQuitSignal = 0;       // the signal the window quits for, once one came
};
