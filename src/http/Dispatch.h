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
// The dot-file rule over a whole path: false when DPAF is set and any name of Path below Base
// begins with '.' (a dot folder hides everything in it).
bool IsAccessiblePath(TServerCore& Server, const std::string& Base, const std::string& Path);
// The names of the program's own files: log, hive and CGI temporary files.
bool IsProgramFileName(const std::string& Name);
// True for one of those files in the program folder itself; they are never served.
bool IsProgramFile(TServerCore& Server, const std::string& LocalPath);
