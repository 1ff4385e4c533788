// TfrmMain: Convert and Stop, and the component's events, which come on its
// worker threads and are handed to the window thread (see Main.h).
#include <QCoreApplication>
#include <QFileInfo>
#include <QProgressBar>

#include <algorithm>

#include "Findings.h"
#include "FormCommon.h"
#include "Main.h"

using namespace qvwindow;

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

void TfrmMain::btnStopClick() {
  btnStop->setEnabled(false);
  FStopping = true;
  StopTimerKeepingElapsed();
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
        pbConversion->setValue(position);
        StatusBar->SetPanelText(1, QStringLiteral("Output file size: ") + FromStd(SizeText(ACurrentSize)));
        StatusBar->SetPanelText(2, QString::number(pbConversion->value()) + QStringLiteral("%"));
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
          const bool done = pbConversion->value() >= 100;
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
          pbConversion->setValue(100);
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

void TfrmMain::StrixLog(int, TLogLevel, const std::string &) {
  // The window shows no log.
}
