// The server object's socket handlers and its life: connection records, counting, the IP
// filter, and a read event whose record disappears under it; then the whole server in-process.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "core/ServerCore.h"
#include "platform/Codec.h"
#include "platform/Dialogs.h"
#include "settings/Settings.h"
#include "support/FakeSocket.h"
#include "support/TestSupport.h"

namespace {

// Behaves as the transport does towards the handlers: Close raises the disconnect event at once.
class TScriptedSocket : public TFakeSocket {
 public:
  explicit TScriptedSocket(TServerCore& server) {
    Address = "192.168.1.20";
    Port = 40000;
    HostName = "pc.home";
    OnClose = [this, &server] { server.ServerSocket1ClientDisconnect(this); };
  }
};

class ServerCoreTest : public ::testing::Test {
 protected:
  TempDir Dir;
  TServerCore Server;
  void SetUp() override {
    Server.StartUp(Dir.Path());
    Server.RC = Dir.Path();
    WriteFile(Dir / "a.txt", "AAAA");
  }
  void TearDown() override { Server.ShutDown(); }
  std::string Log() { return ReadFile(Dir / "brevoxa.log"); }
  // Only what was logged while f ran.
  std::string LoggedBy(const std::function<void()>& f) {
    size_t before = Log().size();
    f();
    return Log().substr(before);
  }
};

TEST_F(ServerCoreTest, StartUpWritesTheSessionRecordAndShutDownTheStatistics) {
  std::string log = Log();
  EXPECT_EQ(log.rfind("Brevoxa SESSION STARTED at ", 0), 0u);
  EXPECT_NE(log.find(" GMT"), std::string::npos);
  EXPECT_EQ(log.substr(log.size() - 2), "\n\n");
  EXPECT_EQ(Server.LogFileName, "brevoxa.log");
  EXPECT_FALSE(Server.MimeTable.empty());
  EXPECT_TRUE(Server.SuppressLanguageSave);
  Server.ConnectCount = 3;
  Server.RequestCount = 5;
  Server.ErrorCount = 1;
  Server.BannedCount = 2;
  std::string added = LoggedBy([&] { Server.ShutDown(); });
  EXPECT_EQ(
      added.rfind("Session statistics\n connects: 3; requests: 5; errors: 1; attempts to connect "
                  "from banned IP: 2.\nBrevoxa SESSION TERMINATED at ",
                  0),
      0u)
      << added;
  EXPECT_EQ(LoggedBy([&] { Server.ShutDown(); }), "") << "a second shut-down writes nothing";
}

TEST_F(ServerCoreTest, SessionEndRecordFollowsLS) {
  Server.LS = false;
  EXPECT_EQ(LoggedBy([&] { Server.ShutDown(); }), "");
}

TEST_F(ServerCoreTest, ConnectionRecordsFollowTheSettings) {
  struct Row {
    bool LC, LRH;
    std::string connected, disconnected;
  } rows[] = {
      {false, false, "", ""},
      {true, false, "192.168.1.20:40000 CONNECTED at ", "192.168.1.20:40000 DISCONNECTED at "},
      {true, true, "192.168.1.20:40000 pc.home CONNECTED at ",
       "192.168.1.20:40000 pc.home DISCONNECTED at "},
  };
  for (auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.LC) + std::to_string(row.LRH));
    Server.LC = row.LC;
    Server.LRH = row.LRH;
    TScriptedSocket s(Server);
    const int connects = Server.ConnectCount;
    std::string onConnect = LoggedBy([&] { Server.ServerSocket1ClientConnect(&s); });
    EXPECT_EQ(Server.ConnectCount, connects + 1);
    mParser* p = Server.Parsers->Find(&s);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->RemoteAddr, "192.168.1.20");
    EXPECT_EQ(p->RemotePort, "40000");
    std::string onDisconnect = LoggedBy([&] { Server.ServerSocket1ClientDisconnect(&s); });
    EXPECT_EQ(Server.Parsers->Find(&s), nullptr);
    if (row.connected.empty()) {
      EXPECT_EQ(onConnect, "");
      EXPECT_EQ(onDisconnect, "");
    } else {
      EXPECT_EQ(onConnect.rfind(row.connected, 0), 0u) << onConnect;
      EXPECT_EQ(onConnect.find('\n'), onConnect.size() - 1);
      EXPECT_EQ(onDisconnect.rfind(row.disconnected, 0), 0u) << onDisconnect;
      EXPECT_EQ(onDisconnect.substr(onDisconnect.size() - 2), "\n\n");
    }
  }
}

TEST_F(ServerCoreTest, ErrorRecordsAndCounting) {
  struct Row {
    int code;
    bool LC, LD, addressKnown;
    const char* expected;  // "" for no record
    int counted;
  } rows[] = {
      {10054, false, false, true, "", 0},
      {10054, true, false, true, "192.168.1.20:40000 BREAKS connection at ", 0},
      {10054, true, false, false, "", 0},
      {10054, false, true, false, ":0 BREAKS connection at ", 0},
      {10053, false, false, true, "192.168.1.20:40000 socket ERROR (code 10053) at ", 1},
      {10060, false, false, false, ":0 socket ERROR (code 10060) at ", 1},
  };
  for (auto& row : rows) {
    SCOPED_TRACE(row.code);
    Server.LC = false;
    Server.LD = false;
    TScriptedSocket s(Server);
    Server.ServerSocket1ClientConnect(&s);
    Server.LC = row.LC;
    Server.LD = row.LD;
    s.Connected = row.addressKnown;
    const int errors = Server.ErrorCount;
    int code = row.code;
    std::string added = LoggedBy([&] { Server.ServerSocket1ClientError(&s, eeGeneral, code); });
    EXPECT_EQ(code, 0) << "always marked handled";
    EXPECT_EQ(Server.ErrorCount, errors + row.counted);
    EXPECT_EQ(Server.Parsers->Find(&s), nullptr);
    if (*row.expected)
      EXPECT_EQ(added.rfind(row.expected, 0), 0u) << added;
    else
      EXPECT_EQ(added, "");
  }
}

TEST_F(ServerCoreTest, BannedAddressIsClosedWithoutRecord) {
  Server.UIPF = true;
  Server.LC = true;
  Server.WrongIPs = {"10.*.*.*", "192.168.1.*"};
  TScriptedSocket s(Server);
  std::string added = LoggedBy([&] { Server.ServerSocket1ClientConnect(&s); });
  EXPECT_EQ(s.Closes, 1);
  EXPECT_EQ(Server.BannedCount, 1);
  EXPECT_EQ(Server.ConnectCount, 0);
  EXPECT_EQ(Server.Parsers->Count(), 0);
  EXPECT_EQ(added.find(" CONNECTED at"), std::string::npos);
  EXPECT_EQ(added.rfind("192.168.1.20:40000 DISCONNECTED at ", 0), 0u) << added;

  TScriptedSocket other(Server);
  other.Address = "172.16.0.1";
  Server.ServerSocket1ClientConnect(&other);
  EXPECT_EQ(other.Closes, 0);
  EXPECT_EQ(Server.Parsers->Count(), 1);
}

TEST_F(ServerCoreTest, ReadEventTakesAtMost61440WhenMoreThan65535Wait) {
  TScriptedSocket s(Server);
  Server.ServerSocket1ClientConnect(&s);
  s.Input = "GET /a.txt HTTP/1.1\r\nX: " + std::string(70000, 'x');
  Server.ServerSocket1ClientRead(&s);
  ASSERT_GE(s.ReadSizes.size(), 1u);
  EXPECT_EQ(s.ReadSizes[0], 61440);
  EXPECT_TRUE(s.Output.rfind("HTTP/1.1 413", 0) == 0) << s.Output.substr(0, 40);
  EXPECT_EQ(s.Closes, 1) << "closed at the end of the read event";
}

TEST_F(ServerCoreTest, ReadWithoutRecordCreatesOneAndSaysSo) {
  TScriptedSocket s(Server);
  s.Input = "GET /a.txt HTTP/1.1\r\nHost: x\r\n\r\n";
  std::string added = LoggedBy([&] { Server.ServerSocket1ClientRead(&s); });
  EXPECT_EQ(added.rfind("DEBUG: p==NULL len>0 at ", 0), 0u) << added;
  mParser* p = Server.Parsers->Find(&s);
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(p->RemoteAddr, "");
  EXPECT_EQ(s.Output.rfind("HTTP/1.1 200", 0), 0u) << s.Output;

  TScriptedSocket quiet(Server);
  added = LoggedBy([&] { Server.ServerSocket1ClientRead(&quiet); });
  EXPECT_EQ(added.rfind("DEBUG: p==NULL len==0 at ", 0), 0u) << added;
}

TEST_F(ServerCoreTest, ReadEventStopsWhenAFailedWriteRemovedItsRecord) {
  TScriptedSocket s(Server);
  Server.ServerSocket1ClientConnect(&s);
  // The first answer's write fails: the transport raises error then disconnect from inside.
  s.OnWrite = [&] {
    if (!s.Connected) return;
    int code = 10053;
    Server.ServerSocket1ClientError(&s, eeSend, code);
    Server.ServerSocket1ClientDisconnect(&s);
    s.Connected = false;
  };
  const int requests = Server.RequestCount;
  s.Input = "GET /a.txt HTTP/1.1\r\n\r\nGET /a.txt HTTP/1.1\r\n\r\n";
  Server.ServerSocket1ClientRead(&s);
  EXPECT_EQ(Server.Parsers->Count(), 0);
  EXPECT_EQ(Server.RequestCount, requests) << "neither reset nor the second request";
  ASSERT_NE(s.Record, nullptr) << "the record stays with its connection until that is freed";
  EXPECT_TRUE(s.Record->Dead);
  EXPECT_EQ(s.Closes, 0);
}

// Between requests a keep-alive connection keeps no request state, yet stays counted, and what
// its record carries from one request to the next survives: the client's address and port in
// the request records, and the line end the last block stopped on.
TEST_F(ServerCoreTest, IdleConnectionKeepsNoRecordButAllItCarries) {
  Server.LF = true;
  TScriptedSocket s(Server);
  Server.ServerSocket1ClientConnect(&s);
  EXPECT_EQ(s.Record, nullptr) << "nothing of a request before its first byte";
  const int requests = Server.RequestCount;
  s.Input = "GET /a.txt HTTP/1.1\r\nHost: x\r\n\r\n";
  std::string added = LoggedBy([&] { Server.ServerSocket1ClientRead(&s); });
  EXPECT_EQ(added.rfind("192.168.1.20:40000 on ", 0), 0u) << added;
  EXPECT_EQ(s.Record, nullptr) << "the answer is out and nothing waits: no request state";
  EXPECT_EQ(Server.Parsers->Count(), 1);

  s.Output.clear();
  s.Input = "GET /a.txt HTTP/1.1\r\nHost: x\r\n\r\n";
  added = LoggedBy([&] { Server.ServerSocket1ClientRead(&s); });
  EXPECT_EQ(added.rfind("192.168.1.20:40000 on ", 0), 0u) << added;
  EXPECT_EQ(s.Output.rfind("HTTP/1.1 200", 0), 0u) << s.Output;
  EXPECT_EQ(Server.RequestCount, requests + 2);

  // The block ended on the blank line's LF; a lone line end in the next read ends a head at once.
  s.Input = "\r\n";
  Server.ServerSocket1ClientRead(&s);
  EXPECT_EQ(Server.RequestCount, requests + 3);
}

// A record let go between requests serves the next connection that needs one: nothing of the
// last request nor of its client may show in the next answer or record.
TEST_F(ServerCoreTest, ARecordTakenUpAgainCarriesNothingOfItsLastConnection) {
  Server.LF = true;
  TScriptedSocket first(Server);
  TScriptedSocket second(Server);
  second.Address = "10.1.2.3";
  second.Port = 5;
  Server.ServerSocket1ClientConnect(&first);
  Server.ServerSocket1ClientConnect(&second);
  first.Input = "GET /a.txt?q HTTP/1.0\r\nConnection: keep-alive\r\nRange: bytes=0-1\r\n\r\n";
  Server.ServerSocket1ClientRead(&first);
  ASSERT_EQ(first.Output.rfind("HTTP/1.0 206", 0), 0u) << first.Output;
  ASSERT_EQ(first.Record, nullptr);

  second.Input = "GET /a.txt HTTP/1.1\r\nHost: x\r\n\r\n";
  const std::string added = LoggedBy([&] { Server.ServerSocket1ClientRead(&second); });
  EXPECT_EQ(added.rfind("10.1.2.3:5 on ", 0), 0u) << added;
  EXPECT_EQ(second.Output.rfind("HTTP/1.1 200", 0), 0u) << second.Output;
  EXPECT_EQ(second.Output.substr(second.Output.size() - 4), "AAAA");
}

// The first line of each answer to a GET of target on a connection of its own.
std::string StatusOf(TServerCore& server, const std::string& target) {
  TScriptedSocket s(server);
  server.ServerSocket1ClientConnect(&s);
  s.Input = "GET " + target + " HTTP/1.0\r\n\r\n";
  server.ServerSocket1ClientRead(&s);
  return s.Output.substr(0, s.Output.find('\r'));
}

// A settings file that exists but cannot be read may hold a narrower root or banned addresses:
// until the options dialog saves settings, nothing is served, not the default root "/" either.
TEST(ServerStartUp, UnreadableSettingsServeNothingUntilSaved) {
  TempDir dir;
  WriteFile(dir / "a.txt", "AAAA");
  // A typo made by hand: the root's closing quote is missing.
  WriteFile(dir / "HKLM.reg",
            "[HKEY_LOCAL_MACHINE\\Software\\Quorvel\\Vyn Brevoxa]\n\"RC\"=\"" + dir.Path() + "\n");
  std::vector<std::string> captions;
  TMessageBoxHandler old = SetMessageBoxHandler(
      [&](const std::string&, const std::string& caption, TMsgDlgType, TMsgDlgButtons) {
        captions.push_back(caption);
        return static_cast<int>(mrOk);
      });
  TServerCore server;
  server.StartUp(dir.Path());
  SetMessageBoxHandler(old);
  EXPECT_EQ(captions, std::vector<std::string>{Utf8ToCp1251("Ошибка при чтении реестра")});
  ASSERT_EQ(server.RC, "/");
  EXPECT_EQ(StatusOf(server, dir.Path() + "/a.txt"), "HTTP/1.0 404 Not found");
  EXPECT_EQ(StatusOf(server, "/"), "HTTP/1.0 404 Not found");
  SaveSettings(server);  // what the options dialog's OK does
  EXPECT_EQ(StatusOf(server, dir.Path() + "/a.txt"), "HTTP/1.0 200 OK");
  server.ShutDown();
}

// Until the user picks a language, the desktop's locale chooses it; a stored choice wins and
// nothing is stored for the user.
TEST(ServerStartUp, LanguageFollowsTheLocaleWhenNoneIsStored) {
  struct Row {
    const char* lcAll;
    const char* lcMessages;
    const char* lang;
    int32_t language;
  } rows[] = {
      {"", "", "ru_RU.UTF-8", 0},
      {"", "", "be_BY.UTF-8", 2},
      {"", "", "sr_RS@latin", 3},
      {"", "", "de_DE.UTF-8", 1},
      {"", "", "", 1},
      {"", "ru_UA.UTF-8", "en_US.UTF-8", 0},
      {"fr_FR.UTF-8", "ru_RU", "ru_RU", 1},
      {"", "", "rue_UA", 1},
  };
  const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
  std::string saved[3];
  bool had[3];
  for (int i = 0; i < 3; ++i) {
    const char* v = std::getenv(names[i]);
    had[i] = v != nullptr;
    saved[i] = v ? v : "";
  }
  auto start = [](const std::string& folder) {
    TServerCore server;
    server.StartUp(folder);
    const int32_t language = server.L;
    server.ShutDown();
    return language;
  };
  for (const Row& r : rows) {
    setenv("LC_ALL", r.lcAll, 1);
    setenv("LC_MESSAGES", r.lcMessages, 1);
    setenv("LANG", r.lang, 1);
    TempDir dir;
    EXPECT_EQ(start(dir.Path()), r.language) << r.lcAll << "|" << r.lcMessages << "|" << r.lang;
    EXPECT_EQ(ReadFile(dir / "HKLM.reg"), "");
  }
  TempDir dir;
  const std::string stored =
      "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Quorvel\\Vyn Brevoxa]\n\"L\"=dword:00000001\n\n";
  WriteFile(dir / "HKLM.reg", stored);
  EXPECT_EQ(start(dir.Path()), 1);
  EXPECT_EQ(ReadFile(dir / "HKLM.reg"), stored);
  for (int i = 0; i < 3; ++i) {
    if (had[i])
      setenv(names[i], saved[i].c_str(), 1);
    else
      unsetenv(names[i]);
  }
}

// The whole server on a loopback port, pumped on this thread while a client talks to it.
TEST(ServerInProcess, ServesAFileAndLogsTheConnection) {
  TempDir dir;
  WriteFile(dir / "hello.txt", "hello, world");
  TServerCore server;
  server.OpenServerSocket(0);
  server.StartUp(dir.Path());
  server.RC = dir.Path();
  server.LC = true;
  std::atomic<bool> done{false};
  std::string answer;
  std::thread client([&] {
    int fd = ConnectLoopback(server.ServerSocket1->Port());
    SendAll(fd, "GET /hello.txt HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
    answer = ReadUntilClose(fd);
    close(fd);
    done = true;
  });
  auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!done && std::chrono::steady_clock::now() < end) server.ServerSocket1->ProcessEvents(10);
  client.join();
  server.ServerSocket1->ProcessEvents(10);
  EXPECT_EQ(answer.rfind("HTTP/1.1 200", 0), 0u) << answer;
  EXPECT_EQ(answer.substr(answer.size() - 12), "hello, world");
  EXPECT_EQ(server.ConnectCount, 1);
  EXPECT_EQ(server.RequestCount, 1);
  EXPECT_EQ(server.Parsers->Count(), 0);
  server.ShutDown();
  std::string log = ReadFile(dir / "brevoxa.log");
  EXPECT_NE(log.find("127.0.0.1:"), std::string::npos);
  EXPECT_NE(log.find(" CONNECTED at "), std::string::npos);
  EXPECT_NE(log.find(" DISCONNECTED at "), std::string::npos);
  EXPECT_NE(log.find("connects: 1; requests: 1; errors: 0;"), std::string::npos);
}

}  // namespace
