// Whether the desktop's notification area speaks the StatusNotifierItem protocol over D-Bus
// (KDE Plasma, GNOME with the AppIndicator extension, most current panels) rather than X11
// embedding.
#pragma once
#include <QObject>

// True when a StatusNotifierWatcher on the session bus has a host registered: Qt then shows its
// tray icons through that host.
bool StatusNotifierHostRegistered();

// Tells when a host may have come or gone: the watcher's name on the session bus appears or
// vanishes, or the watcher reports a host. A panel often starts after the programs of a login.
class TStatusNotifierHostWatch : public QObject {
  Q_OBJECT

 public:
  explicit TStatusNotifierHostWatch(QObject* parent);

 signals:
  void Changed();

 private slots:
  void Notify();
};
