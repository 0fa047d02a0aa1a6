#include "platform/qt/StatusNotifier.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusServiceWatcher>
#include <QString>

namespace {

const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kWatcherPath = QStringLiteral("/StatusNotifierWatcher");

}  // namespace

bool StatusNotifierHostRegistered() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected() || !bus.interface() ||
      !bus.interface()->isServiceRegistered(kWatcherService))
    return false;
  QDBusInterface watcher(kWatcherService, kWatcherPath, kWatcherService, bus);
  return watcher.property("IsStatusNotifierHostRegistered").toBool();
}

TStatusNotifierHostWatch::TStatusNotifierHostWatch(QObject* parent) : QObject(parent) {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected()) return;
  auto* names = new QDBusServiceWatcher(
      kWatcherService, bus,
      QDBusServiceWatcher::WatchForRegistration | QDBusServiceWatcher::WatchForUnregistration,
      this);
  connect(names, &QDBusServiceWatcher::serviceRegistered, this, &TStatusNotifierHostWatch::Notify);
  connect(names, &QDBusServiceWatcher::serviceUnregistered, this,
          &TStatusNotifierHostWatch::Notify);
  // The watcher's name may come a moment before its host registers with it.
  bus.connect(kWatcherService, kWatcherPath, kWatcherService,
              QStringLiteral("StatusNotifierHostRegistered"), this, SLOT(Notify()));
  bus.connect(kWatcherService, kWatcherPath, kWatcherService,
              QStringLiteral("StatusNotifierHostUnregistered"), this, SLOT(Notify()));
}

void TStatusNotifierHostWatch::Notify() { emit Changed(); }
