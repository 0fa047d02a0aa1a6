// CGI programs: which files run, and running them.
#pragma once
#include <string>

#include "platform/Files.h"

class TServerState;
struct mParser;

constexpr int kCgiEnvironmentSize = 5000;

bool IsCgiProgram(TServerState& Server, mParser* p);
// What a run of a program gave: its open output file, or INVALID_HANDLE_VALUE and BodyLength -1.
// HeaderBlock is the program's header block as it wrote it, empty line included; the body
// follows it in the file. Both are fixed when the program ends: whatever a child it left behind
// writes to the file later lands beyond them, and the file's shared offset is never relied on.
struct TCgiOutcome {
  THandle Output = INVALID_HANDLE_VALUE;
  int BodyLength = -1;
  std::string HeaderBlock;
  bool Redirect = false;  // the header block names a Location: the answer is a 301
};
[[nodiscard]] TCgiOutcome RunCgi(TServerState& Server, mParser* p);
// Fills Server.CgiEnvironment from the record; returns the bytes used.
int BuildCgiEnvironment(TServerState& Server, mParser* p);
