// Folder index files and the "Catalog contents" listing.
#pragma once
#include <string>
#include <string_view>

class TServerState;

bool FindIndexFile(TServerState& Server, std::string& LocalPath);
std::string BuildCatalogPage(TServerState& Server, const std::string& LocalPath);
// Text that may hold anything, made safe to stand in HTML: a file name, a client's address. A
// value inside single quotes needs its apostrophes escaped as well.
std::string HtmlText(const std::string& text, bool singleQuoted = false);
void AppendHtmlText(std::string& out, std::string_view text, bool singleQuoted = false);
