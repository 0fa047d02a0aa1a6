// The log file: one record per call, opened, appended and closed each time.
#pragma once
#include <string>

class TServerCore;

// Appends Text and one LF to the server's log file. Failures are silent.
void WriteLog(TServerCore& Server, const std::string& Text);

// The two statistics texts for the interface language L (cp1251).
std::string StatisticsText1(const TServerCore& Server);
std::string StatisticsText2(const TServerCore& Server);
