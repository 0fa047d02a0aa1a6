// The socket transport: one listening endpoint and its connections, non-blocking, driven by a
// single epoll instance. Every event is delivered on the thread that calls ProcessEvents,
// singly; the window side watches EpollFd() with a QSocketNotifier.
#pragma once
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include "platform/Streams.h"

// Winsock numbering of errno values, as the log and the error texts use them.
int WinSockErrorCode(int err);

// "Windows socket error: %s (%d), on API '%s'"
class ESocketError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

enum TErrorEvent { eeGeneral, eeSend, eeReceive, eeConnect, eeDisconnect, eeAccept };

class TCustomWinSocket {
 public:
  virtual ~TCustomWinSocket() = default;
  virtual int AvailableBytes() = 0;
  // Up to count bytes without waiting; -1 after a failure (error event, then disconnect event).
  virtual int ReadBytes(void* buffer, int count) = 0;
  virtual void WriteText(const std::string& text) = 0;
  // Takes the stream and sends it from its position; the connection stays open afterwards.
  virtual void WriteStream(std::unique_ptr<TStream> stream) = 0;
  // After what is queued has gone out; at once (disconnect event inside) when nothing is.
  virtual void Close() = 0;
  virtual std::string PeerAddress() = 0;
  virtual int PeerPort() = 0;
  virtual std::string PeerHostName() = 0;
  virtual std::string OwnAddress() = 0;
  virtual std::string OwnHostName() = 0;
  virtual int OwnPort() = 0;
};

class TServerClientWinSocket;

class TServerSocket {
 public:
  // Opens the listening socket at once (all IPv4 addresses); throws ESocketError.
  // Port 0 takes an ephemeral port (tests); Port() tells which.
  explicit TServerSocket(int port);
  ~TServerSocket();  // closes every connection without any event
  TServerSocket(const TServerSocket&) = delete;
  TServerSocket& operator=(const TServerSocket&) = delete;

  int Port() const { return FPort; }
  int EpollFd() const { return FEpoll; }
  // Handles what is ready, waiting at most timeoutMs (0: do not wait, -1: wait for an event).
  void ProcessEvents(int timeoutMs = 0);
  int ActiveConnections() const;

  std::function<void(TCustomWinSocket*)> OnClientConnect;
  std::function<void(TCustomWinSocket*)> OnClientRead;
  std::function<void(TCustomWinSocket*)> OnClientDisconnect;
  std::function<void(TCustomWinSocket*, TErrorEvent, int& ErrorCode)> OnClientError;

 private:
  friend class TServerClientWinSocket;
  struct TImpl;
  std::unique_ptr<TImpl> FImpl;
  int FListen = -1;
  int FEpoll = -1;
  int FPort = 0;
};
