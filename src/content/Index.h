// Folder index files and the "Catalog contents" listing.
#pragma once
#include <memory>
#include <string>
#include <string_view>

class TServerState;
struct TFolderFacts;

bool FindIndexFile(TServerState& Server, std::string& LocalPath);
std::string BuildCatalogPage(TServerState& Server, const std::string& LocalPath);
// The folder read once for both the index search and the listing, from the server's file facts
// when it keeps them.
std::shared_ptr<TFolderFacts> ReadFolderOnce(TServerState& Server, const std::string& LocalPath);
bool FindIndexFile(std::string& LocalPath, const TFolderFacts& folder);
std::string BuildCatalogPage(TServerState& Server, const std::string& LocalPath,
                             TFolderFacts& folder);
// Text that may hold anything, made safe to stand in HTML: a file name, a client's address. A
// value inside single quotes needs its apostrophes escaped as well. A character beyond the code
// page becomes a character reference.
std::string HtmlText(const std::string& text, bool singleQuoted = false);
void AppendHtmlText(std::string& out, std::string_view text, bool singleQuoted = false);
