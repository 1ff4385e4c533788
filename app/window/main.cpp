// quenvaro: the converter's window program.
#include <QApplication>
#include <QIcon>
#include <QMessageBox>

#include "Main.h"

int main(int argc, char *argv[]) {
  QApplication app(argc, argv);
  QApplication::setWindowIcon(QIcon(QStringLiteral(":/quenvaro/quenvaro.png")));
  // What escapes a timer tick is shown, and the program goes on.
  TmsEstTimer::ExceptionHandler = [](const std::exception &E) {
    QMessageBox::critical(nullptr, QCoreApplication::applicationName(), QString::fromStdString(E.what()));
  };
  TfrmMain frmMain;
  frmMain.show();
  return app.exec();
}
