#include "app/ServerCore.h"

#include <cstdio>

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
}

void TServerCore::StartUp(const std::string& programFolder) {
  LogFileName = "brevoxa.log";
  ProgramDir = programFolder.empty() ? ProgramFolder() : programFolder;
  SetCurrentDir(ProgramDir);
  RC = "/";
  // The list exists before anything below can open a modal box whose loop serves connections.
  Parsers = std::make_unique<mParserList>();
  AssignDefaultSettings(*this);
  ConnectCount = 0;
  RequestCount = 0;
  ErrorCount = 0;
  BannedCount = 0;
  Registry = std::make_unique<TRegistry>(ProgramDir + "/HKLM.reg");
  MimeTable.clear();
  WrongIPs.clear();
  CGIAssoc.clear();
  Roots.clear();
  FillMimeTable(MimeTable);
  std::string zone = TimeZoneSuffix();
  // Written under the default LS, before the stored settings could switch it off.
  WriteLog(*this, "Brevoxa SESSION STARTED at " + TimeStampText() + zone + "\n");
  LoadSettings(*this);
  SuppressLanguageSave = true;
}

void TServerCore::ShutDown() {
  if (!Parsers) return;  // never started, or already shut down
  CurrentReadRecord = nullptr;
  Parsers.reset();
  Registry.reset();
  MimeTable.clear();
  WrongIPs.clear();
  CGIAssoc.clear();
  Roots.clear();
  if (LS) {
    char buf[256];
    std::snprintf(buf, sizeof buf,
                  "Session statistics\n connects: %d; requests: %d; errors: %d; attempts to "
                  "connect from banned IP: %d.",
                  ConnectCount, RequestCount, ErrorCount, BannedCount);
    WriteLog(*this, std::string(buf) + "\nBrevoxa SESSION TERMINATED at " + TimeStampText() + "\n");
  }
}

// ---- socket events ----

namespace {

// A new record for the connection; null, counted and logged, when the list cannot grow.
mParser* AddRecord(TServerCore& server, TCustomWinSocket* socket) {
  mParser* p = server.Parsers->Add(socket);
  if (!p) {
    server.ErrorCount++;
    WriteLog(server, "ERROR: cannot realloc in mParserList::Add");
  }
  return p;
}

std::string PeerText(TServerCore& server, TCustomWinSocket* socket) {
  std::string text = socket->PeerAddress() + ":" + std::to_string(socket->PeerPort());
  if (server.LRH) text += " " + socket->PeerHostName();
  return text;
}

// Removes the connection's record; a read event running on it learns so and stops.
void ForgetRecord(TServerCore& server, TCustomWinSocket* socket) {
  mParser* p = server.Parsers->Find(socket);
  if (p && p == server.CurrentReadRecord) server.CurrentReadRecord = nullptr;
  server.Parsers->Remove(socket);
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
  mParser* p = AddRecord(*this, Socket);
  if (!p) {
    // Without a record its requests could never be answered; refuse it instead of letting it hang.
    Socket->Close();
    return;
  }
  p->RemoteAddr = Socket->PeerAddress();
  p->RemotePort = std::to_string(Socket->PeerPort());
  ConnectCount++;
  if (LC) {
    std::string text = p->RemoteAddr + ":" + p->RemotePort;
    if (LRH) text += " " + Socket->PeerHostName();
    WriteLog(*this, text + " CONNECTED at " + TimeStampText());
  }
}

void TServerCore::ServerSocket1ClientRead(TCustomWinSocket* Socket) {
  if (!Parsers) return;
  mParser* p = Parsers->Find(Socket);
  int n = Socket->AvailableBytes();
  if (!p) {
    p = AddRecord(*this, Socket);
    WriteLog(*this, std::string(n > 0 ? "DEBUG: p==NULL len>0 at " : "DEBUG: p==NULL len==0 at ") +
                        TimeStampText());
    if (!p) {
      Socket->Close();
      return;
    }
  }
  if (n <= 0 && p->Unscanned.empty()) return;

  // A failed read or write inside this event can raise the error and disconnect events, which
  // remove the record; from then on neither the record nor the connection may be touched.
  mParser* outer = CurrentReadRecord;
  CurrentReadRecord = p;
  auto stillOurs = [&] { return Parsers && CurrentReadRecord == p && Parsers->Find(Socket) == p; };
  const int32_t requestsBefore = RequestCount;
  bool alive = ResumeInput(*this, p) && stillOurs();
  bool gotBytes = false;
  // While answers wait to drain, the client's further bytes stay where they are, unless the
  // connection is closing anyway and they are only dropped.
  auto mayRead = [&] {
    return p->CloseConnection || (p->Unscanned.empty() && !Socket->OutputFull());
  };
  while (alive && n > 0 && mayRead()) {
    if (n > 65535) n = 61440;
    std::unique_ptr<char[]> buffer(new char[static_cast<size_t>(n)]);
    int m = Socket->ReadBytes(buffer.get(), n);
    if (!stillOurs()) {
      alive = false;
      break;
    }
    if (m > 0) {
      gotBytes = true;
      ConsumeInput(*this, p, buffer.get(), m);
    }
    if (!stillOurs()) {
      alive = false;
      break;
    }
    if (m <= 0) break;
    n = Socket->AvailableBytes();
  }
  CurrentReadRecord = outer;
  if (!alive) return;
  if (p->CloseConnection) {
    Socket->Close();
  } else {
    const TClientWait wait = ClientWaitOf(p);
    Socket->WaitingFor(wait, RequestCount != requestsBefore || (wait == cwRestOfBody && gotBytes));
  }
}

void TServerCore::ServerSocket1ClientDisconnect(TCustomWinSocket* Socket) {
  if (!Parsers) return;
  std::string peer = PeerText(*this, Socket);
  if (LC) WriteLog(*this, peer + " DISCONNECTED at " + TimeStampText() + "\n");
  ForgetRecord(*this, Socket);
}

void TServerCore::ServerSocket1ClientError(TCustomWinSocket* Socket, TErrorEvent ErrorEvent,
                                           int& ErrorCode) {
  if (Parsers) {
    std::string peer = PeerText(*this, Socket);
    if (ErrorCode == 10054) {
      if (LD || (LC && peer.rfind(":", 0) != 0))
        WriteLog(*this, peer + " BREAKS connection at " + TimeStampText() + "\n");
    } else {
      ErrorCount++;
      WriteLog(*this, peer + " socket ERROR (code " + std::to_string(ErrorCode) + ") at " +
                          TimeStampText());
    }
    ForgetRecord(*this, Socket);
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
