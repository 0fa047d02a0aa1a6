#include "app/SignalBridge.h"

#include <fcntl.h>
#include <unistd.h>

#include <QSocketNotifier>
#include <cerrno>
#include <csignal>

namespace {

int gPipe[2] = {-1, -1};

void OnPosixSignal(int signo) {
  int saved = errno;
  auto byte = static_cast<unsigned char>(signo);
  ssize_t ignored = ::write(gPipe[1], &byte, 1);
  (void)ignored;
  errno = saved;
}

constexpr int kSignals[] = {SIGTERM, SIGINT, SIGHUP};

}  // namespace

TSignalBridge::TSignalBridge(QObject* parent) : QObject(parent) {
  if (gPipe[0] < 0 && ::pipe2(gPipe, O_NONBLOCK | O_CLOEXEC) != 0) return;
  FNotifier = new QSocketNotifier(gPipe[0], QSocketNotifier::Read, this);
  connect(FNotifier, &QSocketNotifier::activated, this, [this] { Drain(); });
  struct sigaction sa {};
  sa.sa_handler = OnPosixSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESTART;
  for (int s : kSignals) ::sigaction(s, &sa, nullptr);
}

TSignalBridge::~TSignalBridge() {
  struct sigaction sa {};
  sa.sa_handler = SIG_DFL;
  sigemptyset(&sa.sa_mask);
  for (int s : kSignals) ::sigaction(s, &sa, nullptr);
}

void TSignalBridge::Drain() {
  unsigned char byte;
  while (::read(gPipe[0], &byte, 1) == 1) {
    if (OnSignal) OnSignal(byte);
  }
}
