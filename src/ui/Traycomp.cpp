// The notification-area icon component.
#include "ui/Traycomp.h"

#include <QApplication>
#include <QCursor>
#include <QGuiApplication>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QWidget>

#include "app/StatusNotifier.h"
#include "ui/Icons.h"

TTrayComp::TTrayComp(QWidget* window)
    : QObject(window),
      FWindow(window),
      FWayland(QGuiApplication::platformName().startsWith(QStringLiteral("wayland"))),
      FAnimationTimer(new QTimer(this)),
      FRetryTimer(new QTimer(this)),
      FWatchTimer(new QTimer(this)) {
  FAnimationTimer->setInterval(1000);
  connect(FAnimationTimer, &QTimer::timeout, this, [this] { OnAnimation(); });
  FRetryTimer->setInterval(kTrayRetryIntervalMs);
  connect(FRetryTimer, &QTimer::timeout, this, [this] { RetryAddIcon(); });
  FWatchTimer->setInterval(kTrayRetryIntervalMs);
  connect(FWatchTimer, &QTimer::timeout, this, [this] { WatchTray(); });
  // The icon must not linger in the notification area once the program is going.
  connect(qApp, &QCoreApplication::aboutToQuit, this, [this] { EndSession(); });
  if (FWayland) {
    // Only a StatusNotifierItem host can show an icon here, and it may start at any time.
    FDoubleClickReported = false;
    FHostWatch = new TStatusNotifierHostWatch(this);
    connect(FHostWatch, &TStatusNotifierHostWatch::Changed, this, [this] { TrayHostChanged(); });
  } else {
    // Qt picks the kind of icon when it is made, by the same test.
    FDoubleClickReported = !StatusNotifierHostRegistered();
    MakeIcon();
  }
  SetDefaultIcon();
}

// Qt decides once per process, when the first icon is made or the tray is first asked about,
// whether icons go to a StatusNotifierItem host; on Wayland, with no other kind of icon, a
// decision taken before the host started would keep the icon away for good. So there the icon
// is made, and the tray asked about, only through the host's own watcher.
void TTrayComp::MakeIcon() {
  if (FTrayIcon) return;
  FTrayIcon = new QSystemTrayIcon(this);
  connect(FTrayIcon, &QSystemTrayIcon::activated, this,
          [this](QSystemTrayIcon::ActivationReason reason) { Activated(reason); });
  FTrayIcon->setToolTip(FHint);
  if (!FDoubleClickReported && PopupMenu) FTrayIcon->setContextMenu(PopupMenu);
  Update();
}

bool TTrayComp::TrayAvailable() const {
  return FWayland ? StatusNotifierHostRegistered() : QSystemTrayIcon::isSystemTrayAvailable();
}

void TTrayComp::Loaded() {
  if (FIcons && FIconIndex >= 0 && FIconIndex < static_cast<int>(FIcons->size()))
    FIcon = (*FIcons)[FIconIndex];
  // A StatusNotifierItem host opens the attached menu itself and may never ask us to. An
  // X11 notification area would open an attached menu on its own as well as ours.
  if (!FDoubleClickReported && FTrayIcon) FTrayIcon->setContextMenu(PopupMenu);
  Update();
}

TTrayComp::~TTrayComp() {
  if (FTrayIcon) FTrayIcon->hide();
}

void TTrayComp::SetVisible(bool value) {
  FVisible = value;
  if (value) {
    AddIcon();
    FHide = true;
  } else {
    FRetryTimer->stop();
    FWatchTimer->stop();
    if (FTrayIcon) FTrayIcon->hide();
    FHide = false;
    // A window hidden to the icon would have no way back once the icon is gone.
    if (FMinimized && FWindow && FWindow->isHidden()) FWindow->showMinimized();
  }
}

// A desktop without a notification area is no reason to stop the server: the window minimises
// to the task bar, and the icon is tried again for a while since the tray may start after us.
void TTrayComp::AddIcon() {
  if (TrayAvailable()) {
    ShowIcon();
    return;
  }
  FRetriesLeft = kTrayRetryCount;
  FRetryTimer->start();
}

void TTrayComp::ShowIcon() {
  FRetryTimer->stop();
  MakeIcon();
  Update();
  FTrayIcon->show();
}

void TTrayComp::RetryAddIcon() {
  if (!FVisible) {
    FRetryTimer->stop();
    return;
  }
  if (TrayAvailable()) {
    TrayAppeared();
    return;
  }
  // While a window waits minimised for the tray, the panel may still be starting: keep looking.
  if (--FRetriesLeft <= 0 && !FMinimized) FRetryTimer->stop();
}

void TTrayComp::TrayAppeared() {
  ShowIcon();
  // A window that wanted the tray (hidden at start before the panel came up at login) moves
  // into it now instead of staying in the task bar.
  if (FMinimized && FWindow && !FWindow->isHidden() && CanHideToTray()) {
    FWindow->hide();
    FWatchTimer->start();
  }
}

// The host's watcher came, went or took a host: the icon follows at once, without waiting for
// the next look.
void TTrayComp::TrayHostChanged() {
  if (!FVisible || !FHide) return;
  if (TrayAvailable()) {
    TrayAppeared();
  } else if (FMinimized && FWindow && FWindow->isHidden()) {
    FWatchTimer->stop();
    FWindow->showMinimized();
  }
}

void TTrayComp::SetHint(const QString& value) {
  // Longer tips do not fit the notification area's tip; they are refused, not cut.
  if (value == FHint || value.toUcs4().size() > kMaxHintLength) return;
  FHint = value;
  if (FTrayIcon) FTrayIcon->setToolTip(FHint);
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
  if (FTrayIcon && !FIcon.isNull()) FTrayIcon->setIcon(FIcon);
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
  if (FTrayIcon) FTrayIcon->hide();
}

void TTrayComp::ShowMenu() {
  // A Wayland client neither knows where the pointer is outside its own windows nor can put a
  // window at a point of the screen: the menu would come up as a window of its own, away from
  // the icon. There the host opens the menu attached to the icon itself, where it likes.
  if (PopupMenu && !FWayland) PopupMenu->popup(QCursor::pos());
}

bool TTrayComp::CanHideToTray() const {
  return FHide && FVisible && FTrayIcon && FTrayIcon->isVisible() && TrayAvailable();
}

void TTrayComp::Minimize() {
  // Marked first: the state change below comes back through the window's change event.
  FMinimized = true;
  FLeftSinceMinimize = false;
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
  if (!TrayAvailable()) {
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

void TTrayComp::WindowActivationChanged(bool active) {
  if (!FWayland || !FMinimized || !FWindow || FWindow->isHidden()) return;
  if (!active)
    FLeftSinceMinimize = true;
  else if (FLeftSinceMinimize)
    Restore();
}
