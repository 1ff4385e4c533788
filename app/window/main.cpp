// quenvaro: the converter's window program.
//   quenvaro [FILE...]
// Files named on the command line (as a file manager's "Open with" passes
// them) are picked at once; several form a queue. Every start opens a window
// of its own. SIGTERM, SIGHUP and SIGINT stop a running conversion (its
// output is published) and quit.
#include <QApplication>
#include <QIcon>
#include <QMessageBox>
#include <QTimer>

#include "Main.h"
#include "StopSignals.h"

int main(int argc, char *argv[]) {
  QApplication app(argc, argv);
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/quenvaro/quenvaro.png")));
  // What escapes a timer tick is shown, and the program goes on.
  TmsEstTimer::ExceptionHandler = [](const std::exception &E) {
    QMessageBox::critical(nullptr, QCoreApplication::applicationName(), QString::fromStdString(E.what()));
  };
  // The toolkit has taken its own options out already; "--" ends ours.
  QStringList files = QCoreApplication::arguments().mid(1);
  if (!files.isEmpty() && files.first() == QStringLiteral("--")) files.removeFirst();
  TfrmMain frmMain;
  // A logout's SIGTERM (or a SIGHUP) stops the conversion as Stop would, so
  // its output is finished and published, and then the window quits.
  TStopSignals stopSignals;
  stopSignals.OnSignal = [&frmMain](int ASignal) { frmMain.QuitOnSignal(ASignal); };
  frmMain.show();
  // Once the window is up, so that what the pick says is seen.
  if (!files.isEmpty()) QTimer::singleShot(0, &frmMain, [&frmMain, files] { frmMain.OpenFiles(files); });
  return app.exec();
}
