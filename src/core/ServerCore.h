// The server object's state and its socket event handlers, kept free of the window so that the
// whole request path builds, tests and fuzzes without Qt. TForm1 (Unit1.h) is this object plus
// its window.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "log/Log.h"
#include "net/ServerSocket.h"
#include "server/ServerState.h"

class TServerCore : public TServerState {
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

  // True when Address matches Mask, i.e. is to be denied; logs an address too short to have
  // come from a peer.
  [[nodiscard]] bool TestWrongIP(const std::string& Address, const std::string& Mask);

  std::unique_ptr<TServerSocket> ServerSocket1;

  // Set while the window runs several turns of the loop for one wake-up without waiting between
  // them: the log's records of those turns then go out in one write, at the end of the last.
  bool SocketBurst = false;

 private:
  int FTurnDepth = 0;  // turns under way, a nested loop's inside its handler's
};

// The interface language (the setting L) for a locale name such as "ru_RU.UTF-8": Russian,
// Belarusian or Serbian where it names them, English otherwise.
int32_t LanguageOfLocale(const std::string& locale);
// The locale the environment asks for messages (LC_ALL, LC_MESSAGES, LANG); "C" when none.
std::string MessagesLocale();

// The two statistics texts for the interface language L (cp1251).
std::string StatisticsText1(const TServerState& Server);
std::string StatisticsText2(const TServerState& Server);
