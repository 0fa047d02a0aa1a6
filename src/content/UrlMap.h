// Between the URL space the clients see and the local paths under the root.
#pragma once
#include <string>
#include <string_view>

class TServerState;

// The folder a target is mapped under: the separate CGI folder or the root.
const std::string& LocalBase(TServerState& Server, bool InCGIDir);
std::string UrlToLocalPath(TServerState& Server, const std::string& Path, bool InCGIDir);
// The same into result, reusing its memory.
void AssignLocalPath(std::string& result, TServerState& Server, const std::string& Path,
                     bool InCGIDir);
std::string LocalPathToUrl(TServerState& Server, const std::string& Folder,
                           const std::string& Name);
// For many names in one folder: LocalPathToUrl(Folder, Name) equals prefix followed by
// AppendUrlBytes of Name whenever this returns true. False when a name's URL would take the
// error path; LocalPathToUrl then has to be asked name by name.
bool FolderUrlPrefix(TServerState& Server, const std::string& Folder, std::string& prefix);
// Appends a path the way it stands in a link that every browser follows unchanged: the ASCII
// characters a browser would change or cut, and every character beyond ASCII as the escapes of
// its UTF-8 bytes.
void AppendUrlBytes(std::string& out, std::string_view bytes);
// Appends an address given in the settings: each character beyond the code page as the escapes
// of its UTF-8 bytes, every other byte as it stands.
void AppendForeignEscaped(std::string& out, std::string_view address);
std::string DecodeQueryText(const std::string& Text);
// The dot-file rule: false when DPAF is set and the final name begins with '.'.
bool IsAccessibleName(TServerState& Server, const std::string& LocalPath);
// The dot-file rule over a whole path: false when DPAF is set and any name of Path below Base
// begins with '.' (a dot folder hides everything in it).
bool IsAccessiblePath(TServerState& Server, const std::string& Base, const std::string& Path);
// The names of the program's own files: log, hive and CGI temporary files.
bool IsProgramFileName(std::string_view Name);
// True for one of those files in the program folder itself; they are never served.
bool IsProgramFile(TServerState& Server, const std::string& LocalPath);
