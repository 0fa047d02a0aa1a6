// The socket transport: one listening endpoint and its connections, non-blocking, driven by a
// single epoll instance. Every event is delivered on the thread that calls ProcessEvents,
// singly; the window side watches EpollFd() with a QSocketNotifier.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "platform/Streams.h"
#include "server/ServerState.h"

// Winsock numbering of errno values, as the log and the error texts use them.
int WinSockErrorCode(int err);

// "Windows socket error: %s (%d), on API '%s'"
class ESocketError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Output a connection may have waiting unsent before nothing more is read or dispatched for it:
// a client that pipelines requests and never reads its answers must not grow the server. One
// answer larger than this is still queued whole.
constexpr size_t kMaxUnsentBytes = 1u << 20;
// Answers sent from a file that may wait on one connection: each holds an open descriptor.
constexpr int kMaxQueuedStreams = 32;
// The same for all connections together: past these, a connection that already has output
// waiting is not read any further (its client's bytes stay in the socket), however many clients
// hold answers they do not take. Others go on being served.
constexpr int64_t kMaxUnsentTotal = int64_t{32} << 20;
constexpr int kMaxQueuedStreamsTotal = 128;
// A head must be complete this long after its first byte (a client dripping it holds a
// connection for nothing).
constexpr int kHeadTimeoutMs = 30000;
// A body that makes no progress for this long is given up.
constexpr int kBodyTimeoutMs = 60000;
// A keep-alive connection idle this long is closed; so is one whose client takes nothing of its
// answer for as long.
constexpr int kIdleTimeoutMs = 120000;
// Idle connections closed at once when accept runs out of descriptors: room for the new client
// and for what its request opens (the file, the log, the CGI files).
constexpr int kEvictOnShortage = 8;

class TServerClientWinSocket;

class TServerSocket {
 public:
  // Opens the listening socket at once (all IPv4 addresses); throws ESocketError.
  // Port 0 takes an ephemeral port (tests); Port() tells which.
  explicit TServerSocket(int port);
  ~TServerSocket();  // closes every connection without any event
  TServerSocket(const TServerSocket&) = delete;
  TServerSocket& operator=(const TServerSocket&) = delete;

  [[nodiscard]] int Port() const { return FPort; }
  [[nodiscard]] int EpollFd() const;
  // Handles what is ready, waiting at most timeoutMs (0: do not wait, -1: wait for an event);
  // gives the number of ready descriptors the turn handled (0: nothing was ready).
  int ProcessEvents(int timeoutMs = 0);
  [[nodiscard]] int ActiveConnections() const;

  std::function<void(TCustomWinSocket*)> OnClientConnect;
  std::function<void(TCustomWinSocket*)> OnClientRead;
  std::function<void(TCustomWinSocket*)> OnClientDisconnect;
  std::function<void(TCustomWinSocket*, TErrorEvent, int& ErrorCode)> OnClientError;
  // Called when a turn has events to handle, before the first of them.
  std::function<void()> OnTurnBegin;
  // Called once a turn has handled its events, before the loop waits again (also when a handler
  // threw): work gathered during the turn is finished here.
  std::function<void()> OnTurnEnd;

  // Watches a descriptor of the caller's (e.g. change notifications) in the same wait; when it
  // is readable, onReady runs before any connection of that turn is served, so what it reports
  // is known to every request of the turn. One such descriptor; the caller keeps it open.
  void WatchFirst(int fd, std::function<void()> onReady);

  // Calls onReady once, from the loop, when fd becomes readable (a
  // program's process descriptor: the program has ended) or timeoutMs have passed, whichever
  // comes first; fd -1 watches the time only. One watch at a time: a new one replaces the last.
  // The caller keeps fd open until the watch has fired or is cancelled.
  void WatchOnce(int fd, int timeoutMs, std::function<void()> onReady);
  void CancelWatch();

  // Limits of every connection; tests make them small.
  size_t MaxUnsentBytes = kMaxUnsentBytes;
  int MaxQueuedStreams = kMaxQueuedStreams;
  int HeadTimeoutMs = kHeadTimeoutMs;
  int BodyTimeoutMs = kBodyTimeoutMs;
  int IdleTimeoutMs = kIdleTimeoutMs;
  int EvictOnShortage = kEvictOnShortage;
  int64_t MaxUnsentTotal = kMaxUnsentTotal;
  int MaxQueuedStreamsTotal = kMaxQueuedStreamsTotal;

 private:
  friend class TServerClientWinSocket;
  struct TImpl;
  struct TArmGuard;
  struct TDepthGuard;
  // What a turn of the loop does for each kind of descriptor that is ready.
  // Read events owed to connections whose output drained.
  void OnResume();
  // The caller's one watch: its descriptor, or its time limit (timer).
  void OnWatch(bool timer);
  // The earliest connection time-out is due.
  void OnDeadline();
  // The pause of accepting after the descriptors ran out is over.
  void OnAcceptPauseOver();
  // Accepts every client waiting at the listening socket.
  void AcceptAll();
  // A connection's own events.
  void OnConnection(TServerClientWinSocket* c, uint32_t events);
  // Sends the output queued by the handlers that ran; what a failure leaves stays queued.
  void FlushPending();
  // Closes the connections whose time is up.
  void ExpireWaits();
  // Closes the longest-idle keep-alive connections, then those that have sent an incomplete head,
  // the longest waiting first; false when there is none.
  bool EvictIdle();
  // Sets the deadline timer for the earliest clock of all connections.
  void ArmDeadline();
  std::unique_ptr<TImpl> FImpl;
  int FPort = 0;
  std::function<void()> FOnFirstReady;
  std::function<void()> FOnWatch;
};
