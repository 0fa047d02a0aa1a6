// A real X server (Xvfb) on a free display for window tests, with helper programs started on it
// (a window manager, a notification area) and the windows' X properties read back.
#pragma once
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <QGuiApplication>
#include <QWidget>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

inline pid_t Spawn(const char* program, const std::vector<std::string>& args) {
  const pid_t pid = fork();
  if (pid == 0) {
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program));
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    // Keep the test's output readable, and never hold the test runner's pipes open.
    if (!freopen("/dev/null", "w", stdout) || !freopen("/dev/null", "w", stderr)) _exit(127);
    // A test that dies must not leave its X server behind.
    prctl(PR_SET_PDEATHSIG, SIGTERM);
    execvp(program, argv.data());
    _exit(127);
  }
  return pid;
}

inline void Stop(pid_t& pid) {
  if (pid <= 0) return;
  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  pid = -1;
}

inline bool Exists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0;
}

// Started before main() makes the application, so that it connects to this display.
struct XServer {
  pid_t Pid = -1;
  bool Ready = false;
  XServer() {
    for (int n = 90; n < 140 && !Ready; ++n) {
      const std::string socket = "/tmp/.X11-unix/X" + std::to_string(n);
      if (Exists(socket) || Exists("/tmp/.X" + std::to_string(n) + "-lock")) continue;
      const std::string display = ":" + std::to_string(n);
      Pid = Spawn("Xvfb", {display, "-screen", "0", "1024x768x24", "-nolisten", "tcp"});
      for (int i = 0; i < 100 && !Ready; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        int status = 0;
        if (waitpid(Pid, &status, WNOHANG) == Pid) {  // lost the display to someone else
          Pid = -1;
          break;
        }
        Ready = Exists(socket);
      }
      if (Ready) {
        setenv("DISPLAY", display.c_str(), 1);
        setenv("QT_QPA_PLATFORM", "xcb", 1);
        // Only the X11 notification area is under test; no session bus tray is wanted.
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
      } else {
        Stop(Pid);
      }
    }
  }
  ~XServer() { Stop(Pid); }
};

struct Trayer {
  pid_t Pid = Spawn("trayer", {"--edge", "top", "--align", "right", "--height", "24"});
  ~Trayer() { Stop(Pid); }
};

inline xcb_connection_t* XConnection() {
  auto* x11 = qApp->nativeInterface<QNativeInterface::QX11Application>();
  return x11 ? x11->connection() : nullptr;
}

inline xcb_atom_t XAtom(const char* name) {
  xcb_connection_t* c = XConnection();
  xcb_intern_atom_reply_t* r = xcb_intern_atom_reply(
      c, xcb_intern_atom(c, 0, static_cast<uint16_t>(std::strlen(name)), name), nullptr);
  const xcb_atom_t atom = r ? r->atom : static_cast<xcb_atom_t>(XCB_ATOM_NONE);
  std::free(r);
  return atom;
}

inline std::string XAtomName(xcb_atom_t atom) {
  xcb_connection_t* c = XConnection();
  xcb_get_atom_name_reply_t* r = xcb_get_atom_name_reply(c, xcb_get_atom_name(c, atom), nullptr);
  std::string name =
      r ? std::string(xcb_get_atom_name_name(r), xcb_get_atom_name_name_length(r)) : "";
  std::free(r);
  return name;
}

// A property of an X window as the window manager reads it; found false when the window lacks it.
struct XPropertyValue {
  bool Found = false;
  std::string Bytes;
};

inline XPropertyValue XProperty(xcb_window_t window, const char* name) {
  xcb_connection_t* c = XConnection();
  XPropertyValue value;
  xcb_get_property_reply_t* r = xcb_get_property_reply(
      c, xcb_get_property(c, 0, window, XAtom(name), XCB_GET_PROPERTY_TYPE_ANY, 0, 1 << 16),
      nullptr);
  if (r && r->type != XCB_ATOM_NONE) {
    value.Found = true;
    value.Bytes.assign(static_cast<const char*>(xcb_get_property_value(r)),
                       static_cast<size_t>(xcb_get_property_value_length(r)));
  }
  std::free(r);
  return value;
}

// The names in an atom-list property such as _NET_WM_ALLOWED_ACTIONS.
inline std::vector<std::string> XAtomList(xcb_window_t window, const char* name) {
  const XPropertyValue v = XProperty(window, name);
  std::vector<std::string> names;
  for (size_t i = 0; i + 4 <= v.Bytes.size(); i += 4) {
    xcb_atom_t atom;
    std::memcpy(&atom, v.Bytes.data() + i, 4);
    names.push_back(XAtomName(atom));
  }
  return names;
}

inline bool WindowManagerRunning() {
  xcb_connection_t* c = XConnection();
  if (!c) return false;
  const xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c)).data->root;
  return XProperty(root, "_NET_SUPPORTING_WM_CHECK").Found;
}
