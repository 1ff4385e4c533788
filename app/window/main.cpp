// quenvaro: the converter's window program.
//   quenvaro [FILE...]
// Files named on the command line (as a file manager's "Open with" passes
// them) are picked at once; several form a queue. Every start opens a window
// of its own.
#include <QApplication>
#include <QIcon>
#include <QMessageBox>
#include <QTimer>

#include "Main.h"

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
  frmMain.show();
  // Once the window is up, so that what the pick says is seen.
  if (!files.isEmpty()) QTimer::singleShot(0, &frmMain, [&frmMain, files] { frmMain.OpenFiles(files); });
  return app.exec();
}
