// The log file: one record per call, opened, appended and closed each time.
#pragma once
#include <cstdint>
#include <string>

class TServerCore;

// Past this size the log is set aside as brevoxa.log.1 and a new one begun: several records are
// written whatever the settings say, some carrying kilobytes of client-chosen text, and a log
// must not fill the disk of a server left running unattended.
constexpr int64_t kLogRotateBytes = int64_t{64} << 20;

// Appends Text and one LF to the server's log file. Failures are silent.
void WriteLog(TServerCore& Server, const std::string& Text);

// The two statistics texts for the interface language L (cp1251).
std::string StatisticsText1(const TServerCore& Server);
std::string StatisticsText2(const TServerCore& Server);
