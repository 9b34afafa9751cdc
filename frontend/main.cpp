// tarq: the desktop program. Sets up the application and shows the main
// window; everything else happens in TfmTarq.
#include <QApplication>

#include "TarqMain.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  // The application's title; also names its settings (window size, fonts).
  QApplication::setApplicationName(QStringLiteral("TARQ Programming Language"));
  QApplication::setOrganizationName(QStringLiteral("Tarq"));
  TfmTarq window;
  window.show();
  return app.exec();
}
