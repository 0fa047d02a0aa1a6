// A D-Bus method call on the session bus that keeps this thread's event loop turning, for tests
// whose callee (the tray icon) answers on the same thread.
#pragma once
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QTest>
#include <QVariantList>

// A reply that has not come within five seconds is an invalid one, which the caller sees.
inline QDBusMessage Call(const QString& service, const QString& path, const QString& interface,
                         const QString& method, const QVariantList& args) {
  QDBusMessage m = QDBusMessage::createMethodCall(service, path, interface, method);
  m.setArguments(args);
  QDBusPendingCall pending = QDBusConnection::sessionBus().asyncCall(m);
  (void)QTest::qWaitFor([&] { return pending.isFinished(); }, 5000);
  return pending.reply();
}
