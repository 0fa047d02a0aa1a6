// The settings store: the server's fields to and from the registry key.
#pragma once
#include <string>

class TServerState;

inline constexpr const char* kSettingsKey = "Software\\Quorvel\\Vyn Brevoxa";

// Assigns every setting its default.
void AssignDefaultSettings(TServerState& Server);
void LoadSettings(TServerState& Server);
void SaveSettings(TServerState& Server);
void SaveLanguage(TServerState& Server);
std::string IndexedValueName(const std::string& Prefix, int Index);
