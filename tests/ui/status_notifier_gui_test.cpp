// The tray icon on a StatusNotifierItem host (KDE Plasma, GNOME's AppIndicator extension, most
// current panels), spoken to over a private session bus as such a host speaks: the icon
// registers with the watcher, carries the tip and the menu, and one activation brings the hidden
// window back, since such hosts never report a double click. Qt chooses this kind of icon once
// per process, so this test has its own.
#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusPendingReply>
#include <QDBusVariant>
#include <QMutex>
#include <QMutexLocker>
#include <QObject>
#include <QPushButton>
#include <QStringList>
#include <QTest>
#include <QThread>
#include <string>

#include "ui/BusCall.h"
#include "ui/Traycomp.h"
#include "ui/UiSession.h"
#include "ui/X11Session.h"

namespace {

XServer gXServer;

// A session bus of the test's own; the desktop's, if any, is never touched.
struct SessionBus {
  TempDir Dir;
  pid_t Pid = -1;
  SessionBus() {
    if (!gXServer.Ready) return;
    const std::string address = "unix:path=" + Dir / "bus";
    Pid = Spawn("dbus-daemon", {"--session", "--nofork", "--address=" + address});
    for (int i = 0; i < 100 && !Exists(Dir / "bus"); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    setenv("DBUS_SESSION_BUS_ADDRESS", address.c_str(), 1);
  }
  ~SessionBus() { Stop(Pid); }
};
SessionBus gSessionBus;

}  // namespace

// The watcher a host runs, with a host registered.
class TWatcher : public QObject {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
  Q_PROPERTY(bool IsStatusNotifierHostRegistered READ IsStatusNotifierHostRegistered)
  Q_PROPERTY(int ProtocolVersion READ ProtocolVersion)
  Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ RegisteredStatusNotifierItems)

 public:
  bool IsStatusNotifierHostRegistered() const { return true; }
  int ProtocolVersion() const { return 0; }
  QStringList RegisteredStatusNotifierItems() const {
    QMutexLocker lock(&FLock);
    return FItems;
  }

 public slots:
  void RegisterStatusNotifierItem(const QString& service) {
    QMutexLocker lock(&FLock);
    FItems << service;
  }
  void RegisterStatusNotifierHost(const QString&) {}

 signals:
  void StatusNotifierItemRegistered(const QString& service);
  void StatusNotifierItemUnregistered(const QString& service);
  void StatusNotifierHostRegistered();

 private:
  mutable QMutex FLock;
  QStringList FItems;
};

// The watcher answers from a thread and a connection of its own, as a host in another process
// would: the icon calls it synchronously from the window thread.
struct WatcherOnItsOwnThread {
  QThread Thread;
  TWatcher* Watcher = new TWatcher;
  QDBusConnection Bus =
      QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("watcher"));
  bool Registered = false;
  WatcherOnItsOwnThread() {
    Watcher->moveToThread(&Thread);
    Thread.start();
    Registered = Bus.isConnected() &&
                 Bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), Watcher,
                                    QDBusConnection::ExportAllContents) &&
                 Bus.registerService(QStringLiteral("org.kde.StatusNotifierWatcher"));
  }
  ~WatcherOnItsOwnThread() {
    Bus.unregisterService(QStringLiteral("org.kde.StatusNotifierWatcher"));
    Bus.unregisterObject(QStringLiteral("/StatusNotifierWatcher"));
    Thread.quit();
    Thread.wait();
    delete Watcher;  // its thread has stopped; the connection still knows it
    QDBusConnection::disconnectFromBus(QStringLiteral("watcher"));
  }
};

namespace {

QVariant ItemProperty(const QString& service, const char* name) {
  const QDBusMessage reply =
      Call(service, QStringLiteral("/StatusNotifierItem"),
           QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
           {QStringLiteral("org.kde.StatusNotifierItem"), QString::fromLatin1(name)});
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return {};
  return reply.arguments().front().value<QDBusVariant>().variant();
}

// The item labels of a menu as the host reads it: (id, properties, children), depth first.
void MenuLabels(const QDBusArgument& node, QStringList& labels) {
  node.beginStructure();
  int id = 0;
  QVariantMap properties;
  node >> id >> properties;
  if (properties.contains(QStringLiteral("label")))
    labels << properties.value(QStringLiteral("label")).toString();
  node.beginArray();
  while (!node.atEnd()) {
    QDBusVariant child;
    node >> child;
    MenuLabels(child.variant().value<QDBusArgument>(), labels);
  }
  node.endArray();
  node.endStructure();
}

TEST(StatusNotifierHost, OneActivationRestoresAndTheHostHasTipAndMenu) {
  ASSERT_TRUE(gXServer.Ready) << "Xvfb did not start";
  ASSERT_TRUE(QDBusConnection::sessionBus().isConnected()) << "no private session bus";
  WatcherOnItsOwnThread host;
  ASSERT_TRUE(host.Registered);

  Session s;
  s.Show();
  TTrayComp& t = *s.Form->TrayComp1;
  EXPECT_FALSE(t.DoubleClickReported());
  ASSERT_TRUE(QTest::qWaitFor(
      [&] { return !host.Watcher->RegisteredStatusNotifierItems().isEmpty(); }, 5000))
      << "the icon never registered";
  const QString item =
      host.Watcher->RegisteredStatusNotifierItems().front().section(QLatin1Char('/'), 0, 0);

  // What the host shows: the tip and the menu.
  const QDBusArgument tip = ItemProperty(item, "ToolTip").value<QDBusArgument>();
  QString icon, title, text;
  tip.beginStructure();
  tip >> icon;
  tip.beginArray();
  while (!tip.atEnd()) tip.beginStructure(), tip.endStructure();
  tip.endArray();
  tip >> title >> text;
  tip.endStructure();
  EXPECT_EQ(title, QStringLiteral("Vyn Brevoxa"));
  const QDBusObjectPath menu = ItemProperty(item, "Menu").value<QDBusObjectPath>();
  ASSERT_FALSE(menu.path().isEmpty() || menu.path() == QStringLiteral("/"))
      << "no menu for the host to show";
  const QDBusMessage layout = Call(item, menu.path(), QStringLiteral("com.canonical.dbusmenu"),
                                   QStringLiteral("GetLayout"), {0, -1, QStringList()});
  ASSERT_EQ(layout.arguments().size(), 2);
  QStringList labels;
  MenuLabels(layout.arguments().at(1).value<QDBusArgument>(), labels);
  EXPECT_EQ(labels, QStringList({QStringLiteral("Show"), QStringLiteral("Exit")}));

  // Hidden to the icon, then one activation, as a host sends it for a click.
  s.Form->HideButton->click();
  ASSERT_TRUE(QTest::qWaitFor([&] { return !s.Form->isVisible(); }, 3000));
  Call(item, QStringLiteral("/StatusNotifierItem"), QStringLiteral("org.kde.StatusNotifierItem"),
       QStringLiteral("Activate"), {0, 0});
  EXPECT_TRUE(QTest::qWaitFor([&] { return s.Form->isVisible() && !t.Minimized(); }, 3000));
  EXPECT_TRUE(s.Boxes.empty());
}

}  // namespace

#include "status_notifier_gui_test.moc"
