// The notification-area icon for real: an X server (Xvfb) on a free display, with and without a
// notification area (trayer). Without one the window minimises to the task bar; when one
// appears late the icon comes; the window hides to the icon and comes back from it; and when
// the notification area goes away the hidden window comes back to the task bar.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTest>
#include <QWidget>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>

#include "ui/Traycomp.h"
#include "ui/UiSession.h"

namespace {

pid_t Spawn(const char* program, const std::vector<std::string>& args) {
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // Keep the test's output readable: the helpers talk a lot on standard error.
    freopen("/dev/null", "w", stderr);
    execvp(program, argv.data());
    _exit(127);
  }
  return pid;
}

void Stop(pid_t& pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  pid = -1;
}

bool Exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

// Started before main() makes the application, so that it connects to this display.
struct XServer {
  pid_t Pid = -1;
  bool Ready = false;
  XServer() {
    for (int n = 90; n < 140 && !Ready; ++n) {
      const std::string socket = "/tmp/.X11-unix/X" + std::to_string(n);
      if (Exists(socket) || Exists("/tmp/.X" + std::to_string(n) + "-lock")) continue;
      const std::string display = ":" + std::to_string(n);
      Pid = Spawn("Xvfb", {display, "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
      for (int i = 0; i < 100 && !Ready; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        int status = 0;
        if (waitpid(Pid, &status, WNOHANG) == Pid) {  // lost the display to someone else
          Pid = -1;
          break;
        }
        Ready = Exists(socket);
      }
      if (Ready) {
        setenv("DISPLAY", display.c_str(), 1);
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        // Only the X11 notification area is under test; no session bus tray is wanted.
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
      } else {
        Stop(Pid);
      }
    }
  }
  ~XServer() { Stop(Pid); }
};
XServer gXServer;

struct Trayer {
  pid_t Pid = Spawn("trayer", {"--edge", "top", "--align", "right", "--height", "24"});
  ~Trayer() { Stop(Pid); }
};

bool TrayAvailableWithin(int ms) {
  return QTest::qWaitFor([] { return QSystemTrayIcon::isSystemTrayAvailable(); }, ms);
}

bool TrayGoneWithin(int ms) {
  return QTest::qWaitFor([] { return !QSystemTrayIcon::isSystemTrayAvailable(); }, ms);
}

// The widget Qt embeds into the X11 notification area, to click it as a user would.
QWidget* EmbeddedIcon() {
  for (QWidget* w : QApplication::topLevelWidgets()) {
    if (QByteArray(w->metaObject()->className()) == "QSystemTrayIconSys" && w->isVisible())
      return w;
  }
  return nullptr;
}

TEST(TrayOnX11, TaskBarFallbackThenLateTrayThenHideAndRestore) {
  ASSERT_TRUE(gXServer.Ready) << "Xvfb did not start";
  ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("xcb"));
  ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());

  Session s;
  s.Show();
  TForm1& f = *s.Form;
  TTrayComp& t = *f.TrayComp1;

  // No notification area: "Hide" leaves a task-bar button, and nothing asks or ends.
  f.HideButton->click();
  QCoreApplication::processEvents();
  EXPECT_TRUE(f.isMinimized());
  EXPECT_TRUE(f.isVisible());
  EXPECT_FALSE(t.CanHideToTray());
  f.Restore->trigger();
  QCoreApplication::processEvents();
  EXPECT_FALSE(f.isMinimized());
  EXPECT_TRUE(f.isVisible());

  // The notification area starts after the program: the icon follows without a restart.
  Trayer trayer;
  ASSERT_TRUE(TrayAvailableWithin(10000)) << "trayer did not take the notification area";
  EXPECT_TRUE(QTest::qWaitFor([&] { return t.TrayIcon()->isVisible(); },
                              3 * TTrayComp::kTrayRetryIntervalMs));
  EXPECT_TRUE(t.CanHideToTray());
  EXPECT_TRUE(QTest::qWaitFor([&] { return EmbeddedIcon() != nullptr; }, 5000));

  // "Hide": the window goes, only the icon stays.
  f.HideButton->click();
  QCoreApplication::processEvents();
  EXPECT_FALSE(f.isVisible());
  EXPECT_TRUE(t.Minimized());

  // A double click on the icon brings it back.
  QWidget* icon = EmbeddedIcon();
  ASSERT_NE(icon, nullptr);
  QTest::mouseDClick(icon, Qt::LeftButton);
  EXPECT_TRUE(QTest::qWaitFor([&] { return f.isVisible(); }, 3000));
  EXPECT_FALSE(t.Minimized());

  // Minimising by the title bar hides to the icon as well; the menu's "Show" restores.
  f.setWindowState(Qt::WindowMinimized);
  EXPECT_TRUE(QTest::qWaitFor([&] { return !f.isVisible(); }, 3000));
  f.Restore->trigger();
  EXPECT_TRUE(QTest::qWaitFor([&] { return f.isVisible(); }, 3000));
  EXPECT_FALSE(f.isMinimized());

  // The right button opens the menu on the icon.
  QTest::mouseClick(icon, Qt::RightButton);
  EXPECT_TRUE(QTest::qWaitFor([&] { return f.PopupMenu1->isVisible(); }, 3000));
  f.PopupMenu1->hide();

  // The notification area quits while the window hides in it: the window comes to the task bar.
  f.HideButton->click();
  QCoreApplication::processEvents();
  ASSERT_FALSE(f.isVisible());
  Stop(trayer.Pid);
  ASSERT_TRUE(TrayGoneWithin(5000));
  EXPECT_TRUE(QTest::qWaitFor([&] { return f.isVisible(); }, 3 * TTrayComp::kTrayRetryIntervalMs));
  EXPECT_TRUE(f.isMinimized());
  EXPECT_TRUE(s.Boxes.empty());
}

}  // namespace
