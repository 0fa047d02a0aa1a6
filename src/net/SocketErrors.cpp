// The transport's error numbering and texts, shared by the loop and the connections.
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "net/ServerSocket.h"
#include "net/SocketInternals.h"

std::string SocketErrorText(int err, const char* api) {
  char buf[512];
  std::snprintf(buf, sizeof buf, "Windows socket error: %s (%d), on API '%s'", std::strerror(err),
                WinSockErrorCode(err), api);
  return buf;
}

int WinSockErrorCode(int err) {
  switch (err) {
    case ECONNRESET:
      return 10054;
    case ECONNABORTED:
    case EPIPE:
      return 10053;
    case ETIMEDOUT:
      return 10060;
    case ECONNREFUSED:
      return 10061;
    case EACCES:
      return 10013;
    case EADDRINUSE:
      return 10048;
    case EADDRNOTAVAIL:
      return 10049;
    case ENOTCONN:
      return 10057;
    case EMFILE:
      return 10024;
    case EWOULDBLOCK:
      return 10035;
    default:
      return 10000 + err;
  }
}
