// The log file.
#include "log/Log.h"

#include "platform/LogFile.h"

void WriteLog(const std::string& FileName, const std::string& Text, int64_t RotateBytes) {
  // A log that cannot be written never stops the server, so the result is not looked at.
  AppendLogRecord(FileName, Text, RotateBytes, "\n");
}

void WriteLog(const TServerState& Server, const std::string& Text) {
  WriteLog(Server.LogFileName, Text, Server.LogRotateBytes);
}

void BeginLogTurn() { BeginLogGathering(); }

void EndLogTurn() { EndLogGathering(); }

void FlushLog() { FlushLogFile(); }

void CloseLog() { CloseLogFile(); }
