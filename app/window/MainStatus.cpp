// TfrmMain: the status bar's texts, the findings line, plain messages, the
// file's report, the user guide and the About box (see Main.h).
#include <QCoreApplication>
#include <QDir>
#include <QUrl>

#include "AVProbe.h"
#include "AVCodecHlpr.h"
#include "AVFormatHlpr.h"
#include "AVUtilHlpr.h"
#include "Findings.h"
#include "FormCommon.h"
#include "Main.h"
#include "SwResampleHlpr.h"
#include "SwScaleHlpr.h"

// The licence the About box names (the build sets it).
#ifndef QV_LICENCE
#define QV_LICENCE "not chosen yet"
#endif

using namespace qvwindow;

void TfrmMain::SetLabelText(QLabel *ALabel, const QString &AText) {
  ALabel->setText(AText);
  ALabel->adjustSize();
}

void TfrmMain::ShowMessage(const QString &AText) {
  if (ShowMessageBox) ShowMessageBox(AText, QCoreApplication::applicationName(), miNone);
}

void TfrmMain::ResetPanels() {
  StatusBar->SetPanelText(0, QStringLiteral("Status: Ready"));
  StatusBar->SetPanelText(1, QString());
  StatusBar->SetPanelText(2, QStringLiteral("0%"));
  FReasonShown = false;
  lbFindings->hide();
  lbFindings->clear();
  FFindingsDetails.clear();
}

void TfrmMain::ShowFindings(const TFFmpeg &ATask) {
  const flv::TFlvSource *source = ATask.FlvInput(0);
  const std::vector<flv::TFinding> findings = source ? source->Reader().Findings() : std::vector<flv::TFinding>();
  const QString line = FromStd(flv::FindingsSummary(findings));
  FFindingsDetails = FromStd(FindingsDetails(findings));
  // The room right of the box's caption, up to the end of its button.
  const int room = btnOpenInput->geometry().right() - lbFindings->x();
  lbFindings->setText(lbFindings->fontMetrics().elidedText(line, Qt::ElideRight, room));
  lbFindings->adjustSize();
  lbFindings->setVisible(!line.isEmpty());
}

void TfrmMain::ShowReason(const QString &AText) {
  StatusBar->SetPanelText(1, AText);
  // Not "Ready" beside the reason why it is not.
  if (!FConverting) StatusBar->SetPanelText(0, QStringLiteral("Status: Not ready"));
  FReasonShown = true;
}

void TfrmMain::ClearReason(const QString &AText) {
  StatusBar->SetPanelText(1, AText);
  if (!FConverting && StatusBar->PanelText(0) == QStringLiteral("Status: Not ready"))
    StatusBar->SetPanelText(0, QStringLiteral("Status: Ready"));
  FReasonShown = false;
}

void TfrmMain::edFileInputDblClick() {
  try {
    QString text = FromStd(Strix->Probe().GetFileInfoText());
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    if (ShowMessageBox) ShowMessageBox(text, QStringLiteral("File Information"), miNone);
  } catch (...) {
    // The report is a convenience; a failure shows nothing.
  }
}

void TfrmMain::lbInformationClick() { ShowUserGuide(); }

void TfrmMain::ShowUserGuide(const QString &AAnchor) {
  const QString guide = UserGuideFile(QCoreApplication::applicationDirPath());
  if (!FileExists(guide)) {
    ShowMessage(QStringLiteral("The user guide is missing; it belongs here:\n") + QDir::toNativeSeparators(guide));
    return;
  }
  QUrl url = QUrl::fromLocalFile(guide);
  if (!AAnchor.isEmpty()) url.setFragment(AAnchor);
  if (!OpenUrl || !OpenUrl(url))
    ShowMessage(QStringLiteral("No program to open the user guide was found. You can open it yourself:\n") +
                QDir::toNativeSeparators(guide));
}

QString TfrmMain::AboutText() {
  QString libraries, licence;
  if (Strix->LoadLibraries(FLibraryFolder, true)) {
    auto v = [](unsigned AVersion) {
      return QStringLiteral("%1.%2.%3").arg(AVersion >> 16).arg((AVersion >> 8) & 0xff).arg(AVersion & 0xff);
    };
    libraries = QStringLiteral("libavutil %1, libavcodec %2, libavformat %3, libswscale %4, libswresample %5")
                    .arg(v(AVUtilLib.avutil_version()), v(AVCodecLib.avcodec_version()),
                         v(AVFormatLib.avformat_version()), v(SwScaleLib.swscale_version()),
                         v(SwResampleLib.swresample_version()));
    licence = QString::fromUtf8(AVCodecLib.avcodec_license());
  } else {
    libraries = QStringLiteral("not loaded: ") + FromStd(Strix->LastError());
  }
  QString text = QStringLiteral("Quenvaro ver.") + FromStd(FileVersionText()) +
                 QStringLiteral("\nConverts FLV videos to MP4.\n\nLicence: ") + QStringLiteral(QV_LICENCE) +
                 QStringLiteral("\n\nMedia libraries (FFmpeg, from ") + QDir::toNativeSeparators(FromStd(FLibraryFolder)) +
                 QStringLiteral("):\n") + libraries;
  if (!licence.isEmpty()) text += QStringLiteral("\nTheir licence: ") + licence;
  text += QStringLiteral("\n\nWindow toolkit: Qt %1 (GNU LGPL version 3)").arg(QString::fromLatin1(qVersion()));
  return text;
}

void TfrmMain::ShowAbout() {
  if (ShowMessageBox) ShowMessageBox(AboutText(), QStringLiteral("About Quenvaro"), miNone);
}
