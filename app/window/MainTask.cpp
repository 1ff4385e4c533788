// TfrmMain: the one task for the input box's file: adding it, giving it its
// output from the chosen entry, and the output's name, folder and
// publishing (see Main.h).
#include <QDir>
#include <QFileInfo>

#include "AVProbe.h"
#include "AtomicOutput.h"
#include "ConvertRecord.h"
#include "FormCommon.h"
#include "Main.h"
#include "SizeEstimate.h"

using namespace qvwindow;

void TfrmMain::ForgetTask() {
  Strix->DeleteAllTasks();
  FTaskInput.clear();
  btnConvert->setEnabled(false);
}

int TfrmMain::AddTaskWithReport(const std::string &AInput) {
  const int index = Strix->AddTask(AInput, ConvertInputRecord(AInput));
  try {
    Strix->Probe().LoadFile(AInput, "");
  } catch (const std::exception &) {
    // The report is optional; the double-click then shows nothing useful.
  }
  return index;
}

int TfrmMain::AddInputTask(const std::string &AInput) {
  const int index = AddTaskWithReport(AInput);
  if (index < 0) {
    SetRewrapEntry(rkNone);
    ShowReason(QStringLiteral("File open error: ") + FromStd(Strix->LastError()));
  }
  return index;
}

bool TfrmMain::RefuseSpecialFile(const std::string &AInput) {
  // Opening a FIFO would wait for a writer, and the window with it.
  const std::string reason = NotRegularFileText(AInput);
  if (reason.empty()) return false;
  SetRewrapEntry(rkNone);
  ShowReason(FromStd(reason));
  return true;
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

bool TfrmMain::TaskMatchesInputBox() const {
  return !FTaskInput.isEmpty() && Strix->TaskCount() > 0 && edFileInput->text() == FTaskInput;
}

bool TfrmMain::ReadyToConvert() const {
  if (QueuePending()) return edFileInput->text() == FQueue.front().Input;
  return TaskMatchesInputBox();
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

bool TfrmMain::LoadLibraries() {
  if (Strix->LoadLibraries(FLibraryFolder, true)) return true;
  ShowMessage(FromStd(Strix->LastError()));
  return false;
}
