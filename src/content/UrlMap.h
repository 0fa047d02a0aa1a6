// Between the URL space the clients see and the local paths under the root.
#pragma once
#include <string>
#include <string_view>

class TServerCore;

// The folder a target is mapped under: the separate CGI folder or the root.
const std::string& LocalBase(TServerCore& Server, bool InCGIDir);
std::string UrlToLocalPath(TServerCore& Server, const std::string& Path, bool InCGIDir);
std::string LocalPathToUrl(TServerCore& Server, const std::string& Folder, const std::string& Name);
// For many names in one folder: LocalPathToUrl(Folder, Name) equals prefix followed by
// AppendUrlBytes of Name whenever this returns true. False when a name's URL would take the
// error path; LocalPathToUrl then has to be asked name by name.
bool FolderUrlPrefix(TServerCore& Server, const std::string& Folder, std::string& prefix);
// Appends cp1251 path bytes the way they stand in a URL: blanks and Cyrillic escaped.
void AppendUrlBytes(std::string& out, std::string_view bytes);
std::string DecodeQueryText(const std::string& Text);
