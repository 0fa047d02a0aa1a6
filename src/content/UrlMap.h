// Between the URL space the clients see and the local paths under the root.
#pragma once
#include <string>

class TServerCore;

// The folder a target is mapped under: the separate CGI folder or the root.
const std::string& LocalBase(TServerCore& Server, bool InCGIDir);
std::string UrlToLocalPath(TServerCore& Server, const std::string& Path, bool InCGIDir);
std::string LocalPathToUrl(TServerCore& Server, const std::string& Folder, const std::string& Name);
std::string DecodeQueryText(const std::string& Text);
