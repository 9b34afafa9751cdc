// tarq: the desktop program. Sets up the application and shows the main
// window; everything else happens in TfmTarq.
#include <QApplication>

#include <cstdlib>
#include <cstring>

#include "KRB.h"
#include "TarqMain.h"

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  // Dictionary files synced to the disk at every change when asked, as in tarqsh.
  if (const char* sync = std::getenv("TARQ_DICT_SYNC")) KRB::SetDurable(std::strcmp(sync, "full") == 0);
  // The application's title; also names its settings (window size, fonts).
  QApplication::setApplicationName(QStringLiteral("TARQ Programming Language"));
  QApplication::setOrganizationName(QStringLiteral("Tarq"));
  TfmTarq window;
  window.show();
  return app.exec();
}
