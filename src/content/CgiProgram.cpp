// Which files run as CGI programs: by an association of their extension, or as programs.
#include "content/Cgi.h"
#include "content/MimeTypes.h"
#include "platform/Codec.h"
#include "server/ServerState.h"

namespace {

bool IsListSeparator(char c) { return c == ' ' || c == ',' || c == ';'; }

}  // namespace

bool IsCgiProgram(TServerState& Server, mParser* p) {
  std::string extension;
  ExtractExtension(p->LocalPath, extension);
  extension = Cp1251LowerCase(extension);

  if (!extension.empty()) {
    for (const std::string& line : Server.CGIAssoc) {
      size_t colon = line.find(':');
      if (colon == std::string::npos) continue;
      // Only the first occurrence is tried, as the line is stored (its extensions lower case).
      size_t at = line.find(extension);
      if (at == std::string::npos || at >= colon) continue;
      if (at != 0 && !IsListSeparator(line[at - 1])) continue;
      char after = line[at + extension.size()];
      if (!IsListSeparator(after) && after != ':') continue;
      p->ExeApp = line.substr(colon + 1);
      if (p->ExeApp.empty()) continue;
      return true;
    }
  }
  // An association for "exe" comes first; only without one does the file run itself.
  if (extension == "exe") {
    p->IsExe = 1;
    return true;
  }
  return false;
}
