// TfrmMain: a queue picked and waiting: its files read, their expected
// sizes, and its window (see Main.h).
#include <QFileInfo>
#include <QHeaderView>
#include <QProgressBar>
#include <QScreen>
#include <QTimer>

#include <algorithm>

#include "AVProbe.h"
#include "ConvertRecord.h"
#include "FormCommon.h"
#include "Main.h"
#include "SizeEstimate.h"

using namespace qvwindow;

void TfrmMain::ClearQueue() {
  FQueue.clear();
  FQueuePos = 0;
  FQueueRunning = false;
  FIgnored = 0;
}

void TfrmMain::OpenQueue(const QStringList &AFileNames, int AIgnored) {
  pbConversion->setValue(0);
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
