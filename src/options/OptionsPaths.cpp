// The options dialog's text rules, apart from the widgets so that they can be read at a glance.
#include "options/OptionsPaths.h"

std::string NormaliseLocalFolder(std::string path) {
  if (path.empty()) return "/";
  if (path.size() > 1 && path.back() == '/') path.pop_back();
  return path;
}

std::string NormaliseCgiDir(std::string dir) {
  if (dir.empty()) return "/";
  if (dir.back() != '/') dir += '/';
  if (dir.front() != '/') dir.insert(dir.begin(), '/');
  return dir;
}

bool IsLocalPathUrl(const std::string& url) {
  return url.find('\\') != std::string::npos || url.find(':') == 1;
}

std::pair<std::string, std::string> SplitAssociation(const std::string& item) {
  const std::string::size_type colon = item.find(':');
  if (colon == std::string::npos) return {item, std::string()};
  return {item.substr(0, colon), item.substr(colon + 1)};
}
