// TfrmMain: picking files: the open and save dialogs, dropping, the command
// line, the input box, and a change of preset or of the dates' choice, each
// of which configures the task again (see Main.h).
#include <QCompleter>
#include <QDir>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QMimeData>
#include <QProgressBar>
#include <QUrl>

#include <algorithm>

#include "AVProbe.h"
#include "AtomicOutput.h"
#include "ConvertRecord.h"
#include "FormCommon.h"
#include "Main.h"

using namespace qvwindow;

void TfrmMain::btnOpenInputClick() {
  QPalette pal = pTop->palette();
  pal.setColor(QPalette::Window, Qt::white);
  pTop->setPalette(pal);
  if (!LoadLibraries()) return;
  FileDialog = CreateOpenDialog();
  QStringList names = ExecuteOpenDialog ? ExecuteOpenDialog(*FileDialog) : QStringList();
  DestroyOpenDialog();
  names.removeAll(QString());
  if (names.isEmpty()) return;
  if (names.size() == 1)
    OpenInputFile(names.first());
  else
    OpenQueue(names);
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
  if (!FileDialog) return;
  // Enter in the file name box accepts the dialog while the box's completion
  // list is still open; the list is a top-level popup that would stay on
  // screen, holding the mouse and keyboard grab, and swallow the next click.
  for (QCompleter *completer : FileDialog->findChildren<QCompleter *>())
    if (completer->popup()) completer->popup()->hide();
  FileDialog.reset();
}

void TfrmMain::btnOpenOutputClick() {
  if (FConverting) return;
  auto dialog = std::make_unique<QFileDialog>(this);
  dialog->setSizeGripEnabled(true);
  const QString input = edFileInput->text();
  auto run = [this, &dialog] {
    FileDialog = std::move(dialog);
    QStringList names = ExecuteSaveDialog ? ExecuteSaveDialog(*FileDialog) : QStringList();
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

void TfrmMain::OpenInputFile(const QString &AFileName) {
  pbConversion->setValue(0);
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
  if (RefuseSpecialFile(input)) return;

  const int index = AddInputTask(input);
  if (index < 0) return;
  QString error;
  if (ConfigureOutput(index, AFileName, FileNameToStd(edFileOutput->text()), error, true))
    btnConvert->setFocus();
  else if (!error.isEmpty())
    ShowReason(QStringLiteral("Cannot do convert, error: ") + error);
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
  if (RefuseSpecialFile(input)) return;

  const int index = AddTaskWithReport(input);
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

void TfrmMain::KeepDatesClick() {
  Settings->setValue(KeyKeepDates, actKeepDates->isChecked());
  Settings->sync();
  // The configured task publishes with the choice it was given: give it the new one.
  if (!FConverting && !QueuePending() && TaskMatchesInputBox() && FileExists(edFileInput->text())) ChangeFile();
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
