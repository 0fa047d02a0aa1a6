// Program entry: the application, then the main window (the server), the options dialog and the
// About box, then the message loop.
#include <sys/resource.h>

#include <QApplication>
#include <cstdlib>
#include <exception>
#include "app/Unit1.h"
#include "platform/Dialogs.h"
#include "platform/qt/Application.h"
#include "platform/qt/QtDialogs.h"
#include "platform/qt/SignalBridge.h"
#include "settings/Unit2.h"
#include "ui/Unit3.h"

namespace {

bool HasDisplay() {
  const char* x = std::getenv("DISPLAY");
  const char* w = std::getenv("WAYLAND_DISPLAY");
  return (x && *x) || (w && *w);
}

// Every connection costs a descriptor; the soft limit of 1024 would refuse clients long before
// the machine runs short.
void RaiseDescriptorLimit() {
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
  }
}

void DestroyWindows() {
  delete AboutBox;
  AboutBox = nullptr;
  delete OptionsForm;
  OptionsForm = nullptr;
  delete Form1;
  Form1 = nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  RaiseDescriptorLimit();
  const bool headless = !HasDisplay();
  // Without a display the server runs all the same; boxes then go to standard error.
  if (headless) setenv("QT_QPA_PLATFORM", "offscreen", 1);
  TApplication app(argc, argv);
  QApplication::setApplicationDisplayName(QStringLiteral("Vyn Brevoxa"));
  QApplication::setApplicationName(QStringLiteral("Vyn Brevoxa"));
  // Hidden to the tray, the program must outlive its last visible dialog.
  QApplication::setQuitOnLastWindowClosed(false);
  if (!headless) InstallQtDialogs();

  TSignalBridge signalBridge;
  signalBridge.OnSignal = [](int) {
    if (Form1) Form1->close();
    QCoreApplication::quit();
  };

  int status = 0;
  try {
    Form1 = new TForm1(80, std::string());
    OptionsForm = new TOptionsForm(Form1, Form1);
    AboutBox = new TAboutBox(Form1);
    Form1->show();
    status = app.exec();
  } catch (const std::exception& e) {
    DestroyWindows();
    MessageBox(e.what(), "Vyn Brevoxa", mtError);
    // A server that could not start must not look like one that ran and stopped.
    return 1;
  } catch (...) {
    DestroyWindows();
    MessageBox("Start-up failed", "Vyn Brevoxa", mtError);
    return 1;
  }
  DestroyWindows();
  return status;
}
