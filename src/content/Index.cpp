// Folder index files and the "Catalog contents" listing of a folder without one.
#include "content/Index.h"

#include <cinttypes>
#include <cstdio>
#include <vector>

#include "content/UrlMap.h"
#include "platform/Codec.h"
#include "platform/Files.h"
#include "server/ServerState.h"

namespace {

// Tried in this order; an earlier pattern wins over every match of a later one.
const char* const kIndexPatterns[] = {"index.*htm*", "index.php*", "index.cgi*", "index.pl*"};

const char* const kPlainHead =
    "<html><head><title>Catalog contents</title><style type=\"text/css\">\n"
    "td, th {text-align:center}\n"
    "td.fname {font-family:monospace}\n"
    "td.fsize {letter-spacing:2px; font-size:8pt}\n"
    "</style></head><body>\n";

// The link sits inside a double-quoted attribute; a quote in it would end the attribute.
std::string QuotedLink(const std::string& link) {
  std::string out;
  out.reserve(link.size());
  for (char c : link) {
    if (c == '"')
      out += "%22";
    else
      out += c;
  }
  return out;
}

std::string SizeText(const TSearchRec& entry) {
  char buf[64];
  if (entry.SizeHigh != 0)
    std::snprintf(buf, sizeof buf, "%" PRIu32 " * 2^32 + %" PRIu32, entry.SizeHigh, entry.SizeLow);
  else
    std::snprintf(buf, sizeof buf, "%" PRIu32, entry.SizeLow);
  return buf;
}

}  // namespace

std::string HtmlText(const std::string& text, bool singleQuoted) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += singleQuoted ? "&#39;" : "'";
        break;
      default:
        out += c;
    }
  }
  return out;
}

bool FindIndexFile(TServerState& Server, std::string& LocalPath) {
  // A path with a NUL names nothing, and neither does anything found "inside" it.
  if (LocalPath.find('\0') != std::string::npos) return false;
  // One pass over the folder serves all four patterns; an earlier pattern still wins over a later
  // one, and among the matches of one pattern the first in the folder's own order.
  std::vector<std::string> names;
  if (!ReadFolderNames(LocalPath, names)) return false;
  for (const char* pattern : kIndexPatterns) {
    for (const std::string& name : names) {
      // An entry that cannot be reached (a link to nothing) is no index.
      if (Cp1251WildcardMatch(pattern, name) && FileOrFolderExists(LocalPath + "/" + name)) {
        LocalPath = LocalPath + "/" + name;
        return true;
      }
    }
  }
  return false;
}

std::string BuildCatalogPage(TServerState& Server, const std::string& LocalPath) {
  std::string page;
  if (Server.ICURL.empty()) {
    page += kPlainHead;
  } else {
    page +=
        "<html><head><title>Catalog contents</title>\n"
        "<link rel=\"stylesheet\" type=\"text/css\" href=\"";
    page += Server.ICURL;
    page += "\">\n</head><body>\n";
  }
  page += "<h1>THE CATALOG</h1>\n<table width=100%><thead><th>File<th>Size</thead>\n";

  std::vector<TSearchRec> entries;
  if (LocalPath.find('\0') != std::string::npos || !FindFiles(LocalPath + "/*", entries)) {
    page += "<tr><td colspan=\"*\"><i>empty catalog</i></tr>";
  } else {
    for (const TSearchRec& e : entries) {
      std::string link = LocalPathToUrl(Server, LocalPath, e.Name);
      std::string size;
      if (e.Attr & FILE_ATTRIBUTE_DIRECTORY) {
        size = "/CATALOG/";
        link += '/';
      } else {
        size = SizeText(e);
      }
      if (e.Attr & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) continue;
      if (e.Name == ".") continue;
      if (!IsAccessibleName(Server, e.Name)) continue;
      // Listed, they would only lead to a "not found".
      if (IsProgramFile(Server, LocalPath + "/" + e.Name)) continue;
      if (e.Name == ".." && LocalPath == Server.RC) continue;
      page += "<tr><td class=\"fname\"><a href=\"";
      page += QuotedLink(link);
      page += "\">";
      page += HtmlText(e.Name);
      page += "</a><td class=\"fsize\">";
      page += size;
      page += "</tr>\n";
    }
  }
  page += "</table>\n</body></html>";
  return page;
}
