// The text rules the options dialog applies to its paths and addresses before storing them.
#pragma once
#include <string>
#include <utility>

// An empty folder is the root "/"; one trailing '/' goes, except from "/" itself.
[[nodiscard]] std::string NormaliseLocalFolder(std::string path);
// The CGI folder's URL path: "" is "/", otherwise it ends and begins with '/'.
[[nodiscard]] std::string NormaliseCgiDir(std::string dir);
// True for a style sheet address that can only be a local file: a '\' anywhere, or a drive
// letter (the first ':' is the second character).
[[nodiscard]] bool IsLocalPathUrl(const std::string& url);
// "ext1,ext2:program" into its extensions and program at the first ':'; an item without ':'
// is all extensions.
[[nodiscard]] std::pair<std::string, std::string> SplitAssociation(const std::string& item);
