// The target of a request: where it lies on disk, whether it runs a program, and what the
// program is told.
#pragma once
#include <string>

class TServerState;
struct mParser;

// From the request line's target (p->URI): whether it lies in the CGI folder, its query and path
// info, its local path, whether it runs as a program and, for a program, its meta-variables,
// which go into Variables ahead of the headers.
void ResolveTarget(TServerState& Server, mParser* p);
bool IsInCGIDir(TServerState& Server, const std::string& Target);
std::string TranslatePathInfo(TServerState& Server, const std::string& PathInfo, mParser* p);
