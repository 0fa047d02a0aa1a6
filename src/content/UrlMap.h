// Between the URL space the clients see and the local paths under the root.
#pragma once
#include <string>

class TServerCore;

std::string UrlToLocalPath(TServerCore& Server, const std::string& Path, bool InCGIDir);
std::string LocalPathToUrl(TServerCore& Server, const std::string& Folder, const std::string& Name);
std::string DecodeQueryText(const std::string& Text);
