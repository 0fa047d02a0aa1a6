#include "core/ServerCore.h"

#include <cstdio>
#include <cstdlib>

#include "content/Cgi.h"
#include "content/MimeTypes.h"
#include "filter/IpFilter.h"
#include "http/Request.h"
#include "log/Log.h"
#include "platform/Codec.h"
#include "platform/Files.h"
#include "platform/Time.h"
#include "settings/Settings.h"

TServerCore::TServerCore() = default;
TServerCore::~TServerCore() = default;

// ---- start-up and shut-down ----

int32_t LanguageOfLocale(const std::string& locale) {
  // "ru_RU.UTF-8", "sr_RS@latin", "be": the language is what comes before the territory.
  const std::string language = locale.substr(0, locale.find_first_of("_.@"));
  if (language == "ru") return 0;
  if (language == "be") return 2;
  if (language == "sr") return 3;
  return 1;
}

std::string MessagesLocale() {
  // The order setlocale gives them for LC_MESSAGES.
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"})
    if (const char* value = std::getenv(name); value && *value) return value;
  return "C";
}

void TServerCore::OpenServerSocket(int port) {
  ServerSocket1 = std::make_unique<TServerSocket>(port);
  ServerSocket1->OnClientConnect = [this](TCustomWinSocket* s) { ServerSocket1ClientConnect(s); };
  ServerSocket1->OnClientRead = [this](TCustomWinSocket* s) { ServerSocket1ClientRead(s); };
  ServerSocket1->OnClientDisconnect = [this](TCustomWinSocket* s) {
    ServerSocket1ClientDisconnect(s);
  };
  ServerSocket1->OnClientError = [this](TCustomWinSocket* s, TErrorEvent e, int& code) {
    ServerSocket1ClientError(s, e, code);
  };
  // A CGI program's end comes as an event of the loop: everything else is served meanwhile.
  WatchProgram = [this](int fd, int timeoutMs, std::function<void()> onReady) {
    ServerSocket1->WatchOnce(fd, timeoutMs, std::move(onReady));
  };
}

void TServerCore::StartUp(const std::string& programFolder) {
  LogFileName = "brevoxa.log";
  ProgramDir = programFolder.empty() ? ProgramFolder() : programFolder;
  SetCurrentDir(ProgramDir);
  // The root is set with the other defaults below, before anything can read it: a store of "/"
  // here would only be overwritten (and GCC 12 mistakes it for an overlapping copy).
  // The list exists before anything below can open a modal box whose loop serves connections.
  Parsers = std::make_unique<mParserList>();
  // Facts are kept only where the loop reads their change notifications before each turn's
  // requests.
  if (ServerSocket1) {
    Facts = std::make_unique<TFileFacts>();
    if (Facts->NotifyFd() >= 0)
      ServerSocket1->WatchFirst(Facts->NotifyFd(), [this] {
        if (Facts) Facts->Drain();
      });
  }
  AssignDefaultSettings(*this);
  // Until the user picks one, the interface speaks the desktop's language where it has it.
  L = LanguageOfLocale(MessagesLocale());
  ConnectCount = 0;
  RequestCount = 0;
  ErrorCount = 0;
  BannedCount = 0;
  Registry = std::make_unique<TRegistry>(ProgramDir + "/HKLM.reg");
  // Refused by what they are, whatever name reaches them (/proc/self/fd/N, /proc/self/cwd/...).
  const std::string own = ProgramDir == "/" ? "/" : ProgramDir + "/";
  SetProgramFiles({own + LogFileName, own + LogFileName + ".1", own + "HKLM.reg", own + "t_in.tmp",
                   own + "t_err.tmp"});
  MimeTable.clear();
  WrongIPs.clear();
  CGIAssoc.clear();
  Roots.clear();
  FillMimeTable(MimeTable);
  // The records of one turn of the loop go to the log in one write before the loop waits again.
  if (ServerSocket1) {
    ServerSocket1->OnTurnBegin = [this] {
      ++FTurnDepth;
      BeginLogTurn();
    };
    // A turn nested in another's handler (a modal loop) may be followed by a wait: it always
    // writes. So does an outer turn, unless more turns of the same wake-up follow without a
    // wait; the last of them writes for all.
    ServerSocket1->OnTurnEnd = [this] {
      if (FTurnDepth > 0) --FTurnDepth;
      if (FTurnDepth > 0 || !SocketBurst) EndLogTurn();
    };
  }
  std::string zone = TimeZoneSuffix();
  // Written under the default LS, before the stored settings could switch it off.
  WriteLog(*this, "Brevoxa SESSION STARTED at " + TimeStampText() + zone + "\n");
  LoadSettings(*this);
  SuppressLanguageSave = true;
}

void TServerCore::ShutDown() {
  if (!Parsers) return;  // never started, or already shut down
  // A program that runs is killed with its whole group; the ones waiting never start.
  if (ServerSocket1) ServerSocket1->CancelWatch();
  StopCgi(*this);
  Parsers.reset();
  Facts.reset();
  Registry.reset();
  MimeTable.clear();
  WrongIPs.clear();
  CGIAssoc.clear();
  Roots.clear();
  FlushLog();  // whatever was gathered comes before the session's end
  if (LS) {
    char buf[256];
    std::snprintf(buf, sizeof buf,
                  "Session statistics\n connects: %d; requests: %d; errors: %d; attempts to "
                  "connect from banned IP: %d.",
                  ConnectCount, RequestCount, ErrorCount, BannedCount);
    WriteLog(*this, std::string(buf) + "\nBrevoxa SESSION TERMINATED at " + TimeStampText() + "\n");
  }
  CloseLog();
}

// ---- socket events ----

namespace {

std::string PeerText(TServerCore& server, TCustomWinSocket* socket) {
  std::string text = socket->PeerAddress() + ":" + std::to_string(socket->PeerPort());
  // Appended, not put in front of the name's own string: that insertion moves the name's bytes
  // for nothing, and GCC 12 takes it for an overlapping copy (-Wrestrict).
  if (server.LRH) text.append(" ").append(socket->PeerHostName());
  return text;
}

}  // namespace

void TServerCore::ServerSocket1ClientConnect(TCustomWinSocket* Socket) {
  if (!Parsers) return;
  if (UIPF) {
    std::string address = Socket->PeerAddress();
    for (const std::string& mask : WrongIPs) {
      if (TestWrongIP(address, mask)) {
        Socket->Close();
        BannedCount++;
        return;
      }
    }
  }
  const std::string address = Socket->PeerAddress();
  const std::string port = std::to_string(Socket->PeerPort());
  if (!AddRecord(*this, Socket, address, port)) {
    // Without a record its requests could never be answered; refuse it instead of letting it hang.
    Socket->Close();
    return;
  }
  ConnectCount++;
  if (LC) {
    std::string text = address + ":" + port;
    if (LRH) text.append(" ").append(Socket->PeerHostName());
    WriteLog(*this, text + " CONNECTED at " + TimeStampText());
  }
}

void TServerCore::ServerSocket1ClientRead(TCustomWinSocket* Socket) {
  if (Parsers) ReadRequests(*this, Socket);
}

void TServerCore::ServerSocket1ClientDisconnect(TCustomWinSocket* Socket) {
  if (!Parsers) return;
  // The address text is asked for only when a record needs it: asking may cost a call to the
  // system (is the peer still there?) and, with LRH, a name lookup.
  if (LC) WriteLog(*this, PeerText(*this, Socket) + " DISCONNECTED at " + TimeStampText() + "\n");
  ForgetCgi(*this, Socket);
  Parsers->Remove(Socket);
}

void TServerCore::ServerSocket1ClientError(TCustomWinSocket* Socket, TErrorEvent /*ErrorEvent*/,
                                           int& ErrorCode) {
  if (Parsers && (ErrorCode != 10054 || LD || LC)) {
    const std::string peer = PeerText(*this, Socket);
    if (ErrorCode == 10054) {
      if (LD || (LC && peer.rfind(':', 0) != 0))
        WriteLog(*this, peer + " BREAKS connection at " + TimeStampText() + "\n");
    } else {
      ErrorCount++;
      WriteLog(*this, peer + " socket ERROR (code " + std::to_string(ErrorCode) + ") at " +
                          TimeStampText());
    }
  }
  if (Parsers) {
    ForgetCgi(*this, Socket);
    Parsers->Remove(Socket);
  }
  ErrorCode = 0;
}

bool TServerCore::TestWrongIP(const std::string& Address, const std::string& Mask) {
  const TMaskTest test = TestAddressMask(Address, Mask);
  // A short address is worth a record whatever the log settings: it did not come from a peer.
  if (test.StrangeAddress)
    WriteLog(*this, TimeStampText() + "Strange IP address discovered: " + Address);
  return test.Denied;
}

// ---- the main window's statistics ----

std::string StatisticsText1(const TServerState& Server) {
  char buf[256];
  if (Server.L == 0) {
    std::snprintf(buf, sizeof buf,
                  Utf8ToCp1251("ВСЕГО: соед. - %d; запросов - %d; ошибок - %d").c_str(),
                  Server.ConnectCount, Server.RequestCount, Server.ErrorCount);
  } else {
    std::snprintf(buf, sizeof buf, "TOTAL: connects - %d; requests - %d; errors - %d",
                  Server.ConnectCount, Server.RequestCount, Server.ErrorCount);
  }
  return buf;
}

std::string StatisticsText2(const TServerState& Server) {
  char buf[256];
  int active = Server.Parsers ? Server.Parsers->Count() : 0;
  if (Server.L == 0) {
    std::snprintf(
        buf, sizeof buf,
        Utf8ToCp1251("активных соединений - %d\nпопыток соединения с блокированных IP - %d")
            .c_str(),
        active, Server.BannedCount);
  } else {
    std::snprintf(buf, sizeof buf, "active connections - %d\nconnect attempts from banned IPs - %d",
                  active, Server.BannedCount);
  }
  return buf;
}
