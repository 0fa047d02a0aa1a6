// The server object's state and its socket event handlers, kept free of the window so that the
// whole request path builds, tests and fuzzes without Qt. TForm1 (Unit1.h) is this object plus
// its window.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "log/Log.h"
#include "net/ScktComp.h"
#include "platform/Registry.h"

// The program's version text, read for SERVER_SOFTWARE and the "Server:" header.
inline constexpr const char* kVersionText = "1.1";

// One per live connection: the request being assembled on it.
struct mParser {
  TCustomWinSocket* Socket = nullptr;  // not owned
  std::string RemoteAddr;
  std::string RemotePort;
  bool CloseConnection = false;
  std::string HeaderText;  // CR removed
  std::string Body;
  bool HeadersComplete = false;
  bool RequestComplete = false;
  bool LastWasLF = false;
  bool InCGIDir = false;
  bool IsCGI = false;
  int32_t ContentLength = 0;
  int32_t BodyLength = 0;
  int32_t HeaderLength = 0;
  int32_t FirstHeaderEntry = 0;
  std::vector<std::string> Variables;  // name, value, name, value, ...
  int32_t StatusCode = 0;              // 0 is sent as 200
  int32_t IsExe = 0;
  std::string Method;
  std::string URI;
  std::string Protocol;
  std::string LastModified;
  std::string LocalPath;
  std::string QueryString;
  std::string ExeApp;
  int32_t Version = 0;
  // Received bytes not yet scanned: held while the connection's answers wait to drain.
  std::string Unscanned;
};

class TServerCore;

class mParserList {
 public:
  explicit mParserList(TServerCore& server) : FServer(server) {}
  ~mParserList();
  mParserList(const mParserList&) = delete;
  mParserList& operator=(const mParserList&) = delete;

  mParser* Find(TCustomWinSocket* socket);
  mParser* Add(TCustomWinSocket* socket);  // null when the list cannot grow
  void Remove(TCustomWinSocket* socket);
  int Count() const { return static_cast<int>(FItems.size()); }

 private:
  TServerCore& FServer;
  std::vector<mParser*> FItems;
};

class TServerCore {
 public:
  TServerCore();
  virtual ~TServerCore();
  TServerCore(const TServerCore&) = delete;
  TServerCore& operator=(const TServerCore&) = delete;

  // Start-up after the listening socket is open: current folder, defaults, lists, the MIME
  // table, the session-start record, the stored settings. programFolder "" means the
  // executable's folder.
  void StartUp(const std::string& programFolder);
  // Shut-down before the socket closes: connection records, registry object, lists, the
  // session-end record.
  void ShutDown();
  // Opens ServerSocket1 on port (0: ephemeral) and routes its events to the handlers below.
  void OpenServerSocket(int port);

  // Socket events.
  void ServerSocket1ClientConnect(TCustomWinSocket* Socket);
  void ServerSocket1ClientRead(TCustomWinSocket* Socket);
  void ServerSocket1ClientDisconnect(TCustomWinSocket* Socket);
  void ServerSocket1ClientError(TCustomWinSocket* Socket, TErrorEvent ErrorEvent, int& ErrorCode);

  // True when Address matches Mask, i.e. is to be denied.
  bool TestWrongIP(const std::string& Address, const std::string& Mask);

  // Runtime state.
  std::unique_ptr<TServerSocket> ServerSocket1;
  std::unique_ptr<mParserList> Parsers;  // the connection list
  std::string LogFileName;
  int64_t LogRotateBytes = kLogRotateBytes;  // tests set it small
  std::string ProgramDir;  // where the log, the hive and the CGI temporary files live

  // Settings and counters, in the order the server object declares them.
  std::string RC;
  std::string ICURL;
  bool LS = true;
  bool LC = true;
  bool LF = false;
  bool LH = false;
  int32_t ConnectCount = 0;
  int32_t RequestCount = 0;
  int32_t ErrorCount = 0;
  int32_t BannedCount = 0;
  std::vector<std::string> MimeTable;
  int32_t L = 1;
  bool SRS = true;
  bool SCC = true;
  bool HOS = false;
  bool LD = false;
  bool LRH = false;
  std::vector<std::string> WrongIPs;
  bool UIPF = false;
  bool SSH = false;
  bool ECGI = true;
  bool USCGIF = false;
  bool DNICGI = false;
  bool DPAF = true;
  bool AEASC = true;
  bool DIPIV = false;
  std::string CGID;
  std::string SCGIF;
  std::string DIPV;
  std::vector<std::string> CGIAssoc;
  std::vector<std::string> Roots;
  bool SuppressLanguageSave = false;
  std::unique_ptr<TRegistry> Registry;

  // The CGI environment block, rebuilt for every run.
  std::vector<char> CgiEnvironment;

  // Set while a read event runs; the disconnect and error handlers clear it when they remove
  // that event's record, so the read event stops touching it.
  mParser* CurrentReadRecord = nullptr;
};
