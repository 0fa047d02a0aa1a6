// The settings store: one table of the server's settings drives their defaults, load and save.
#include "settings/Settings.h"

#include <array>
#include <cstdint>
#include <vector>

#include "platform/Codec.h"
#include "platform/Dialogs.h"
#include "platform/Registry.h"
#include "server/ServerState.h"

namespace {

enum class TKind { Text, Bool, Int, Count };

using TStringList = std::vector<std::string>;

// One stored value: its name, how it is stored, the field it fills and the field's default.
// A Count row holds no field of its own: it stores the length of a list.
struct TSettingRow {
  const char* Name;
  TKind Kind;
  std::string TServerState::*Text = nullptr;
  bool TServerState::*Flag = nullptr;
  int32_t TServerState::*Number = nullptr;
  TStringList TServerState::*List = nullptr;
  const char* TextDefault = "";
  int32_t NumberDefault = 0;
};

constexpr TSettingRow TextRow(const char* name, std::string TServerState::*field, const char* def) {
  return {name, TKind::Text, field, nullptr, nullptr, nullptr, def, 0};
}
constexpr TSettingRow BoolRow(const char* name, bool TServerState::*field, bool def) {
  return {name, TKind::Bool, nullptr, field, nullptr, nullptr, "", def ? 1 : 0};
}
constexpr TSettingRow IntRow(const char* name, int32_t TServerState::*field, int32_t def) {
  return {name, TKind::Int, nullptr, nullptr, field, nullptr, "", def};
}
constexpr TSettingRow CountRow(const char* name, TStringList TServerState::*list) {
  return {name, TKind::Count, nullptr, nullptr, nullptr, list, "", 0};
}

// In this order the settings are loaded and saved; a read failure stops the load at its row.
const auto kSettings = std::to_array<TSettingRow>({
    TextRow("RC", &TServerState::RC,
            "/"),  // the system drive's root is the file system's root here
    BoolRow("LS", &TServerState::LS, true),
    BoolRow("LC", &TServerState::LC, true),
    BoolRow("LF", &TServerState::LF, false),
    BoolRow("LH", &TServerState::LH, false),
    IntRow("L", &TServerState::L, 1),
    BoolRow("SRS", &TServerState::SRS, true),
    BoolRow("SCC", &TServerState::SCC, true),
    BoolRow("HOS", &TServerState::HOS, false),
    BoolRow("LD", &TServerState::LD, false),
    BoolRow("LRH", &TServerState::LRH, false),
    BoolRow("UIPF", &TServerState::UIPF, false),
    CountRow("WrongIPListLen", &TServerState::WrongIPs),
    BoolRow("SSH", &TServerState::SSH, false),
    TextRow("ICURL", &TServerState::ICURL, ""),
    TextRow("CGID", &TServerState::CGID, "/cgi-bin/"),
    BoolRow("ECGI", &TServerState::ECGI, true),
    BoolRow("USCGIF", &TServerState::USCGIF, false),
    TextRow("SCGIF", &TServerState::SCGIF, ""),
    BoolRow("DNICGI", &TServerState::DNICGI, false),
    BoolRow("DPAF", &TServerState::DPAF, true),
    BoolRow("AEASC", &TServerState::AEASC, true),
    BoolRow("DIPIV", &TServerState::DIPIV, false),
    TextRow("DIPV", &TServerState::DIPV, "HTTP_X_FORWARDED_FOR"),
    CountRow("CGIAssocListLen", &TServerState::CGIAssoc),
    CountRow("RootListLen", &TServerState::Roots),
});

// The lists in the order their subkeys are loaded and saved.
struct TListRow {
  TStringList TServerState::*List;
  const char* Subkey;
  const char* Prefix;
};
const std::array<TListRow, 3> kLists = {{
    {&TServerState::WrongIPs, "WrongIPs", "IP"},
    {&TServerState::CGIAssoc, "CGIAssoc", "CGI"},
    {&TServerState::Roots, "Roots", "Root"},
}};

const char* const kFailureText =
    "Возможно, требуются права администратора\nСоветую сообщить об ошибке автору программы";

// What was not read may narrow what is served (another root, banned addresses, CGI switched
// off): nothing is served until the user's own settings are in force again.
void ReadFailure(TServerState& Server) {
  Server.ServeNothing = true;
  const char* consequence =
      Server.L == 0
          ? "Пока настройки не сохранены в окне настроек, сервер не отдаёт ни одного файла."
          : "No files are served until the settings are saved in the options dialog.";
  MessageBox(Utf8ToCp1251(std::string(kFailureText) + "\n" + consequence),
             Utf8ToCp1251("Ошибка при чтении реестра"), mtError, mbOK);
}

void WriteFailure() {
  MessageBox(Utf8ToCp1251(kFailureText), Utf8ToCp1251("Ошибка при записи в реестр"), mtError, mbOK);
}

std::string SubkeyPath(const TListRow& list) {
  return std::string(kSettingsKey) + "\\" + list.Subkey;
}

size_t ListIndex(TStringList TServerState::*list) {
  for (size_t i = 0; i < kLists.size(); ++i)
    if (kLists[i].List == list) return i;
  return 0;
}

// Reads every row present into the server; false at the first value that cannot be read.
bool LoadRows(TServerState& Server, TRegistry& reg, std::array<int32_t, 3>& counts) {
  for (const TSettingRow& row : kSettings) {
    if (!reg.ValueExists(row.Name)) continue;
    int32_t number = 0;
    switch (row.Kind) {
      case TKind::Text: {
        std::string text;
        if (!reg.ReadString(row.Name, text)) return false;
        Server.*row.Text = std::move(text);
        break;
      }
      case TKind::Bool:
        if (!reg.ReadInteger(row.Name, number)) return false;
        Server.*row.Flag = number != 0;
        break;
      case TKind::Int:
        if (!reg.ReadInteger(row.Name, number)) return false;
        Server.*row.Number = number;
        break;
      case TKind::Count:
        if (!reg.ReadInteger(row.Name, number)) return false;
        counts[ListIndex(row.List)] = number;
        break;
    }
  }
  return true;
}

// Appends the items present at positions 0..count-1; false at the first unreadable one.
bool LoadList(TServerState& Server, TRegistry& reg, const TListRow& list, int32_t count) {
  TStringList& items = Server.*list.List;
  for (int32_t i = 0; i < count; ++i) {
    std::string name = IndexedValueName(list.Prefix, i);
    if (!reg.ValueExists(name)) continue;
    std::string text;
    if (!reg.ReadString(name, text)) return false;
    items.push_back(std::move(text));
  }
  return true;
}

bool SaveRows(const TServerState& Server, TRegistry& reg) {
  for (const TSettingRow& row : kSettings) {
    bool ok = false;
    switch (row.Kind) {
      case TKind::Text:
        ok = reg.WriteString(row.Name, Server.*row.Text);
        break;
      case TKind::Bool:
        ok = reg.WriteInteger(row.Name, Server.*row.Flag ? 1 : 0);
        break;
      case TKind::Int:
        ok = reg.WriteInteger(row.Name, Server.*row.Number);
        break;
      case TKind::Count:
        ok = reg.WriteInteger(row.Name, static_cast<int32_t>((Server.*row.List).size()));
        break;
    }
    if (!ok) return false;
  }
  return true;
}

bool SaveList(const TServerState& Server, TRegistry& reg, const TListRow& list) {
  const TStringList& items = Server.*list.List;
  for (size_t i = 0; i < items.size(); ++i)
    if (!reg.WriteString(IndexedValueName(list.Prefix, static_cast<int>(i)), items[i]))
      return false;
  // Items left over from a longer list go, up to the first gap; beyond it they stay unread.
  for (int i = static_cast<int>(items.size());; ++i) {
    std::string name = IndexedValueName(list.Prefix, i);
    if (!reg.ValueExists(name)) break;
    reg.DeleteValue(name);
  }
  return true;
}

}  // namespace

std::string IndexedValueName(const std::string& Prefix, int Index) {
  return Prefix + std::to_string(Index);
}

void AssignDefaultSettings(TServerState& Server) {
  for (const TSettingRow& row : kSettings) {
    switch (row.Kind) {
      case TKind::Text:
        Server.*row.Text = row.TextDefault;
        break;
      case TKind::Bool:
        Server.*row.Flag = row.NumberDefault != 0;
        break;
      case TKind::Int:
        Server.*row.Number = row.NumberDefault;
        break;
      case TKind::Count:
        (Server.*row.List).clear();
        break;
    }
  }
}

void LoadSettings(TServerState& Server) {
  if (!Server.Registry) return;
  TRegistry& reg = *Server.Registry;
  // Loading happens once, at start-up: the moment to clear what a save killed halfway left.
  reg.RemoveOrphanedTemporaries();
  if (!reg.KeyExists(kSettingsKey)) {
    // A hive that cannot be read may well hold the key: that is a failure, not a first run.
    if (reg.HiveUnreadable()) ReadFailure(Server);
    return;
  }
  if (!reg.OpenKeyReadOnly(kSettingsKey)) {
    ReadFailure(Server);
    return;
  }
  std::array<int32_t, 3> counts{0, 0, 0};
  bool ok = LoadRows(Server, reg, counts);
  reg.CloseKey();
  if (!ok) {
    ReadFailure(Server);
    return;
  }
  for (size_t i = 0; i < kLists.size(); ++i) {
    if (counts[i] <= 0) continue;
    const std::string path = SubkeyPath(kLists[i]);
    if (!reg.KeyExists(path)) {
      if (reg.HiveUnreadable()) {
        ReadFailure(Server);
        return;
      }
      continue;
    }
    if (!reg.OpenKeyReadOnly(path)) {
      ReadFailure(Server);
      return;
    }
    ok = LoadList(Server, reg, kLists[i], counts[i]);
    reg.CloseKey();
    if (!ok) {
      ReadFailure(Server);
      return;
    }
  }
}

// Opens key for writing, lets write fill it and closes it; closing stores what was set so far,
// also after a failed value, so those values stay written. Reports a failure itself.
template <typename TWrite>
bool WriteKey(TServerState& Server, const std::string& key, TWrite write) {
  if (!Server.Registry || !Server.Registry->OpenKey(key, true)) {
    WriteFailure();
    return false;
  }
  const bool ok = write(*Server.Registry);
  if (!Server.Registry->CloseKey() || !ok) {
    WriteFailure();
    return false;
  }
  return true;
}

void SaveSettings(TServerState& Server) {
  // The fields now hold what the user chose, whether or not the store takes them.
  Server.ServeNothing = false;
  if (!WriteKey(Server, kSettingsKey, [&](TRegistry& reg) { return SaveRows(Server, reg); }))
    return;
  for (const TListRow& list : kLists) {
    if ((Server.*list.List).empty()) continue;  // an emptied list leaves its old items unread
    if (!WriteKey(Server, SubkeyPath(list),
                  [&](TRegistry& reg) { return SaveList(Server, reg, list); }))
      return;
  }
}

void SaveLanguage(TServerState& Server) {
  WriteKey(Server, kSettingsKey, [&](TRegistry& reg) { return reg.WriteInteger("L", Server.L); });
}
