// The windows on a Wayland desktop: a headless sway with a private session bus, and waybar's
// tray as the StatusNotifierItem host, started late as a panel at login may be. Hide with and
// without the tray, a hidden start that moves into the tray once the host is there, the menu
// left to the host, and what the running program shows the compositor (its app id, its titles)
// or says when it cannot reach one. Qt chooses the kind of tray icon once per process, so the
// tests run in this order, in a process of their own.
#include <grp.h>
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QAction>
#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusPendingCall>
#include <QDBusVariant>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMenu>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>
#include <QWindow>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <string>
#include <vector>

#include "app/QtDialogs.h"
#include "ui/BusCall.h"
#include "ui/Traycomp.h"
#include "ui/UiSession.h"
#include "ui/X11Session.h"

namespace {

// sway refuses to run as root; there it runs as nobody, in a runtime folder it may write.
constexpr uid_t kNobody = 65534;

// As Spawn, as another user. The parent-death signal is set after the change of user, which
// would clear it: a test that dies must not leave its compositor behind.
pid_t SpawnAs(uid_t user, const char* program, const std::vector<std::string>& args) {
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv{const_cast<char*>(program)};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    if (!freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr)) _exit(127);
    if (setgroups(0, nullptr) != 0 || setgid(user) != 0 || setuid(user) != 0) _exit(126);
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    execvp(program, argv.data());
    _exit(127);
  }
  return pid;
}

// The compositor, its session bus and its runtime folder, made before main() makes the
// application so that it connects to them.
struct WaylandDesktop {
  TempDir Runtime;
  TempDir Config;
  pid_t Bus = -1;
  pid_t Sway = -1;
  std::string Display;
  std::string SwaySocket;

  WaylandDesktop() {
    chmod(Runtime.Path().c_str(), 0700);
    const std::string busAddress = "unix:path=" + Runtime / "bus";
    Bus = Spawn("dbus-daemon", {"--session", "--nofork", "--address=" + busAddress});
    for (int i = 0; i < 100 && !Exists(Runtime / "bus"); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(20));
    setenv("DBUS_SESSION_BUS_ADDRESS", busAddress.c_str(), 1);

    WriteFile(Config / "sway",
              "output * resolution 1024x768 bg #3a6ea5 solid_color\n"
              "default_border normal\nfont pango:DejaVu Sans 9\n");
    setenv("XDG_RUNTIME_DIR", Runtime.Path().c_str(), 1);
    setenv("WLR_BACKENDS", "headless", 1);
    setenv("WLR_LIBINPUT_NO_DEVICES", "1", 1);
    setenv("WLR_RENDERER", "pixman", 1);
    unsetenv("DISPLAY");
    unsetenv("WAYLAND_DISPLAY");
    if (geteuid() == 0) {
      chmod(Config.Path().c_str(), 0755);
      if (chown(Runtime.Path().c_str(), kNobody, kNobody) != 0) return;
      Sway = SpawnAs(kNobody, "sway", {"-c", Config / "sway"});
    } else {
      Sway = Spawn("sway", {"-c", Config / "sway"});
    }
    for (int i = 0; i < 200 && (Display.empty() || SwaySocket.empty()); ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      for (const auto& entry : std::filesystem::directory_iterator(Runtime.Path())) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("wayland-", 0) == 0 && name.find(".lock") == std::string::npos)
          Display = name;
        if (name.rfind("sway-ipc.", 0) == 0) SwaySocket = entry.path().string();
      }
    }
    // Without the compositor the tests fail one by one rather than Qt aborting the lot.
    if (!Ready()) return;
    setenv("WAYLAND_DISPLAY", Display.c_str(), 1);
    setenv("QT_QPA_PLATFORM", "wayland", 1);
  }
  ~WaylandDesktop() {
    Stop(Sway);
    Stop(Bus);
  }
  [[nodiscard]] bool Ready() const { return !Display.empty() && !SwaySocket.empty(); }
};
WaylandDesktop gDesktop;

// waybar with nothing but its tray: a StatusNotifierItem host with its own watcher.
struct TrayHost {
  TempDir Dir;
  pid_t Pid = -1;
  TrayHost() {
    WriteFile(Dir / "config",
              R"({"layer": "top", "position": "top", "height": 28, "modules-right": ["tray"],)"
              R"( "tray": {"icon-size": 20, "spacing": 6}})");
    WriteFile(Dir / "style.css",
              "* { font-family: \"DejaVu Sans\"; font-size: 12px; }\n"
              "window#waybar { background: #202428; }\n");
    Pid = Spawn("waybar", {"-c", Dir / "config", "-s", Dir / "style.css"});
  }
  ~TrayHost() { Stop(Pid); }
};

// One window as the compositor has it.
struct View {
  long long Id = 0;
  qint64 Pid = 0;
  std::string AppId;
  std::string Name;
  bool Focused = false;
};

void CollectViews(const QJsonObject& node, std::vector<View>& views) {
  if (node.contains(QStringLiteral("pid"))) {
    views.push_back({node[QStringLiteral("id")].toVariant().toLongLong(),
                     node[QStringLiteral("pid")].toVariant().toLongLong(),
                     node[QStringLiteral("app_id")].toString().toStdString(),
                     node[QStringLiteral("name")].toString().toStdString(),
                     node[QStringLiteral("focused")].toBool()});
  }
  for (const char* list : {"nodes", "floating_nodes"})
    for (const QJsonValue child : node[QLatin1String(list)].toArray())
      CollectViews(child.toObject(), views);
}

// What swaymsg prints. It runs from /, since a window test's folder (the current one) may be gone.
std::string Sway(const std::vector<std::string>& args) {
  int out[2];
  if (pipe(out) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv{const_cast<char*>("swaymsg"), const_cast<char*>("-s"),
                            const_cast<char*>(gDesktop.SwaySocket.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    close(out[1]);
    if (chdir("/") != 0 || !freopen("/dev/null", "w", stderr)) _exit(127);
    execvp("swaymsg", argv.data());
    _exit(127);
  }
  close(out[1]);
  std::string text;
  char buffer[4096];
  ssize_t n;
  while ((n = read(out[0], buffer, sizeof buffer)) > 0) text.append(buffer, static_cast<size_t>(n));
  close(out[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return text;
}

// The windows of one process, as the compositor lists them.
std::vector<View> ViewsOf(qint64 pid) {
  std::vector<View> all, mine;
  CollectViews(
      QJsonDocument::fromJson(QByteArray::fromStdString(Sway({"-r", "-t", "get_tree"}))).object(),
      all);
  for (const View& v : all)
    if (v.Pid == pid) mine.push_back(v);
  return mine;
}

// Pictures of the desktop for the notes, beside the test.
void Picture(const std::string& name) {
  const std::string path = std::string(TEST_HELPER_DIR) + "/wayland-" + name + ".png";
  std::remove(path.c_str());  // perhaps left by another user
  pid_t grim = Spawn("grim", {path});
  int status = -1;
  waitpid(grim, &status, 0);
  EXPECT_EQ(status, 0) << path;
}

void ExpectDesktop() {
  ASSERT_TRUE(gDesktop.Ready()) << "sway did not start";
  ASSERT_EQ(QGuiApplication::platformName(), QStringLiteral("wayland"));
  static bool done = false;
  if (done) return;
  done = true;
  // As the program entry sets the application up.
  QApplication::setApplicationName(QStringLiteral("Vyn Brevoxa"));
  QGuiApplication::setDesktopFileName(QStringLiteral("org.quorvel.VynBrevoxa"));
  InstallQtDialogs();
}

// The items the host shows, as bus names.
QStringList RegisteredItems() {
  const QDBusMessage reply = Call(
      QStringLiteral("org.kde.StatusNotifierWatcher"), QStringLiteral("/StatusNotifierWatcher"),
      QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
      {QStringLiteral("org.kde.StatusNotifierWatcher"),
       QStringLiteral("RegisteredStatusNotifierItems")});
  if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) return {};
  QStringList names;
  for (const QString& item :
       reply.arguments().front().value<QDBusVariant>().variant().toStringList())
    names << item.section(QLatin1Char('/'), 0, 0);
  return names;
}

void CallItem(const QString& item, const char* method) {
  Call(item, QStringLiteral("/StatusNotifierItem"), QStringLiteral("org.kde.StatusNotifierItem"),
       QString::fromLatin1(method), {300, 14});
}

// The program itself, in a private network namespace, started with the display of the test. An
// ordinary user's namespace is another user to the session bus, which would keep the program
// waiting on its refusal; it has none.
std::string IsolatedProgram() {
  return std::string("env -u QT_QPA_PLATFORM -u DBUS_SESSION_BUS_ADDRESS ") +
         (geteuid() == 0 ? "unshare --net " : "unshare -rn ") + BREVOXA_EXE;
}

// Before any tray host: "Hide" leaves the window on the task bar, and it stays minimised there
// although Qt takes the state back a moment later, until the user brings it back by focusing it.
TEST(DesktopOnWayland, HideWithoutATrayStaysOnTheTaskBarUntilBroughtBack) {
  ASSERT_NO_FATAL_FAILURE(ExpectDesktop());
  Session s;
  s.Show();
  TForm1& f = *s.Form;
  TTrayComp& t = *f.TrayComp1;
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&f));
  int restores = 0;
  t.OnRestore = [&](TTrayComp*) { ++restores; };

  f.HideButton->click();
  QTest::qWait(500);
  EXPECT_TRUE(t.Minimized());
  EXPECT_EQ(restores, 0) << "the minimise was taken for a restore";
  EXPECT_TRUE(f.isVisible()) << "the task bar button is the only way back";
  EXPECT_FALSE(t.CanHideToTray());
  EXPECT_EQ(t.TrayIcon(), nullptr) << "an icon made before a host never reaches one";
  Picture("hide-without-tray");

  // Another window takes the focus, then the user focuses this one again.
  QWidget other;
  other.setWindowTitle(QStringLiteral("Other"));
  other.resize(200, 100);
  other.show();
  ASSERT_TRUE(QTest::qWaitFor([&] { return other.isActiveWindow() && !f.isActiveWindow(); }, 3000));
  EXPECT_TRUE(t.Minimized());
  long long main = 0;
  for (const View& v : ViewsOf(getpid()))
    if (v.Name == "Vyn Brevoxa") main = v.Id;
  ASSERT_NE(main, 0);
  Sway({"[con_id=" + std::to_string(main) + "] focus"});
  EXPECT_TRUE(QTest::qWaitFor([&] { return !t.Minimized(); }, 3000));
  EXPECT_EQ(restores, 1);
  EXPECT_TRUE(s.Boxes.empty());
}

// A hidden start (autostart at login) before the panel: it waits on the task bar, then moves
// into the tray as soon as the host is there. Then the tray as the host uses it: one activation
// restores, a host's request for the menu opens no menu away from the icon, "Hide" and the
// title bar's minimise hide to it, a host that quits gives the window back to the task bar, and
// one that starts again takes icon and window again.
TEST(DesktopOnWayland, HiddenStartMovesIntoATrayHostStartedLater) {
  ASSERT_NO_FATAL_FAILURE(ExpectDesktop());
  Session s(HiveWith("\"HOS\"=dword:00000001"));
  s.Show();
  TForm1& f = *s.Form;
  TTrayComp& t = *f.TrayComp1;
  ASSERT_TRUE(QTest::qWaitFor([&] { return t.Minimized(); }, 3000));
  QTest::qWait(300);
  EXPECT_TRUE(t.Minimized());
  EXPECT_TRUE(f.isVisible());

  TrayHost host;
  ASSERT_TRUE(QTest::qWaitFor([&] { return !f.isVisible(); }, 10000)) << "still on the task bar";
  ASSERT_NE(t.TrayIcon(), nullptr);
  EXPECT_TRUE(t.TrayIcon()->isVisible());
  EXPECT_TRUE(t.Minimized());
  ASSERT_TRUE(QTest::qWaitFor([] { return !RegisteredItems().isEmpty(); }, 5000))
      << "the host has no item";
  const QString item = RegisteredItems().front();
  EXPECT_TRUE(QTest::qWaitFor([] { return ViewsOf(getpid()).empty(); }, 3000));
  QTest::qWait(500);  // the panel draws the icon
  Picture("late-tray-host");

  CallItem(item, "Activate");
  ASSERT_TRUE(QTest::qWaitFor([&] { return f.isVisible() && !t.Minimized(); }, 3000));
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&f));
  QTest::qWait(300);
  Picture("shown-from-the-tray");

  // The host asks for the menu (a host that does not show the exported one itself): the program
  // cannot put it at the icon, and opens none at wherever the pointer last was in the window.
  int menuRequests = 0;
  t.OnRButtonDown = [&](TTrayComp*) { ++menuRequests; };
  CallItem(item, "ContextMenu");
  ASSERT_TRUE(QTest::qWaitFor([&] { return menuRequests == 1; }, 3000)) << "no request came";
  QTest::qWait(500);
  EXPECT_FALSE(f.PopupMenu1->isVisible());
  EXPECT_EQ(ViewsOf(getpid()).size(), 1U) << "a window of its own for the menu";

  f.HideButton->click();
  EXPECT_TRUE(QTest::qWaitFor([&] { return !f.isVisible(); }, 3000)) << "Hide with a tray";

  CallItem(item, "Activate");
  ASSERT_TRUE(QTest::qWaitFor([&] { return f.isVisible() && !t.Minimized(); }, 3000));
  ASSERT_TRUE(QTest::qWaitForWindowExposed(&f));
  // The minimise button of a title bar Qt draws itself asks the native window alone.
  f.windowHandle()->setWindowState(Qt::WindowMinimized);
  EXPECT_TRUE(QTest::qWaitFor([&] { return !f.isVisible(); }, 3000)) << "minimise with a tray";

  Stop(host.Pid);
  EXPECT_TRUE(QTest::qWaitFor([&] { return f.isVisible(); }, 5000)) << "lost with the tray";
  EXPECT_TRUE(t.Minimized());

  // The panel is started again: the icon is in it again, and the window with it.
  TrayHost again;
  EXPECT_TRUE(QTest::qWaitFor([&] { return !f.isVisible(); }, 10000));
  EXPECT_TRUE(QTest::qWaitFor([] { return !RegisteredItems().isEmpty(); }, 5000))
      << "hidden in a tray that shows no icon";
  EXPECT_TRUE(s.Boxes.empty());
}

// A question captioned with an empty variable name has no title on the compositor either.
TEST(DesktopOnWayland, AnEmptyCaptionIsNoTitle) {
  ASSERT_NO_FATAL_FAILURE(ExpectDesktop());
  Session s;
  s.Show();
  bool seen = false;
  std::vector<View> views;
  QObject scope;
  QTimer::singleShot(0, &scope, [&] {
    seen = QTest::qWaitFor([&] { return ViewsOf(getpid()).size() == 2; }, 5000);
    QTest::qWait(300);
    views = ViewsOf(getpid());
    if (auto* box = qobject_cast<QDialog*>(QApplication::activeModalWidget())) box->reject();
  });
  s.OldHandler("Apply anyway?", "", mtConfirmation, mbYesNo);
  ASSERT_TRUE(seen) << "the box never came up";
  std::vector<std::string> names;
  for (const View& v : views) names.push_back(v.Name);
  EXPECT_EQ(names, (std::vector<std::string>{"Vyn Brevoxa", ""}));
}

// The program entry: the compositor knows the window by the desktop entry's name; with a
// display asked for that cannot be used, one line says so instead of Qt's abort.
TEST(DesktopOnWayland, TheProgramIsKnownByItsDesktopEntryOrSaysWhatIsMissing) {
  ASSERT_NO_FATAL_FAILURE(ExpectDesktop());
  // The folder of an earlier window test, the current one, is gone.
  ASSERT_EQ(chdir(TEST_HELPER_DIR), 0);
  TempDir dir;
  const std::string options = " --port 47931 --program-folder " + dir.Path();
  const pid_t program = Spawn("sh", {"-c", "exec " + IsolatedProgram() + options});
  std::vector<View> views;
  EXPECT_TRUE(QTest::qWaitFor(
      [&] {
        views = ViewsOf(program);
        return !views.empty();
      },
      60000))
      << "no window";
  if (!views.empty()) {
    EXPECT_EQ(views.front().AppId, "org.quorvel.VynBrevoxa");
    EXPECT_EQ(views.front().Name, "Vyn Brevoxa");
  }
  pid_t stopped = program;
  Stop(stopped);

  const int status = std::system(
      ("WAYLAND_DISPLAY=no-such-display " + IsolatedProgram() + options + " 2>" + dir / "err")
          .c_str());
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << status;
  EXPECT_NE(ReadFile(dir / "err")
                .find("brevoxa: no display can be used: cannot connect to the "
                      "Wayland display no-such-display (" +
                      gDesktop.Runtime.Path() + "/no-such-display: No such file or directory)\n"),
            std::string::npos)
      << ReadFile(dir / "err");
}

}  // namespace
