// Answering one parsed request.
#pragma once
#include <cstdint>
#include <string>

class TServerCore;
struct mParser;

void DispatchRequest(TServerCore& Server, mParser* p);
// RFC 1123 date, "" when the time cannot be converted.
std::string FileTimeToHttpDate(int64_t unixTime);
// The dot-file rule: false when DPAF is set and the final name begins with '.'.
bool IsAccessibleName(TServerCore& Server, const std::string& LocalPath);
