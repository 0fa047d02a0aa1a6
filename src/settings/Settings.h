// The settings store: the server's fields to and from the registry key.
#pragma once
#include <string>

class TServerCore;

inline constexpr const char* kSettingsKey = "Software\\Quorvel\\Vyn Brevoxa";

// Assigns every setting its default.
void AssignDefaultSettings(TServerCore& Server);
void LoadSettings(TServerCore& Server);
void SaveSettings(TServerCore& Server);
void SaveLanguage(TServerCore& Server);
std::string IndexedValueName(const std::string& Prefix, int Index);
