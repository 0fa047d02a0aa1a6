// The log file and the two statistics texts of the main window.
#include "log/Log.h"

#include <cstdio>

#include "app/ServerCore.h"
#include "platform/Codec.h"
#include "platform/Files.h"

void WriteLog(TServerCore& Server, const std::string& Text) {
  // Opened and closed for every record, so the file is complete whenever a reader looks; a log
  // that cannot be written never stops the server, so the result is not looked at.
  AppendLogRecord(Server.LogFileName, Text + '\n', Server.LogRotateBytes);
}

std::string StatisticsText1(const TServerCore& Server) {
  char buf[256];
  if (Server.L == 0) {
    std::snprintf(buf, sizeof buf,
                  Utf8ToCp1251("ВСЕГО: соед. - %d; запросов - %d; ошибок - %d").c_str(),
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
        Utf8ToCp1251("активных соединений - %d\nпопыток соединения с блокированных IP - %d")
            .c_str(),
        active, Server.BannedCount);
  } else {
    std::snprintf(buf, sizeof buf, "active connections - %d\nconnect attempts from banned IPs - %d",
                  active, Server.BannedCount);
  }
  return buf;
}
