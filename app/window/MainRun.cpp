// TfrmMain: the state every run starts and ends in, one file or a queue, and
// its elapsed and estimated times (see Main.h).
#include <QMessageBox>

#include "FormCommon.h"
#include "Main.h"

using namespace qvwindow;

void TfrmMain::BeginRun() {
  RememberEntry();
  FDoneWarning.clear();
  Strix->SetLogLevel(llInfo);
  Strix->SetThreadPriority(tpNormal);
  btnOpenInput->setEnabled(false);
  btnConvert->setEnabled(false);
  btnStop->setEnabled(true);
  CurrentCount = 0;
  cbFormats->setEnabled(false);
  // What runs is what the box names, until the run ends.
  edFileInput->SetReadOnlyLook(true);
  btnOpenOutput->setEnabled(false);
  SetLabelText(lbElapsedTime, QStringLiteral("Elapsed time:"));
  SetLabelText(lbEstimatedTime, QStringLiteral("Estimated time:"));
  FLastElapsed = 0;
  FConverting = true;
  FStopping = false;
  if (Desktop) Desktop->InhibitSleep(QStringLiteral("Converting video"));
}

void TfrmMain::EndRun(const QString &AStatus) {
  btnOpenInput->setEnabled(true);
  btnOpenOutput->setEnabled(true);
  btnConvert->setEnabled(false);
  btnStop->setEnabled(false);
  edFileInput->SetReadOnlyLook(false);
  cbFormats->setEnabled(true);
  FConverting = false;
  FStopping = false;
  StatusBar->SetPanelText(0, AStatus);
  ForgetTask();
  // The output chosen for this run holds its result now; a later run gets a
  // fresh name in the same folder.
  FChosenOutput.clear();
  if (Desktop) Desktop->ReleaseSleep();
  // A question about the run that has just ended has no subject any more.
  if (FQuestion) FQuestion->done(QMessageBox::No);
  if (FQuitSignal) QMetaObject::invokeMethod(this, [this] { QuitNow(); }, Qt::QueuedConnection);
}

void TfrmMain::QuitNow() {
  close();
  if (ExitProgram) ExitProgram(128 + FQuitSignal);
}

void TfrmMain::Announce(const QString &ASummary, const QString &ABody) {
  if (Desktop && !isActiveWindow()) Desktop->Notify(ASummary, ABody);
}

void TfrmMain::StopTimerKeepingElapsed() {
  if (EstTimer->Enabled()) EstTimerDisplayElapsedTime(EstTimer, EstTimer->Clock() - EstTimer->StartedAt());
  EstTimer->SetEnabled(false);
}

void TfrmMain::ClearRunFigures() {
  CurrentCount = 0;
  TotalCount = 0;
  FLastElapsed = 0;
  SetLabelText(lbElapsedTime, QStringLiteral("Elapsed time:"));
  SetLabelText(lbEstimatedTime, QStringLiteral("Estimated time:"));
}

QString TfrmMain::DoneStatus(const QString &AWarning) {
  return AWarning.isEmpty() ? QStringLiteral("Status: Done") : QStringLiteral("Status: Done, but ") + AWarning;
}

void TfrmMain::EstTimerDisplayEstTime(TmsEstTimer *, double TheTime) {
  // The timer projects the whole job's duration; people read "estimated
  // time" as the time still to wait, so the label shows the projection less
  // the elapsed time of the same tick. Nothing is shown until there is a
  // projection.
  const double left = TimeLeft(TheTime, FLastElapsed);
  SetLabelText(lbEstimatedTime, left < 0 ? QStringLiteral("Estimated time:")
                                         : QStringLiteral("Estimated time: ") + FromStd(TimeText(left)));
}

void TfrmMain::EstTimerDisplayElapsedTime(TmsEstTimer *, double TheTime) {
  FLastElapsed = TheTime;
  SetLabelText(lbElapsedTime, QStringLiteral("Elapsed time: ") + FromStd(TimeText(TheTime)));
}

void TfrmMain::EstTimerGetCurrentCount(TmsEstTimer *, int32_t &Count) { Count = CurrentCount; }

void TfrmMain::EstTimerGetTotalCount(TmsEstTimer *, int32_t &Count) { Count = TotalCount; }
