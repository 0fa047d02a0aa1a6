// Folder index files and the "Catalog contents" listing of a folder without one.
#include "content/Index.h"

#include <charconv>
#include <string_view>
#include <vector>

#include "content/UrlMap.h"
#include "platform/Codec.h"
#include "platform/FileFacts.h"
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

// The link sits inside a double-quoted attribute: a quote would end it, and a browser reads
// "&copy" or "&lt;" there as a character.
void AppendQuotedLink(std::string& out, std::string_view link) {
  size_t start = 0;
  for (size_t at; (at = link.find_first_of("\"&", start)) != std::string_view::npos;
       start = at + 1) {
    out.append(link, start, at - start);
    out += link[at] == '"' ? "%22" : "&amp;";
  }
  out.append(link, start);
}

void AppendNumber(std::string& out, uint32_t value) {
  char buf[10];
  out.append(buf, std::to_chars(buf, buf + sizeof buf, value).ptr);
}

void AppendSize(std::string& out, uint64_t size) {
  if (size >> 32 != 0) {
    AppendNumber(out, static_cast<uint32_t>(size >> 32));
    out += " * 2^32 + ";
  }
  AppendNumber(out, static_cast<uint32_t>(size & 0xFFFFFFFFu));
}

}  // namespace

void AppendHtmlText(std::string& out, std::string_view text, bool singleQuoted) {
  size_t start = 0;
  for (size_t i = 0; i < text.size(); ++i) {
    // Most characters need nothing: one comparison each before the full test.
    const auto c = static_cast<unsigned char>(text[i]);
    if (c > '>' ? text[i] != kForeignMark
                : c != '&' && c != '<' && c != '>' && c != '"' && c != '\'')
      continue;
    const char* escape;
    switch (text[i]) {
      case kForeignMark: {
        // A character beyond the code page: a reference shows it whatever the page's encoding.
        char32_t u = 0;
        const size_t len = ReadCharacter(text, i, u);
        if (len == 1) continue;
        out.append(text, start, i - start);
        out += "&#";
        AppendNumber(out, static_cast<uint32_t>(u));
        out += ';';
        i += len - 1;
        start = i + 1;
        continue;
      }
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

std::shared_ptr<TFolderFacts> ReadFolderOnce(TServerState& Server, const std::string& LocalPath) {
  if (Server.Facts) return Server.Facts->Folder(LocalPath);
  auto folder = std::make_shared<TFolderFacts>();
  ReadFolder(LocalPath, *folder);
  return folder;
}

bool FindIndexFile(TServerState& Server, std::string& LocalPath) {
  return FindIndexFile(LocalPath, *ReadFolderOnce(Server, LocalPath));
}

bool FindIndexFile(std::string& LocalPath, const TFolderFacts& folder) {
  // A path with a NUL names nothing, and neither does anything found "inside" it.
  if (LocalPath.find('\0') != std::string::npos || !folder.Readable) return false;
  // One pass over the folder serves all four patterns; an earlier pattern still wins over a later
  // one, and among the matches of one pattern the first in the folder's own order.
  for (const char* pattern : kIndexPatterns) {
    for (const TFolderEntry& entry : folder.Entries) {
      // An entry that cannot be reached (a link to nothing) is no index.
      if (!Cp1251WildcardMatch(pattern, entry.Name) || !FolderEntryReachable(LocalPath, entry))
        continue;
      LocalPath += '/';
      LocalPath += entry.Name;
      return true;
    }
  }
  return false;
}

std::string BuildCatalogPage(TServerState& Server, const std::string& LocalPath) {
  return BuildCatalogPage(Server, LocalPath,
                          *ReadFolderOnce(Server, LocalPath.empty() ? "/" : LocalPath));
}

std::string BuildCatalogPage(TServerState& Server, const std::string& LocalPath,
                             TFolderFacts& folder) {
  std::string page;
  if (Server.ICURL.empty()) {
    page += kPlainHead;
  } else {
    page +=
        "<html><head><title>Catalog contents</title>\n"
        "<link rel=\"stylesheet\" type=\"text/css\" href=\"";
    // Its characters beyond the code page would not survive the page's encoding.
    AppendForeignEscaped(page, Server.ICURL);
    page += "\">\n</head><body>\n";
  }
  page += "<h1>THE CATALOG</h1>\n<table width=100%><thead><th>File<th>Size</thead>\n";

  if (LocalPath.find('\0') != std::string::npos || !folder.Readable) {
    page += "<tr><td colspan=\"*\"><i>empty catalog</i></tr>";
  } else {
    // Every link shares the folder's part; only where that part cannot be shared is each link
    // made whole, for every entry and before any is left out, as the error record wants.
    std::string prefix;
    const bool shared = FolderUrlPrefix(Server, LocalPath, prefix);
    std::string link;
    DescribeFolder(folder);
    page.reserve(page.size() + folder.Entries.size() * 96 + 32);
    for (const TFolderEntry& e : folder.Entries) {
      // Gone since the folder was read, or a link to nothing.
      if (!e.Reachable) continue;
      const bool isFolder = e.Attr & FILE_ATTRIBUTE_DIRECTORY;
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
      if (isFolder) link += '/';
      page += R"(<tr><td class="fname"><a href=")";
      AppendQuotedLink(page, link);
      page += "\">";
      AppendHtmlText(page, e.Name);
      page += "</a><td class=\"fsize\">";
      if (isFolder)
        page += "/CATALOG/";
      else
        AppendSize(page, e.Size);
      page += "</tr>\n";
    }
  }
  page += "</table>\n</body></html>";
  return page;
}
