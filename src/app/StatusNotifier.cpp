#include "app/StatusNotifier.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QDBusVariant>
#include <QString>

namespace {

const QString kWatcherService = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString kWatcherPath = QStringLiteral("/StatusNotifierWatcher");
// The window waits for the answer: a watcher that hangs must not freeze it for long.
constexpr int kAnswerTimeoutMs = 1000;

}  // namespace

bool StatusNotifierHostRegistered() {
  QDBusConnection bus = QDBusConnection::sessionBus();
  if (!bus.isConnected() || !bus.interface() ||
      !bus.interface()->isServiceRegistered(kWatcherService))
    return false;
  // The property is read directly, without the interface's introspection.
  QDBusMessage get = QDBusMessage::createMethodCall(
      kWatcherService, kWatcherPath, QStringLiteral("org.freedesktop.DBus.Properties"),
      QStringLiteral("Get"));
  get << kWatcherService << QStringLiteral("IsStatusNotifierHostRegistered");
  const QDBusMessage reply = bus.call(get, QDBus::Block, kAnswerTimeoutMs);
  return reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty() &&
         reply.arguments().front().value<QDBusVariant>().variant().toBool();
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
