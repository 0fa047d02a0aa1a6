// Folder index files and the "Catalog contents" listing of a folder without one.
#include "content/Index.h"

#include <charconv>
#include <string_view>
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
void AppendQuotedLink(std::string& out, std::string_view link) {
  size_t start = 0;
  for (size_t quote; (quote = link.find('"', start)) != std::string_view::npos; start = quote + 1) {
    out.append(link, start, quote - start);
    out += "%22";
  }
  out.append(link, start);
}

void AppendNumber(std::string& out, uint32_t value) {
  char buf[10];
  out.append(buf, std::to_chars(buf, buf + sizeof buf, value).ptr);
}

void AppendSize(std::string& out, const TSearchRec& entry) {
  if (entry.SizeHigh != 0) {
    AppendNumber(out, entry.SizeHigh);
    out += " * 2^32 + ";
  }
  AppendNumber(out, entry.SizeLow);
}

}  // namespace

void AppendHtmlText(std::string& out, std::string_view text, bool singleQuoted) {
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    // Most characters need nothing: one comparison each before the full test.
    const auto c = static_cast<unsigned char>(text[i]);
    if (c > '>' || (c != '&' && c != '<' && c != '>' && c != '"' && c != '\'')) continue;
    const char* escape;
    switch (text[i]) {
      case '&':
        escape = "&amp;";
        break;
      case '<':
        escape = "&lt;";
        break;
      case '>':
        escape = "&gt;";
        break;
      case '"':
        escape = "&quot;";
        break;
      case '\'':
        if (!singleQuoted) continue;
        escape = "&#39;";
        break;
      default:
        continue;
    }
    out.append(text, start, i - start);
    out += escape;
    start = i + 1;
  }
  out.append(text, start);
}

std::string HtmlText(const std::string& text, bool singleQuoted) {
  std::string out;
  out.reserve(text.size());
  AppendHtmlText(out, text, singleQuoted);
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
      if (!Cp1251WildcardMatch(pattern, name)) continue;
      std::string path = LocalPath;
      path += '/';
      path += name;
      if (FileOrFolderExists(path)) {
        LocalPath = std::move(path);
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
    // Every link shares the folder's part; only where that part cannot be shared is each link
    // made whole, for every entry and before any is left out, as the error record wants.
    std::string prefix;
    const bool shared = FolderUrlPrefix(Server, LocalPath, prefix);
    std::string link;
    page.reserve(page.size() + entries.size() * 96 + 32);
    for (const TSearchRec& e : entries) {
      const bool folder = e.Attr & FILE_ATTRIBUTE_DIRECTORY;
      if (!shared) link = LocalPathToUrl(Server, LocalPath, e.Name);
      if (e.Attr & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) continue;
      if (e.Name == ".") continue;
      if (!IsAccessibleName(Server, e.Name)) continue;
      // Listed, they would only lead to a "not found". The name alone settles most entries
      // without building a path.
      if (IsProgramFileName(e.Name) && IsProgramFile(Server, LocalPath + "/" + e.Name)) continue;
      if (e.Name == ".." && LocalPath == Server.RC) continue;
      if (shared) {
        link.assign(prefix);
        AppendUrlBytes(link, e.Name);
      }
      if (folder) link += '/';
      page += R"(<tr><td class="fname"><a href=")";
      AppendQuotedLink(page, link);
      page += "\">";
      AppendHtmlText(page, e.Name);
      page += "</a><td class=\"fsize\">";
      if (folder)
        page += "/CATALOG/";
      else
        AppendSize(page, e);
      page += "</tr>\n";
    }
  }
  page += "</table>\n</body></html>";
  return page;
}
