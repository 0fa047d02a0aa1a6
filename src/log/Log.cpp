// The log file.
#include "log/Log.h"

#include "platform/Files.h"

void WriteLog(const std::string& FileName, const std::string& Text, int64_t RotateBytes) {
  // Opened and closed for every record, so the file is complete whenever a reader looks; a log
  // that cannot be written never stops the server, so the result is not looked at.
  AppendLogRecord(FileName, Text + '\n', RotateBytes);
}

void WriteLog(const TServerState& Server, const std::string& Text) {
  WriteLog(Server.LogFileName, Text, Server.LogRotateBytes);
}
