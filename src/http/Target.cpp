// The target of a request: where it lies on disk, whether it runs a program, and what the
// program is told.
#include "http/Target.h"

#include <string>

#include "content/Cgi.h"
#include "content/MimeTypes.h"
#include "content/UrlMap.h"
#include "server/ServerState.h"

namespace {

// Decoding can spell ".." ("%2e%2e"); the path info becomes PATH_TRANSLATED, which programs open,
// so it keeps to the same rule as the target: a run of dots stands as one.
std::string CollapseDots(const std::string& text) {
  std::string result;
  for (size_t i = 0; i < text.size(); ++i)
    if (!(text[i] == '.' && i > 0 && text[i - 1] == '.')) result += text[i];
  return result;
}

// What a program is told about its request, ahead of the headers: FirstHeaderEntry marks where
// the headers begin.
void AddMetaVariables(TServerState& Server, mParser* p, const std::string& path,
                      const std::string& pathInfo) {
  AddVariable(p, "REQUEST_METHOD", p->Method);
  AddVariable(p, "QUERY_STRING", p->QueryString);
  AddVariable(p, "REMOTE_ADDR", p->RemoteAddr);
  AddVariable(p, "REMOTE_PORT", p->RemotePort);
  AddVariable(p, "SCRIPT_NAME", path);
  AddVariable(p, "GATEWAY_INTERFACE", "CGI/1.1");
  AddVariable(p, "SERVER_SOFTWARE", std::string("Vyn_Brevoxa/") + kVersionText);
  AddVariable(p, "SERVER_PROTOCOL", p->Protocol);
  AddVariable(p, "SERVER_PORT", std::to_string(p->Socket ? p->Socket->OwnPort() : 0));
  AddVariable(p, "SCRIPT_FILENAME", p->LocalPath);
  std::string serverName;
  if (p->Socket) {
    serverName = p->Socket->OwnHostName();
    if (serverName.empty()) serverName = p->Socket->OwnAddress();
  }
  size_t cut = serverName.find("//");
  if (cut != std::string::npos) serverName = serverName.substr(cut + 2);
  AddVariable(p, "SERVER_NAME", serverName);
  if (!pathInfo.empty()) {
    AddVariable(p, "PATH_INFO", pathInfo);
    AddVariable(p, "PATH_TRANSLATED", TranslatePathInfo(Server, pathInfo, p));
  }
  if (Server.DIPIV) AddVariable(p, Server.DIPV, p->RemoteAddr);
  p->FirstHeaderEntry = static_cast<int32_t>(p->Variables.size());
}

}  // namespace

bool IsInCGIDir(TServerState& Server, const std::string& Target) {
  const std::string& prefix = Server.CGID;
  if (Target.size() < prefix.size()) return false;
  // Only ASCII letters fold: the prefix is a URL, and URLs carry other bytes escaped.
  auto fold = [](char c) -> char { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c; };
  for (size_t i = 0; i < prefix.size(); ++i)
    if (fold(Target[i]) != fold(prefix[i])) return false;
  return true;
}

std::string TranslatePathInfo(TServerState& Server, const std::string& PathInfo, mParser* p) {
  std::string result;
  if (!PathInfo.empty() && (PathInfo[0] == '/' || PathInfo[0] == '\\')) {
    result = Server.RC;
    // The root "/" already ends in the separator the path info brings along.
    if (!result.empty() && result.back() == '/' && PathInfo[0] == '/') result.pop_back();
  } else {
    size_t slash = p->LocalPath.rfind('/');
    if (slash != std::string::npos) result = p->LocalPath.substr(0, slash + 1);
  }
  result += PathInfo;
  return result;
}

void ResolveTarget(TServerState& Server, mParser* p) {
  if (Server.ECGI) p->InCGIDir = IsInCGIDir(Server, p->URI);

  // The query string and the path info name no file; only a program in the CGI folder gets them.
  std::string path = p->URI;
  std::string pathInfo;
  size_t q = p->URI.find('?');
  size_t s = p->URI.find(';');
  if (q != std::string::npos) {
    if (p->InCGIDir) p->QueryString = p->URI.substr(q + 1);
    path = p->URI.substr(0, q);
  }
  if (s != std::string::npos && (q == std::string::npos || s < q)) {
    if (p->InCGIDir) {
      pathInfo = path.substr(s + 1);
      if (!pathInfo.empty()) pathInfo = CollapseDots(DecodeQueryText(pathInfo));
    }
    path = path.substr(0, s);
  }

  AssignLocalPath(p->LocalPath, Server, path, p->InCGIDir);

  // A name without extension in the CGI folder is a program. An empty path names the root folder
  // (only an empty CGI prefix gets here with one), not a program. The answer stays in the record:
  // the body is kept and the answer decided by it.
  if (p->InCGIDir) {
    std::string extension;
    bool namesFolder = path.empty() || path.back() == '/';
    if (!namesFolder && !ExtractExtension(p->LocalPath, extension)) p->LocalPath += ".exe";
    p->IsCGI = IsCgiProgram(Server, p);
  }

  if (p->IsCGI) AddMetaVariables(Server, p, path, pathInfo);
}
