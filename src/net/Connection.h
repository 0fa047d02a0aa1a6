// The transport's connection: its socket, its read ahead, its output queue and its place in the
// server's time-out queues. Private to net/: the rest of the program sees TCustomWinSocket.
#pragma once
#include <netinet/in.h>

#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "net/SendQueue.h"
#include "net/ServerSocket.h"
#include "platform/UniqueFd.h"

// Output one read event may queue before the rest of what the client sent waits for the next
// turn: a client pipelining costly requests (folder listings) must not hold the loop that long.
constexpr int64_t kMaxQueuedPerRead = int64_t{128} * 1024;
// The most one read takes from a socket: what a request path reads per call, and some.
constexpr size_t kReadAheadBytes = 65536;
// The queue of connections whose answers are waiting for the client, beside the three queues
// of TClientWait.
constexpr int kWaitOutput = 3;
constexpr int kWaitQueues = 4;
constexpr int kNotWaiting = -1;

class TServerClientWinSocket final : public TCustomWinSocket {
 public:
  TServerClientWinSocket(TServerSocket& server, TFd fd, const sockaddr_in& peer)
      : FServer(server),
        FFd(std::move(fd)),
        FPeerAddress(peer.sin_addr.s_addr),
        FPeerPort(peer.sin_port) {}

  ~TServerClientWinSocket() override;
  TServerClientWinSocket(const TServerClientWinSocket&) = delete;
  TServerClientWinSocket& operator=(const TServerClientWinSocket&) = delete;

  int AvailableBytes() override;
  int ReadBytes(void* buffer, int count) override;
  // Raises the error and disconnect events of a read ahead that failed; true if it did.
  bool ReportReadError();
  void WriteText(const std::string& text) override;
  void WriteText(std::string&& text) override;
  void WriteStream(std::unique_ptr<TStream> stream) override;
  void Close() override;
  std::string PeerAddress() override;
  int PeerPort() override;
  std::string PeerHostName() override;
  std::string OwnAddress() override;
  std::string OwnHostName() override;
  int OwnPort() override;

  // Sends what is queued, up to the per-turn budget; raises the events of a failure or of a
  // deferred close.
  void Flush();
  void HandleEvents(uint32_t events);
  // While held: the output moves, nothing is read.
  void HandleHeldEvents(uint32_t events);
  // No events, reads or writes once the connection is being closed.
  [[nodiscard]] bool Closed() const { return FClosed || FDying; }
  // Without any event (shut-down).
  void Drop();

  // Raises the read event unless one is running already.
  void DeliverRead();
  bool OutputFull() override;
  [[nodiscard]] bool OverLimit() const;
  void WaitingFor(TClientWait what, bool restart) override;
  void HoldReading(bool hold) override;
  // Puts it in the time-out queue its state calls for; restart starts its clock again.
  void Rewait(bool restart);
  void Unwait();
  // Closes it with the disconnect event, whatever is still queued (a time-out, or room for a
  // new client).
  void CloseNow() { RaiseDisconnectAndShut(); }

  // Its place in one of the server's time-out queues, each in the order the clocks started.
  TServerClientWinSocket* FWaitPrev = nullptr;
  TServerClientWinSocket* FWaitNext = nullptr;
  int64_t FWaitSince = 0;  // on the coarse clock, as every check of it
  // Its place in the server's list of live connections.
  TServerClientWinSocket* FLivePrev = nullptr;
  TServerClientWinSocket* FLiveNext = nullptr;

 private:
  [[nodiscard]] bool HasOutput() const { return FOut.HasOutput(); }
  void QueueFlush();
  void SetInterest(uint32_t mask);
  void UpdateInterest();
  // The error event (and, for a failed call, the disconnect event), then the descriptor goes.
  void FailCall(TErrorEvent kind, int err, const char* api);
  void FailNotification(TErrorEvent kind, int err);
  void RaiseDisconnectAndShut();
  void Shut();
  void DiscardInput();
  void DiscardOutput();
  // The read ahead held in the shared buffer moves to FAhead, or is let go.
  void SpillAhead();
  void LeaveAhead();

  // The peer as accept gave it. A peer that reset the connection is no longer known, as
  // getpeername says; that is asked once, when the connection dies, not on every question.
  [[nodiscard]] bool PeerKnown();

  // Ordered by size down to the flags at the end: every idle keep-alive connection is one of
  // these, so padding counts.
  TServerSocket& FServer;
  TSendQueue FOut;
  TFd FFd;
  uint32_t FPeerAddress;  // the peer as accept gave it, in network order
  uint32_t FInterest = 0;
  int FLastAvailable = 0;               // what AvailableBytes last reported
  int FReadError = 0;                   // a failed read ahead, reported by the next event
  std::string FAhead;                   // read ahead from the socket, not yet handed to the reader
  uint8_t FClientWait = cwNextRequest;  // a TClientWait
  uint16_t FPeerPort;                   // network order
  bool FPeerChecked = false;            // asked the kernel whether the peer is still there
  bool FPeerGone = false;
  bool FRegistered = false;
  bool FClosed = false;          // descriptor gone
  bool FDying = false;           // its last event is being delivered
  bool FCloseAfterSend = false;  // Close() came while output was queued
  bool FPeerClosed = false;      // the peer sent its FIN
  bool FDrained = false;         // all that was there has been read: nothing until the next event
  bool FAvailableFresh = false;  // nothing was read since: FLastAvailable still holds
  bool FAheadFull = false;       // the read ahead filled its buffer: the socket may hold more

 public:
  int8_t FWaitQueue = kNotWaiting;  // which of the time-out queues it is in
  bool FFlushPending = false;
  bool FInRead = false;        // its read event is running
  bool FReadPaused = false;    // too much output waits: not read until it drains
  bool FReadOwed = false;      // the request path was told the output is full: owed a read event
  bool FInputWaiting = false;  // input arrived (or was held back) while reading was paused
  bool FHeld = false;          // its request waits for a program: nothing is read meanwhile
};
