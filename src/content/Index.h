// Folder index files and the "Catalog contents" listing.
#pragma once
#include <string>

class TServerCore;

bool FindIndexFile(TServerCore& Server, std::string& LocalPath);
std::string BuildCatalogPage(TServerCore& Server, const std::string& LocalPath);
