// The notification-area icon for real: an X server (Xvfb) on a free display, with and without a
// notification area (trayer). Without one the window minimises to the task bar; when one
// appears late the icon comes; the window hides to the icon and comes back from it; and when
// the notification area goes away the hidden window comes back to the task bar.
#include <gtest/gtest.h>

#include <QAction>
#include <QApplication>
#include <QMenu>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTest>
#include <QWidget>
#include <string>

#include "ui/Traycomp.h"
#include "ui/UiSession.h"
#include "ui/X11Session.h"

namespace {

XServer gXServer;

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
