// CGI programs: which files run, and running them.
#pragma once
#include <string>

#include "platform/Files.h"

class TServerState;
struct mParser;

constexpr int kCgiEnvironmentSize = 5000;

bool IsCgiProgram(TServerState& Server, mParser* p);
// The open output file and BodyLength, or INVALID_HANDLE_VALUE and -1. HeaderBlock is the
// program's header block as it wrote it, empty line included; the body follows it in the file.
// Both are fixed when the program ends: whatever a child it left behind writes to the file later
// lands beyond them, and the file's shared offset is never relied on.
THandle RunCgi(TServerState& Server, mParser* p, int& BodyLength, std::string& HeaderBlock);
// Fills Server.CgiEnvironment from the record; returns the bytes used.
int BuildCgiEnvironment(TServerState& Server, mParser* p);
