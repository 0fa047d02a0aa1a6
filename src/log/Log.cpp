#include "log/Log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include "app/ServerCore.h"
#include "platform/Codec.h"

void WriteLog(TServerCore& Server, const std::string& Text) {
  // Opened and closed for every record, so the file is complete whenever a reader looks.
  std::string record = Text;
  record += '\n';
  int fd = open(Server.LogFileName.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0) return;  // a log that cannot be written never stops the server
  const char* data = record.data();
  size_t left = record.size();
  while (left > 0) {
    ssize_t n = write(fd, data, left);
    if (n <= 0) break;
    data += n;
    left -= static_cast<size_t>(n);
  }
  close(fd);
}

std::string StatisticsText1(const TServerCore& Server) {
  char buf[256];
  if (Server.L == 0) {
    std::snprintf(buf, sizeof buf, Utf8ToCp1251("ВСЕГО: соед. - %d; запросов - %d; ошибок - %d").c_str(),
                  Server.ConnectCount, Server.RequestCount, Server.ErrorCount);
  } else {
    std::snprintf(buf, sizeof buf, "TOTAL: connects - %d; requests - %d; errors - %d",
                  Server.ConnectCount, Server.RequestCount, Server.ErrorCount);
  }
  return buf;
}

std::string StatisticsText2(const TServerCore& Server) {
  char buf[256];
  int active = Server.Parsers ? Server.Parsers->Count() : 0;
  if (Server.L == 0) {
    std::snprintf(
        buf, sizeof buf,
        Utf8ToCp1251("активных соединений - %d\nпопыток соединения с блокированных IP - %d").c_str(),
        active, Server.BannedCount);
  } else {
    std::snprintf(buf, sizeof buf, "active connections - %d\nconnect attempts from banned IPs - %d",
                  active, Server.BannedCount);
  }
  return buf;
}
