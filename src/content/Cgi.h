// CGI programs: which files run, and running them.
#pragma once
#include "platform/Files.h"

class TServerCore;
struct mParser;

constexpr int kCgiEnvironmentSize = 5000;

bool IsCgiProgram(TServerCore& Server, mParser* p);
// The open output file at its start and BodyLength, or INVALID_HANDLE_VALUE and -1.
THandle RunCgi(TServerCore& Server, mParser* p, int& BodyLength);
// Fills Server.CgiEnvironment from the record; returns the bytes used.
int BuildCgiEnvironment(TServerCore& Server, mParser* p);
