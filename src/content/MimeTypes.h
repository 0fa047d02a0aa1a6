// Content types by file extension.
#pragma once
#include <string>
#include <vector>

class TServerState;

void FillMimeTable(std::vector<std::string>& MimeTable);
std::string GetContentType(TServerState& Server, const std::string& LocalPath);
// The extension as the content-type lookup takes it: after the last '.' that follows the last
// '/' and ':'; false when there is no such '.'.
bool ExtractExtension(const std::string& LocalPath, std::string& Extension);
