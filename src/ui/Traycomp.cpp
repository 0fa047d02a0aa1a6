// The notification-area icon component.
#include "ui/Traycomp.h"

#include <QApplication>
#include <QCursor>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>

#include "platform/qt/StatusNotifier.h"
#include "ui/Icons.h"

TTrayComp::TTrayComp(QWidget* window)
    : QObject(window),
      FWindow(window),
      FTrayIcon(new QSystemTrayIcon(this)),
      FAnimationTimer(new QTimer(this)),
      FRetryTimer(new QTimer(this)),
      FWatchTimer(new QTimer(this)) {
  FAnimationTimer->setInterval(1000);
  connect(FAnimationTimer, &QTimer::timeout, this, [this] { OnAnimation(); });
  FRetryTimer->setInterval(kTrayRetryIntervalMs);
  connect(FRetryTimer, &QTimer::timeout, this, [this] { RetryAddIcon(); });
  FWatchTimer->setInterval(kTrayRetryIntervalMs);
  connect(FWatchTimer, &QTimer::timeout, this, [this] { WatchTray(); });
  connect(FTrayIcon, &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) { Activated(reason); });
  // The icon must not linger in the notification area once the program is going.
  connect(qApp, &QCoreApplication::aboutToQuit, this, [this] { EndSession(); });
  // Qt picks the kind of icon when it is made, by the same test.
  FDoubleClickReported = !StatusNotifierHostRegistered();
  SetDefaultIcon();
}

void TTrayComp::Loaded() {
  if (FIcons && FIconIndex >= 0 && FIconIndex < static_cast<int>(FIcons->size()))
    FIcon = (*FIcons)[FIconIndex];
  // A StatusNotifierItem host opens the attached menu itself and may never ask us to. An
  // X11 notification area would open an attached menu on its own as well as ours.
  if (!FDoubleClickReported) FTrayIcon->setContextMenu(PopupMenu);
  Update();
}

TTrayComp::~TTrayComp() { FTrayIcon->hide(); }

void TTrayComp::SetVisible(bool value) {
  FVisible = value;
  if (value) {
    AddIcon();
    FHide = true;
  } else {
    FRetryTimer->stop();
    FWatchTimer->stop();
    FTrayIcon->hide();
    FHide = false;
    // A window hidden to the icon would have no way back once the icon is gone.
    if (FMinimized && FWindow && FWindow->isHidden()) FWindow->showMinimized();
  }
}

// A desktop without a notification area is no reason to stop the server: the window minimises
// to the task bar, and the icon is tried again for a while since the tray may start after us.
void TTrayComp::AddIcon() {
  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    FRetryTimer->stop();
    Update();
    FTrayIcon->show();
    return;
  }
  FRetriesLeft = kTrayRetryCount;
  FRetryTimer->start();
}

void TTrayComp::RetryAddIcon() {
  if (!FVisible) {
    FRetryTimer->stop();
    return;
  }
  if (QSystemTrayIcon::isSystemTrayAvailable()) {
    FRetryTimer->stop();
    Update();
    FTrayIcon->show();
    // A window that wanted the tray (hidden at start before the panel came up at login) moves
    // into it now instead of staying in the task bar.
    if (FMinimized && FWindow && !FWindow->isHidden() && CanHideToTray()) {
      FWindow->hide();
      FWatchTimer->start();
    }
    return;
  }
  // While a window waits minimised for the tray, the panel may still be starting: keep looking.
  if (--FRetriesLeft <= 0 && !FMinimized) FRetryTimer->stop();
}

void TTrayComp::SetHint(const QString& value) {
  // Longer tips do not fit the notification area's tip; they are refused, not cut.
  if (value == FHint || value.toUcs4().size() > kMaxHintLength) return;
  FHint = value;
  FTrayIcon->setToolTip(FHint);
  Update();
}

void TTrayComp::SetHide(bool value) { FHide = value; }

void TTrayComp::SetIcons(const TImageList* value) {
  FIcons = value;
  if (FIcons && FIconIndex >= 0 && FIconIndex < static_cast<int>(FIcons->size())) {
    FIcon = (*FIcons)[FIconIndex];
  } else if (!FIcons) {
    FAnimationTimer->stop();
  }
  Update();
}

void TTrayComp::SetIconIndex(int value) {
  FIconIndex = value;
  if (FIcons && value >= 0 && value < static_cast<int>(FIcons->size())) FIcon = (*FIcons)[value];
  Update();
}

int TTrayComp::GetInterval() const { return FAnimationTimer->interval(); }

void TTrayComp::SetInterval(int value) { FAnimationTimer->setInterval(value); }

bool TTrayComp::GetAnimate() const { return FAnimationTimer->isActive(); }

void TTrayComp::SetAnimate(bool value) {
  // Nothing to cycle through without a picture list.
  if (value && (!FIcons || FIcons->empty())) return;
  if (value)
    FAnimationTimer->start();
  else
    FAnimationTimer->stop();
}

void TTrayComp::OnAnimation() {
  if (!FIcons || FIcons->empty()) {
    FAnimationTimer->stop();
    return;
  }
  int next = FIconIndex + 1;
  if (next < 0 || next >= static_cast<int>(FIcons->size())) next = 0;
  SetIconIndex(next);
}

void TTrayComp::SetDefaultIcon() {
  FIcon = qApp->windowIcon();
  if (FIcon.isNull()) FIcon = BrevoxaIcon();
  Update();
}

void TTrayComp::Update() {
  if (!FIcon.isNull()) FTrayIcon->setIcon(FIcon);
}

void TTrayComp::Activated(int reason) {
  switch (reason) {
    case QSystemTrayIcon::Trigger:
      LButtonDown();
      LButtonUp();
      if (!FDoubleClickReported) LButtonDblClick();
      break;
    case QSystemTrayIcon::DoubleClick:
      LButtonDblClick();
      break;
    case QSystemTrayIcon::Context:
      RButtonDown();
      break;
    default:  // the middle button has no action
      break;
  }
}

void TTrayComp::LButtonDown() {
  if (RestoreOn == arLeftClick) Restore();
  if (PopupMenuOn == arLeftClick) ShowMenu();
  if (OnLButtonDown) OnLButtonDown(this);
}

void TTrayComp::LButtonDblClick() {
  if (RestoreOn == arLeftDblClick) Restore();
  if (PopupMenuOn == arLeftDblClick) ShowMenu();
  if (OnLButtonDblClick) OnLButtonDblClick(this);
}

void TTrayComp::LButtonUp() {
  if (RestoreOn == arLeftClickUp) Restore();
  if (PopupMenuOn == arLeftClickUp) ShowMenu();
  if (OnLButtonUp) OnLButtonUp(this);
}

void TTrayComp::RButtonDown() {
  if (RestoreOn == arRightClick) Restore();
  if (PopupMenuOn == arRightClick) ShowMenu();
  if (OnRButtonDown) OnRButtonDown(this);
}

void TTrayComp::RButtonDblClick() {
  if (RestoreOn == arRightDblClick) Restore();
  if (PopupMenuOn == arRightDblClick) ShowMenu();
  if (OnRButtonDblClick) OnRButtonDblClick(this);
}

void TTrayComp::RButtonUp() {
  if (RestoreOn == arRightClickUp) Restore();
  if (PopupMenuOn == arRightClickUp) ShowMenu();
  if (OnRButtonUp) OnRButtonUp(this);
}

void TTrayComp::EndSession() {
  FRetryTimer->stop();
  FWatchTimer->stop();
  FTrayIcon->hide();
}

void TTrayComp::ShowMenu() {
  if (PopupMenu) PopupMenu->popup(QCursor::pos());
}

bool TTrayComp::CanHideToTray() const {
  return FHide && FVisible && FTrayIcon->isVisible() && QSystemTrayIcon::isSystemTrayAvailable();
}

void TTrayComp::Minimize() {
  // Marked first: the state change below comes back through the window's change event.
  FMinimized = true;
  if (FWindow) {
    if (CanHideToTray()) {
      FWindow->hide();
      FWatchTimer->start();
    } else {
      if (!FWindow->isMinimized()) FWindow->showMinimized();
      // Look for the notification area again: the window moves into it once it is there.
      if (FVisible && FHide && !FRetryTimer->isActive()) {
        FRetriesLeft = kTrayRetryCount;
        FRetryTimer->start();
      }
    }
  }
  if (OnMinimize) OnMinimize(this);
}

// A notification area that goes away (its panel quits or crashes) takes the only way back to a
// window hidden in it: the window then waits in the task bar instead.
void TTrayComp::WatchTray() {
  if (!FMinimized || !FWindow || !FWindow->isHidden()) {
    FWatchTimer->stop();
    return;
  }
  if (!QSystemTrayIcon::isSystemTrayAvailable()) {
    FWatchTimer->stop();
    FWindow->showMinimized();
  }
}

void TTrayComp::Restore() {
  // Cleared first: showing the window comes back through the window's change event.
  FMinimized = false;
  FWatchTimer->stop();
  if (FWindow) {
    FWindow->showNormal();
    FWindow->raise();
    FWindow->activateWindow();
  }
  if (OnRestore) OnRestore(this);
}
