// TfrmMain: a queue converting one file after another, each configured when
// its turn comes, and the summary at its end (see Main.h).
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QProgressBar>

#include <algorithm>

#include "AVProbe.h"
#include "AtomicOutput.h"
#include "ConvertRecord.h"
#include "FormCommon.h"
#include "Main.h"
#include "SizeEstimate.h"

using namespace qvwindow;

void TfrmMain::StartQueueItem() {
  for (; FQueuePos < FQueue.size(); ++FQueuePos) {
    TQueueItem &item = FQueue[FQueuePos];
    ForgetTask();
    pbConversion->setValue(0);
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

    const int index = AddTaskWithReport(input);
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
      pbConversion->setValue(100);
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
