// Private to the transport: the server socket's inner state, which the loop and the connections
// share. Nothing outside net/ includes it.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "net/Connection.h"
#include "net/SendQueue.h"
#include "net/ServerSocket.h"
#include "platform/Time.h"
#include "platform/UniqueFd.h"

// "Windows socket error: ..." for a failed call.
[[nodiscard]] std::string SocketErrorText(int err, const char* api);

struct TServerSocket::TImpl {
  TFd Listen;
  TFd Epoll;
  // The open connections, linked through their FLivePrev/FLiveNext.
  TServerClientWinSocket* Live = nullptr;
  int LiveCount = 0;
  // Closed connections, freed once no event dispatch is running, so a handler's pointer stays
  // valid until it returns.
  std::vector<TServerClientWinSocket*> Dead;
  std::vector<TServerClientWinSocket*> PendingFlush;
  // Output waiting on all connections together, and their spare queues.
  TSendTotals Output;
  // Connections whose output drained below the limits: their read event comes again on the
  // next turn, after the other connections had theirs, so no client can keep the loop to
  // itself by reading fast. ResumeFd wakes the loop for them.
  std::vector<TServerClientWinSocket*> PendingResume;
  TFd ResumeFd;
  int Depth = 0;
  TFd TimerFd;
  bool AcceptPaused = false;
  struct TWaitQueue {
    TServerClientWinSocket* Head = nullptr;
    TServerClientWinSocket* Tail = nullptr;
  };
  TWaitQueue Waits[kWaitQueues];
  TFd DeadlineFd;
  int64_t ArmedFor = 0;  // the deadline DeadlineFd is set to; 0: none
  // How far the coarse clock the waits are timed on may lag the exact one DeadlineFd runs on.
  const int64_t ClockLagMs = CoarseClockLagMs();
  // The caller's one watch (WatchOnce): its descriptor, -1 for none, and its time limit.
  int WatchedFd = -1;
  TFd WatchTimerFd;
  // Held so that when the descriptors run out, the disconnect records of the connections closed
  // to make room can still be written.
  TFd ReserveFd;

  int TimeoutOf(const TServerSocket& s, int queue) const {
    int ms = queue == cwRestOfHead   ? s.HeadTimeoutMs
             : queue == cwRestOfBody ? s.BodyTimeoutMs
                                     : s.IdleTimeoutMs;
    return ms > 0 ? ms : 1;
  }

  void Link(TServerClientWinSocket* c) {
    c->FLiveNext = Live;
    if (Live) Live->FLivePrev = c;
    Live = c;
    ++LiveCount;
  }
  void Unlink(TServerClientWinSocket* c) {
    (c->FLivePrev ? c->FLivePrev->FLiveNext : Live) = c->FLiveNext;
    if (c->FLiveNext) c->FLiveNext->FLivePrev = c->FLivePrev;
    c->FLivePrev = c->FLiveNext = nullptr;
    --LiveCount;
  }

  void FreeDead() {
    for (auto* c : Dead) delete c;
    Dead.clear();
  }
};
