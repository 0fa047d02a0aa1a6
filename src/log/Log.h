// The log file: records appended whole and in order. Within one turn of the event loop they are
// gathered and written together when the turn ends; outside a turn each goes out at once.
#pragma once
#include <cstdint>
#include <string>

#include "server/ServerState.h"

// Appends Text and one LF to the log file FileName, creating it when missing, setting it aside
// as FileName + ".1" first once it is larger than RotateBytes. Only a regular file the user left
// writable is written; failures are silent.
void WriteLog(const std::string& FileName, const std::string& Text,
              int64_t RotateBytes = kLogRotateBytes);
// The same into the server's own log file.
void WriteLog(const TServerState& Server, const std::string& Text);

// A turn of the event loop begins: its records are gathered from here.
void BeginLogTurn();
// The turn has ended: what it gathered is in the file when this returns. Begin and end need not
// pair up: a turn run inside another's handler (a modal loop) ends the gathering of both, so no
// record waits in memory while a loop waits.
void EndLogTurn();
// Everything written so far is in the file when this returns.
void FlushLog();
// As FlushLog, and the file is no longer held open.
void CloseLog();
