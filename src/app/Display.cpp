#include "app/Display.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <QLibraryInfo>
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

std::string Env(const char* name) {
  const char* value = std::getenv(name);
  return value ? value : "";
}

bool FileExists(const std::string& path) { return access(path.c_str(), R_OK) == 0; }

// Where Qt looks for its platform plugins: its own folder and the folders the environment adds.
bool WaylandPluginInstalled() {
  const struct {
    const char* Variable;
    const char* Below;  // where the platform plugins are inside each folder the variable lists
  } sources[] = {{"QT_QPA_PLATFORM_PLUGIN_PATH", ""}, {"QT_PLUGIN_PATH", "/platforms"}};
  std::vector<std::string> dirs;
  for (const auto& source : sources) {
    const std::string list = Env(source.Variable);
    size_t start = 0;
    while (start <= list.size()) {
      const size_t end = std::min(list.find(':', start), list.size());
      if (end > start) dirs.push_back(list.substr(start, end - start) + source.Below);
      start = end + 1;
    }
  }
  dirs.push_back(QLibraryInfo::path(QLibraryInfo::PluginsPath).toStdString() + "/platforms");
  for (const std::string& dir : dirs) {
    for (const char* plugin : {"/libqwayland-generic.so", "/libqwayland-egl.so"})
      if (FileExists(dir + plugin)) return true;
  }
  return false;
}

// Empty when the compositor's socket takes a connection, else why not.
std::string WaylandProblem(const std::string& display) {
  std::string path = display;
  if (path.front() != '/') {
    const std::string runtime = Env("XDG_RUNTIME_DIR");
    if (runtime.empty())
      return "cannot connect to the Wayland display " + display + " (XDG_RUNTIME_DIR is not set)";
    path = runtime + "/" + display;
  }
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof address.sun_path)
    return "cannot connect to the Wayland display " + display + " (the path is too long)";
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  const int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0)
    return "cannot connect to the Wayland display " + display + " (" + std::strerror(errno) + ")";
  const int rc = connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  const int error = errno;
  close(fd);
  if (rc != 0)
    return "cannot connect to the Wayland display " + display + " (" + path + ": " +
           std::strerror(error) + ")";
  if (!WaylandPluginInstalled())
    return "the Wayland display " + display +
           " needs Qt's Wayland platform plugin (install the package qt6-wayland)";
  return {};
}

std::string X11Problem(const std::string& display) {
  xcb_connection_t* c = xcb_connect(display.c_str(), nullptr);
  const bool failed = xcb_connection_has_error(c) != 0;
  xcb_disconnect(c);
  return failed ? "cannot open the X display " + display : std::string();
}

}  // namespace

TDisplayChoice ChooseDisplay() {
  const std::string wayland = Env("WAYLAND_DISPLAY");
  const std::string x11 = Env("DISPLAY");
  if (wayland.empty() && x11.empty()) return {"offscreen", {}};
  std::string problems;
  if (!wayland.empty()) {
    const std::string why = WaylandProblem(wayland);
    if (why.empty()) return {"wayland", {}};
    problems = why;
  }
  if (!x11.empty()) {
    const std::string why = X11Problem(x11);
    if (why.empty()) return {"xcb", {}};
    problems += (problems.empty() ? "" : "; ") + why;
  }
  return {{}, "no display can be used: " + problems};
}
