// TTrayComp: the notification-area icon of a window, with its menu and mouse actions, over
// QSystemTrayIcon. Where the desktop has no notification area the window minimises to the
// task bar instead, and the icon is shown as soon as a notification area appears. On Wayland
// the notification area is a StatusNotifierItem host on the session bus, and the window is never
// told whether it is minimised: the component goes by what it asked for.
#pragma once
#include <QIcon>
#include <QObject>
#include <QString>
#include <functional>
#include <vector>

class QMenu;
class QSystemTrayIcon;
class QTimer;
class QWidget;
class TStatusNotifierHostWatch;

enum TTrayCompButtonClick {
  arLeftClick,
  arLeftDblClick,
  arLeftClickUp,
  arRightClick,
  arRightDblClick,
  arRightClickUp,
  arNone
};

class TTrayComp;
using TTrayNotifyEvent = std::function<void(TTrayComp* Sender)>;
using TImageList = std::vector<QIcon>;

class TTrayComp : public QObject {
  Q_OBJECT

 public:
  // window is the one that hides to the icon and comes back from it; it owns the component.
  explicit TTrayComp(QWidget* window);
  ~TTrayComp() override;

  // A tip longer than this many characters is refused by SetHint.
  static constexpr int kMaxHintLength = 63;
  // How often and how long to look for a notification area that was missing.
  static constexpr int kTrayRetryIntervalMs = 2000;
  static constexpr int kTrayRetryCount = 15;

  // Published properties.
  [[nodiscard]] bool Visible() const { return FVisible; }
  virtual void SetVisible(bool value);
  [[nodiscard]] QString Hint() const { return FHint; }
  virtual void SetHint(const QString& value);
  QMenu* PopupMenu = nullptr;
  [[nodiscard]] bool Hide() const { return FHide; }
  virtual void SetHide(bool value);
  TTrayCompButtonClick RestoreOn = arLeftDblClick;
  TTrayCompButtonClick PopupMenuOn = arNone;
  [[nodiscard]] const TImageList* Icons() const { return FIcons; }
  void SetIcons(const TImageList* value);
  [[nodiscard]] int IconIndex() const { return FIconIndex; }
  virtual void SetIconIndex(int value);
  [[nodiscard]] virtual int GetInterval() const;
  virtual void SetInterval(int value);
  [[nodiscard]] virtual bool GetAnimate() const;
  virtual void SetAnimate(bool value);

  TTrayNotifyEvent OnMinimize;
  TTrayNotifyEvent OnRestore;
  TTrayNotifyEvent OnLButtonDblClick;
  TTrayNotifyEvent OnLButtonDown;
  TTrayNotifyEvent OnLButtonUp;
  TTrayNotifyEvent OnRButtonDblClick;
  TTrayNotifyEvent OnRButtonDown;
  TTrayNotifyEvent OnRButtonUp;

  // Mouse actions on the icon: restore, then the menu, then the event.
  virtual void LButtonDown();
  virtual void LButtonUp();
  virtual void LButtonDblClick();
  virtual void RButtonDown();
  virtual void RButtonUp();
  virtual void RButtonDblClick();
  // The user's session ends: the icon goes.
  virtual void EndSession();

  // Hides the window to the icon, or minimises it to the task bar where the icon cannot take it.
  virtual void Minimize();
  // Shows the window again, in front.
  virtual void Restore();
  virtual void Update();
  virtual void ShowMenu();
  virtual void SetDefaultIcon();
  // After the window has set the properties: attaches the menu where the host shows it itself.
  virtual void Loaded();

  // False where the notification area is a StatusNotifierItem host: such hosts report one
  // activation and never a double click, so the activation stands for the double click too.
  [[nodiscard]] bool DoubleClickReported() const { return FDoubleClickReported; }
  void SetDoubleClickReported(bool value) { FDoubleClickReported = value; }

  // True when Minimize hides the window to the icon rather than to the task bar.
  [[nodiscard]] bool CanHideToTray() const;
  // True between Minimize and the next Restore.
  [[nodiscard]] bool Minimized() const { return FMinimized; }
  // The icon as the desktop sees it; for tests and the window. On Wayland it is made only once a
  // host is there (null until then): Qt picks the kind of icon once per process, when the first
  // is made.
  [[nodiscard]] QSystemTrayIcon* TrayIcon() const { return FTrayIcon; }
  [[nodiscard]] QIcon CurrentIcon() const { return FIcon; }

  // False on Wayland: the window system never reports that a window was minimised or restored.
  [[nodiscard]] bool MinimizedStateReported() const { return !FWayland; }
  // Where the window system does not report it, the window tells when it gains or loses the
  // focus: a window minimised to the task bar that lost the focus and gains it again was
  // brought back by the user.
  void WindowActivationChanged(bool active);

 protected:
  virtual void OnAnimation();

 private:
  void AddIcon();
  void RetryAddIcon();
  void ShowIcon();
  void MakeIcon();
  void TrayAppeared();
  void TrayHostChanged();
  void WatchTray();
  [[nodiscard]] bool TrayAvailable() const;
  void Activated(int reason);

  QWidget* FWindow;
  const bool FWayland;
  QSystemTrayIcon* FTrayIcon = nullptr;
  TStatusNotifierHostWatch* FHostWatch = nullptr;
  QTimer* FAnimationTimer;
  QTimer* FRetryTimer;
  QTimer* FWatchTimer;
  int FRetriesLeft = 0;
  bool FVisible = false;
  bool FHide = true;
  bool FMinimized = false;
  bool FLeftSinceMinimize = false;
  bool FDoubleClickReported = true;
  QString FHint;
  QIcon FIcon;
  const TImageList* FIcons = nullptr;
  int FIconIndex = 0;
};
