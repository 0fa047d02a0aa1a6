// The log file: one record per call, opened, appended and closed each time.
#pragma once
#include <cstdint>
#include <string>

#include "server/ServerState.h"

// Appends Text and one LF to the log file FileName, setting it aside first once it has reached
// RotateBytes. Failures are silent.
void WriteLog(const std::string& FileName, const std::string& Text,
              int64_t RotateBytes = kLogRotateBytes);
// The same into the server's own log file.
void WriteLog(const TServerState& Server, const std::string& Text);
