// Program entry: the command line, the program folder, the application, then the main window
// (the server), the options dialog and the About box, then the message loop.
#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QApplication>
#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "app/Application.h"
#include "app/Display.h"
#include "app/ProgramWindows.h"
#include "app/QtDialogs.h"
#include "app/SignalBridge.h"
#include "app/Unit1.h"
#include "net/ServerSocket.h"
#include "options/Unit2.h"
#include "platform/Codec.h"
#include "platform/Dialogs.h"
#include "platform/Files.h"
#include "ui/Unit3.h"

namespace {

constexpr int kDefaultPort = 80;
// Exit status for a command line the program cannot use, as getopt-based tools have it.
constexpr int kUsageStatus = 2;

const char kUsage[] =
    "Usage: brevoxa [--port N] [--program-folder DIR]\n"
    "A small home web server with a window: serves one folder over HTTP, runs CGI programs\n"
    "and keeps a log. Without a display it runs headless until SIGTERM.\n"
    "\n"
    "  --port N              listen on port N instead of 80\n"
    "  --program-folder DIR  keep the log, the settings (HKLM.reg) and the CGI temporary\n"
    "                        files in DIR (created if missing); by default the executable's\n"
    "                        folder when it is writable, else $XDG_STATE_HOME/vyn-brevoxa\n"
    "  --help                show this help and exit\n"
    "  --version             show the version and exit\n";

struct TCommandLine {
  int Port = kDefaultPort;
  std::string ProgramFolder;  // UTF-8 as given; empty: choose one
};

[[noreturn]] void UsageError(const std::string& text) {
  std::fprintf(stderr, "brevoxa: %s\nTry 'brevoxa --help' for more information.\n", text.c_str());
  std::exit(kUsageStatus);
}

bool ParsePort(const std::string& text, int& port) {
  if (text.empty() || text.size() > 5) return false;
  int value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return false;
    value = value * 10 + (c - '0');
  }
  if (value < 1 || value > 65535) return false;
  port = value;
  return true;
}

// --help and --version end the program here, as on any Linux tool.
TCommandLine ParseCommandLine(int argc, char** argv) {
  TCommandLine result;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    std::string value;
    bool hasValue = false;
    if (size_t eq = arg.find('='); arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      value = arg.substr(eq + 1);
      arg.resize(eq);
      hasValue = true;
    }
    auto takeValue = [&] {
      if (hasValue) return value;
      if (i + 1 >= argc) UsageError("option '" + arg + "' requires an argument");
      return std::string(argv[++i]);
    };
    if (arg == "--help" && !hasValue) {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (arg == "--version" && !hasValue) {
      std::printf("Vyn Brevoxa %s\n", BREVOXA_VERSION);
      std::exit(0);
    } else if (arg == "--port") {
      std::string text = takeValue();
      if (!ParsePort(text, result.Port)) UsageError("invalid port '" + text + "' (1 to 65535)");
    } else if (arg == "--program-folder") {
      result.ProgramFolder = takeValue();
      if (result.ProgramFolder.empty()) UsageError("the program folder must not be empty");
    } else if (arg.rfind('-', 0) == 0) {
      UsageError("unrecognized option '" + std::string(argv[i]) + "'");
    } else {
      UsageError("unexpected argument '" + arg + "'");
    }
  }
  return result;
}

std::string ExecutablePath() {
  std::error_code ec;
  std::filesystem::path exe = std::filesystem::read_symlink("/proc/self/exe", ec);
  return ec ? std::string("brevoxa") : exe.string();
}

// Where packages put programs: never a place for a log, even for root, who may write there.
bool IsSystemProgramFolder(const std::string& dir) {
  return dir == "/bin" || dir == "/sbin" || dir.rfind("/usr/", 0) == 0;
}

std::string StateHome() {
  // Relative values are invalid by the XDG rules and are ignored.
  const char* state = std::getenv("XDG_STATE_HOME");
  if (state && state[0] == '/') return state;
  const char* home = std::getenv("HOME");
  if (home && home[0] == '/') return std::string(home) + "/.local/state";
  if (const passwd* pw = getpwuid(geteuid()); pw && pw->pw_dir && pw->pw_dir[0] == '/')
    return std::string(pw->pw_dir) + "/.local/state";
  return std::string();
}

// The folder for the log, the hive and the CGI temporary files, absolute and existing, in UTF-8;
// the program ends with a message when there is none.
std::string ChooseProgramFolder(const std::string& given) {
  std::string dir = given;
  if (dir.empty()) {
    std::string exeDir = std::filesystem::path(ExecutablePath()).parent_path().string();
    // A build tree or a copy in a home folder keeps its files beside itself.
    if (!exeDir.empty() && !IsSystemProgramFolder(exeDir) && access(exeDir.c_str(), W_OK) == 0)
      return exeDir;
    std::string stateHome = StateHome();
    if (stateHome.empty()) {
      std::fprintf(stderr,
                   "brevoxa: no folder for the log and settings (HOME is not set); give one "
                   "with --program-folder DIR\n");
      std::exit(1);
    }
    dir = stateHome + "/vyn-brevoxa";
  }
  std::error_code ec;
  std::filesystem::path path = std::filesystem::absolute(dir, ec);
  if (!ec) std::filesystem::create_directories(path, ec);
  if (!ec && !std::filesystem::is_directory(path, ec))
    ec = std::make_error_code(std::errc::not_a_directory);
  if (ec) {
    std::fprintf(stderr, "brevoxa: cannot use the program folder %s: %s\n", dir.c_str(),
                 ec.message().c_str());
    std::exit(1);
  }
  return path.lexically_normal().string();
}

// The socket layer's text stays as it is; this line only tells a terminal user what to do.
void ExplainFailedBind(const std::string& error, int port) {
  if (error.find("on API 'bind'") == std::string::npos) return;
  if (error.find("(10013)") != std::string::npos) {
    std::fprintf(stderr,
                 "brevoxa: port %d needs a privilege: grant it once with 'sudo setcap "
                 "cap_net_bind_service=+ep %s', or choose a port above 1023 with --port, e.g. "
                 "--port 8080\n",
                 port, ExecutablePath().c_str());
  } else {
    std::fprintf(stderr,
                 "brevoxa: port %d is taken by another program: stop it, or choose another port "
                 "with --port, e.g. --port 8080\n",
                 port);
  }
}

// The IPv4 addresses of the interfaces that are up, loopback first, each once.
std::vector<std::string> LocalAddresses() {
  std::vector<std::string> found;
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return found;
  for (const ifaddrs* i = list; i; i = i->ifa_next) {
    if (!i->ifa_addr || i->ifa_addr->sa_family != AF_INET || !(i->ifa_flags & IFF_UP)) continue;
    char text[INET_ADDRSTRLEN];
    const auto* address = reinterpret_cast<const sockaddr_in*>(i->ifa_addr);
    if (!inet_ntop(AF_INET, &address->sin_addr, text, sizeof text)) continue;
    if (std::find(found.begin(), found.end(), text) != found.end()) continue;
    if (i->ifa_flags & IFF_LOOPBACK)
      found.insert(found.begin(), text);
    else
      found.emplace_back(text);
  }
  freeifaddrs(list);
  return found;
}

// For whoever started the program from a terminal or reads the service's journal: what is
// served and where to open it, and a word when that is the whole disk or nothing at all. The
// log keeps what clients did; none of this goes there.
void ReportStartUp(const TForm1& server, int port) {
  std::string urls;
  std::string portText;
  if (port != kDefaultPort) portText.append(":").append(std::to_string(port));
  for (const std::string& address : LocalAddresses())
    urls.append(" http://").append(address).append(portText).append("/");
  if (urls.empty()) urls = " http://localhost" + portText + "/";
  const std::string hive = Cp1251ToUtf8(server.Registry ? server.Registry->HiveFile() : "HKLM.reg");
  if (server.ServeNothing) {
    std::fprintf(stderr,
                 "brevoxa: serving no files at%s: the settings file %s cannot be read; mend or "
                 "remove it and start again, or save the settings in the options dialog\n",
                 urls.c_str(), hive.c_str());
    return;
  }
  const std::string root = Cp1251ToUtf8(server.RC);
  std::fprintf(stderr, "brevoxa: serving %s at%s\n", root.c_str(), urls.c_str());
  if (SameDirectory(server.RC, "/")) {
    std::fprintf(stderr,
                 "brevoxa: warning: the root folder is /, the whole file system: whoever reaches "
                 "this machine may read every file this user can; choose a folder in the options "
                 "dialog or as \"RC\" in %s\n",
                 hive.c_str());
  } else if (!DirectoryExists(server.RC)) {
    std::string relative;
    if (root.rfind('/', 0) != 0)
      relative.append(" (a path not beginning with / is taken from the program folder ")
          .append(Cp1251ToUtf8(server.ProgramDir))
          .append(")");
    std::fprintf(stderr,
                 "brevoxa: warning: the root folder %s does not exist%s: every request is "
                 "answered as not found until it does\n",
                 root.c_str(), relative.c_str());
  }
}

// Every connection costs a descriptor; the soft limit of 1024 would refuse clients long before
// the machine runs short.
void RaiseDescriptorLimit() {
  rlimit lim{};
  if (getrlimit(RLIMIT_NOFILE, &lim) == 0 && lim.rlim_cur < lim.rlim_max) {
    lim.rlim_cur = lim.rlim_max;
    setrlimit(RLIMIT_NOFILE, &lim);
  }
}

// The program's three windows, made in this order and let go in the reverse one. A start-up that
// fails half-way lets go of what it made when this object leaves its scope.
class TProgramWindows {
 public:
  TProgramWindows() = default;
  TProgramWindows(const TProgramWindows&) = delete;
  TProgramWindows& operator=(const TProgramWindows&) = delete;
  ~TProgramWindows() {
    FAbout.reset();
    AboutBox = nullptr;
    FOptions.reset();
    OptionsForm = nullptr;
    FMain.reset();
    Form1 = nullptr;
  }

  // Opens the server's socket first: a busy port throws ESocketError before anything else.
  void Create(int port, const std::string& programFolder) {
    FMain = std::make_unique<TForm1>(port, programFolder);
    Form1 = FMain.get();
    FOptions = std::make_unique<TOptionsForm>(Form1, Form1);
    OptionsForm = FOptions.get();
    FAbout = std::make_unique<TAboutBox>(Form1);
    AboutBox = FAbout.get();
  }

 private:
  std::unique_ptr<TForm1> FMain;
  std::unique_ptr<TOptionsForm> FOptions;
  std::unique_ptr<TAboutBox> FAbout;
};

}  // namespace

int main(int argc, char** argv) {
  const TCommandLine options = ParseCommandLine(argc, argv);
  const std::string programFolder = ChooseProgramFolder(options.ProgramFolder);
  RaiseDescriptorLimit();
  // Qt aborts when the platform it is given cannot start; a display that was asked for and
  // cannot be used is said in one line instead. Only without any display does the server run
  // headless: boxes then go to standard error.
  const TDisplayChoice display = ChooseDisplay();
  if (display.Platform.empty()) {
    std::fprintf(stderr, "brevoxa: %s\n", display.Problem.c_str());
    return 1;
  }
  const bool headless = display.Platform == "offscreen";
  // The platform is named on Qt's own command line, not in the environment, which CGI programs
  // inherit. A platform the user chose in QT_QPA_PLATFORM (X11 under a Wayland session, say)
  // stays theirs.
  const char* chosen = std::getenv("QT_QPA_PLATFORM");
  static char platformOption[] = "-platform";
  static std::string platform = display.Platform;
  static std::vector<char*> qtArgs{argv[0]};
  if (headless || !chosen || !*chosen) {
    qtArgs.push_back(platformOption);
    qtArgs.push_back(platform.data());
  }
  qtArgs.push_back(nullptr);
  static int qtArgc = static_cast<int>(qtArgs.size()) - 1;
  TApplication app(qtArgc, qtArgs.data());
  QApplication::setApplicationName(QStringLiteral("Vyn Brevoxa"));
  // The Wayland app id: task bars and docks find the icon and name by the desktop entry.
  QGuiApplication::setDesktopFileName(QStringLiteral("org.quorvel.VynBrevoxa"));
  // Hidden to the tray, the program must outlive its last visible dialog.
  QApplication::setQuitOnLastWindowClosed(false);
  if (!headless) InstallQtDialogs();

  TSignalBridge signalBridge;
  signalBridge.OnSignal = [](int) {
    if (Form1) Form1->close();
    QCoreApplication::quit();
  };

  int status = 0;
  try {
    TProgramWindows windows;
    windows.Create(options.Port, Utf8ToCp1251(programFolder));
    ReportStartUp(*Form1, options.Port);
    Form1->show();
    status = app.exec();
  } catch (const ESocketError& e) {
    MessageBox(e.what(), "Vyn Brevoxa", mtError);
    ExplainFailedBind(e.what(), options.Port);
    return 1;
  } catch (const std::exception& e) {
    MessageBox(e.what(), "Vyn Brevoxa", mtError);
    // A server that could not start must not look like one that ran and stopped.
    return 1;
  } catch (...) {
    MessageBox("Start-up failed", "Vyn Brevoxa", mtError);
    return 1;
  }
  return status;
}
