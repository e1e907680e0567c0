#include <QApplication>

#include "Mainwindowtonvista.h"

int main(int argc, char* argv[]) {
  QApplication app(argc, argv);
  TMainwindow window;
  window.show();
  return app.exec();
}
