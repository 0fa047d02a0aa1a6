// The settings store against real hive files: orders, list rules and both failure boxes.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <ctime>
#include <functional>

#include "core/ServerCore.h"
#include "platform/Codec.h"
#include "platform/Dialogs.h"
#include "platform/Files.h"
#include "platform/Registry.h"
#include "settings/Settings.h"
#include "support/TestSupport.h"

namespace {

const std::string kFailureText = Utf8ToCp1251(
    "Возможно, требуются права администратора\nСоветую сообщить об ошибке автору программы");
// A read failure also says that nothing is served, in Russian when L is 0 and English otherwise.
const std::string kServesNothing[2] = {
    Utf8ToCp1251("Пока настройки не сохранены в окне настроек, сервер не отдаёт ни одного файла."),
    "No files are served until the settings are saved in the options dialog."};
const std::string kReadCaption = Utf8ToCp1251("Ошибка при чтении реестра");
const std::string kWriteCaption = Utf8ToCp1251("Ошибка при записи в реестр");

const std::string kMain = "[HKEY_LOCAL_MACHINE\\Software\\Quorvel\\Vyn Brevoxa]\n";
const std::string kWrongIPs = "[HKEY_LOCAL_MACHINE\\Software\\Quorvel\\Vyn Brevoxa\\WrongIPs]\n";
const std::string kCGIAssoc = "[HKEY_LOCAL_MACHINE\\Software\\Quorvel\\Vyn Brevoxa\\CGIAssoc]\n";

class SettingsStore : public ::testing::Test {
 protected:
  void SetUp() override {
    old = SetMessageBoxHandler([this](const std::string& text, const std::string& caption,
                                      TMsgDlgType type, TMsgDlgButtons buttons) {
      EXPECT_EQ(text, caption == kReadCaption
                          ? kFailureText + "\n" + kServesNothing[server.L == 0 ? 0 : 1]
                          : kFailureText);
      EXPECT_EQ(type, mtError);
      EXPECT_EQ(buttons, mbOK);
      captions.push_back(caption);
      return static_cast<int>(mrOk);
    });
    UseHive(dir / "HKLM.reg");
    AssignDefaultSettings(server);
  }
  void TearDown() override { SetMessageBoxHandler(old); }

  void UseHive(const std::string& path) {
    hive = path;
    server.Registry = std::make_unique<TRegistry>(path);
  }
  void WriteHive(const std::string& body) { WriteFile(hive, "REGEDIT4\n\n" + body); }

  // The values of one key in the hive file now, as name=type:data.
  TRegKey Key(const std::string& path) {
    THive parsed;
    EXPECT_TRUE(THive::Parse(ReadFile(hive), parsed));
    TRegKey* key = parsed.FindKey(path);
    return key ? *key : TRegKey{"<missing>", {}, {}};
  }
  static bool Has(const TRegKey& key, const std::string& name) {
    for (const TRegValue& v : key.Values)
      if (v.Name == name) return true;
    return false;
  }
  static std::string Text(const TRegKey& key, const std::string& name) {
    for (const TRegValue& v : key.Values)
      if (v.Name == name && v.Type == REG_SZ) return v.Data;
    return "<none>";
  }
  static int Dword(const TRegKey& key, const std::string& name) {
    for (const TRegValue& v : key.Values)
      if (v.Name == name && v.Type == REG_DWORD && v.Data.size() == 4)
        return static_cast<unsigned char>(v.Data[0]) | static_cast<unsigned char>(v.Data[1]) << 8 |
               static_cast<unsigned char>(v.Data[2]) << 16 |
               static_cast<unsigned char>(v.Data[3]) << 24;
    return -12345;
  }

  TempDir dir;
  std::string hive;
  TServerCore server;
  std::vector<std::string> captions;
  TMessageBoxHandler old;
};

// Every setting, in one comparable line, so a test can tell which of them moved.
std::string Snapshot(const TServerCore& s) {
  std::string out = "RC=" + s.RC + " ICURL=" + s.ICURL + " CGID=" + s.CGID + " SCGIF=" + s.SCGIF +
                    " DIPV=" + s.DIPV;
  out += " L=" + std::to_string(s.L) + " bools=";
  for (bool b : {s.LS, s.LC, s.LF, s.LH, s.SRS, s.SCC, s.HOS, s.LD, s.LRH, s.UIPF, s.SSH, s.ECGI,
                 s.USCGIF, s.DNICGI, s.DPAF, s.AEASC, s.DIPIV})
    out += b ? '1' : '0';
  for (const auto* list : {&s.WrongIPs, &s.CGIAssoc, &s.Roots}) {
    out += " [";
    for (const std::string& item : *list) out += item + ";";
    out += "]";
  }
  return out;
}

TEST_F(SettingsStore, DefaultsAreAssignedOverAnything) {
  server.RC = "x";
  server.L = 9;
  server.LS = false;
  server.WrongIPs = {"1.2.3.4"};
  AssignDefaultSettings(server);
  EXPECT_EQ(Snapshot(server),
            "RC=/ ICURL= CGID=/cgi-bin/ SCGIF= DIPV=HTTP_X_FORWARDED_FOR L=1 "
            "bools=11001100000100110 [] [] []");
}

TEST_F(SettingsStore, FirstRunWithoutKeyKeepsDefaultsSilently) {
  std::string defaults = Snapshot(server);
  LoadSettings(server);
  WriteHive("[HKEY_LOCAL_MACHINE\\Software\\Other]\n\"RC\"=\"/elsewhere\"\n");
  LoadSettings(server);
  EXPECT_EQ(Snapshot(server), defaults);
  EXPECT_TRUE(captions.empty());
}

TEST_F(SettingsStore, ListCountsGovernWhatIsRead) {
  struct Row {
    const char* name;
    std::string count;
    std::vector<std::string> expected;
  } rows[] = {
      {"gaps leave no holes", "dword:00000005", {"0.*.*.*", "2.*.*.*", "4.*.*.*"}},
      {"count zero reads nothing", "dword:00000000", {}},
      {"negative count reads nothing", "dword:ffffffff", {}},
      {"count two stops before IP2", "dword:00000002", {"0.*.*.*"}},
  };
  for (const Row& r : rows) {
    WriteHive(
        kMain + "\"WrongIPListLen\"=" + r.count + "\n\n" + kWrongIPs +
        "\"IP0\"=\"0.*.*.*\"\n\"IP2\"=\"2.*.*.*\"\n\"IP4\"=\"4.*.*.*\"\n\"IP5\"=\"5.*.*.*\"\n");
    AssignDefaultSettings(server);
    LoadSettings(server);
    EXPECT_EQ(server.WrongIPs, r.expected) << r.name;
  }
  EXPECT_TRUE(captions.empty());
}

TEST_F(SettingsStore, ShrunkListDeletesLeftoversUpToTheFirstGap) {
  std::string items;
  for (int i = 0; i < 5; ++i)
    items += "\"IP" + std::to_string(i) + "\"=\"old" + std::to_string(i) + "\"\n";
  WriteHive(kMain + "\"WrongIPListLen\"=dword:00000005\n\n" + kWrongIPs + items);
  server.WrongIPs = {"a", "b", "c"};
  SaveSettings(server);
  TRegKey ips = Key("Software\\Quorvel\\Vyn Brevoxa\\WrongIPs");
  EXPECT_EQ(Text(ips, "IP0") + Text(ips, "IP1") + Text(ips, "IP2"), "abc");
  EXPECT_FALSE(Has(ips, "IP3"));
  EXPECT_FALSE(Has(ips, "IP4"));
  EXPECT_EQ(Dword(Key("Software\\Quorvel\\Vyn Brevoxa"), "WrongIPListLen"), 3);

  WriteHive(kMain + "\"WrongIPListLen\"=dword:00000005\n\n" + kWrongIPs +
            "\"IP0\"=\"x\"\n\"IP1\"=\"x\"\n\"IP2\"=\"x\"\n\"IP4\"=\"old4\"\n");
  SaveSettings(server);
  ips = Key("Software\\Quorvel\\Vyn Brevoxa\\WrongIPs");
  EXPECT_FALSE(Has(ips, "IP3"));
  EXPECT_EQ(Text(ips, "IP4"), "old4");
  EXPECT_TRUE(captions.empty());
}

TEST_F(SettingsStore, EmptiedListLeavesItsSubkeyAlone) {
  WriteHive(kMain + "\"CGIAssocListLen\"=dword:00000002\n\n" + kCGIAssoc +
            "\"CGI0\"=\"pl:perl\"\n\"CGI1\"=\"py:python3\"\n");
  server.CGIAssoc.clear();
  SaveSettings(server);
  EXPECT_EQ(Dword(Key("Software\\Quorvel\\Vyn Brevoxa"), "CGIAssocListLen"), 0);
  TRegKey assoc = Key("Software\\Quorvel\\Vyn Brevoxa\\CGIAssoc");
  EXPECT_EQ(Text(assoc, "CGI0"), "pl:perl");
  EXPECT_EQ(Text(assoc, "CGI1"), "py:python3");
  EXPECT_EQ(Key("Software\\Quorvel\\Vyn Brevoxa\\Roots").Path, "<missing>");
}

TEST_F(SettingsStore, IntegersAreNotValidatedAndBooleansNormalise) {
  WriteHive(kMain + "\"L\"=dword:00000007\n\"SSH\"=dword:00000002\n\"LS\"=dword:00000000\n");
  LoadSettings(server);
  EXPECT_EQ(server.L, 7);
  EXPECT_TRUE(server.SSH);
  EXPECT_FALSE(server.LS);
  SaveSettings(server);
  TRegKey main = Key("Software\\Quorvel\\Vyn Brevoxa");
  EXPECT_EQ(Dword(main, "SSH"), 1);
  EXPECT_EQ(Dword(main, "L"), 7);
  EXPECT_EQ(Dword(main, "LS"), 0);
  EXPECT_TRUE(captions.empty());
}

TEST_F(SettingsStore, TextStoredAsDwordStopsTheLoadThere) {
  WriteHive(
      kMain +
      "\"RC\"=\"/srv/www\"\n\"LC\"=dword:00000000\n\"L\"=dword:00000000\n\"SSH\"=dword:00000001\n"
      "\"WrongIPListLen\"=dword:00000001\n\"ICURL\"=dword:00000001\n\"CGID\"=\"/scripts/\"\n"
      "\"DPAF\"=dword:00000000\n\n" +
      kWrongIPs + "\"IP0\"=\"10.*.*.*\"\n");
  LoadSettings(server);
  ASSERT_EQ(captions, std::vector<std::string>{kReadCaption});
  EXPECT_EQ(server.RC, "/srv/www");
  EXPECT_FALSE(server.LC);
  EXPECT_EQ(server.L, 0);
  EXPECT_TRUE(server.SSH);
  EXPECT_EQ(server.ICURL, "");
  EXPECT_EQ(server.CGID, "/cgi-bin/");
  EXPECT_TRUE(server.DPAF);
  EXPECT_TRUE(server.WrongIPs.empty());
}

TEST_F(SettingsStore, UnreadableListItemKeepsTheItemsBeforeIt) {
  WriteHive(kMain + "\"WrongIPListLen\"=dword:00000003\n\"RootListLen\"=dword:00000001\n\n" +
            kWrongIPs +
            "\"IP0\"=\"1.*.*.*\"\n\"IP1\"=dword:00000001\n\"IP2\"=\"3.*.*.*\"\n\n"
            "[HKEY_LOCAL_MACHINE\\Software\\Quorvel\\Vyn Brevoxa\\Roots]\n\"Root0\"=\"/r\"\n");
  LoadSettings(server);
  EXPECT_EQ(captions, std::vector<std::string>{kReadCaption});
  EXPECT_EQ(server.WrongIPs, std::vector<std::string>{"1.*.*.*"});
  EXPECT_TRUE(server.Roots.empty());
}

TEST_F(SettingsStore, SaveThenLoadGivesEverySettingBack) {
  server.RC = Utf8ToCp1251("/srv/Сайт");
  server.ICURL = "/style.css";
  server.CGID = "/bin/";
  server.SCGIF = "/opt/cgi";
  server.DIPV = "X_REAL";
  server.L = 3;
  server.LS = server.LC = server.SRS = server.SCC = server.ECGI = server.DPAF = server.AEASC =
      false;
  server.LF = server.LH = server.HOS = server.LD = server.LRH = server.UIPF = server.SSH = true;
  server.USCGIF = server.DNICGI = server.DIPIV = true;
  server.WrongIPs = {"10.*.*.*", "192.168.?.*"};
  server.CGIAssoc = {"pl,cgi:/usr/bin/perl"};
  server.Roots = {"/a", Utf8ToCp1251("/б"), "/c"};
  SaveSettings(server);
  std::string saved = Snapshot(server);
  EXPECT_NE(ReadFile(hive).find("\"RC\"=\"/srv/Сайт\""), std::string::npos)
      << "the hive holds UTF-8";

  TServerCore other;
  other.Registry = std::make_unique<TRegistry>(hive);
  AssignDefaultSettings(other);
  LoadSettings(other);
  EXPECT_EQ(Snapshot(other), saved);
  EXPECT_TRUE(captions.empty());
}

TEST_F(SettingsStore, TextsBeyondTheCodePageLoadAndSaveUnchanged) {
  const std::string root = dir / "josé/Música 😀";
  ASSERT_EQ(mkdir((dir / "josé").c_str(), 0755), 0);
  ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
  WriteHive(kMain + "\"RC\"=\"" + root + "\"\n\"ICURL\"=\"/estilo/ñ.css\"\n" +
            "\"CGIAssocListLen\"=dword:00000001\n\n" + kCGIAssoc +
            "\"CGI0\"=\"py:/opt/josé/python3\"\n");
  LoadSettings(server);
  EXPECT_TRUE(captions.empty());
  EXPECT_EQ(server.RC, Utf8ToCp1251(root));
  EXPECT_TRUE(DirectoryExists(server.RC));
  EXPECT_EQ(server.ICURL, Utf8ToCp1251("/estilo/ñ.css"));
  EXPECT_EQ(server.CGIAssoc, std::vector<std::string>{Utf8ToCp1251("py:/opt/josé/python3")});

  server.Roots = {Utf8ToCp1251("/srv/中文")};
  SaveSettings(server);
  const std::string saved = ReadFile(hive);
  for (const std::string& text : {"\"RC\"=\"" + root + "\"", std::string("/estilo/ñ.css"),
                                  std::string("py:/opt/josé/python3"), std::string("/srv/中文")})
    EXPECT_NE(saved.find(text), std::string::npos) << text;
}

TEST_F(SettingsStore, SaveLanguageWritesTheLanguageAlone) {
  server.L = 2;
  SaveLanguage(server);
  TRegKey main = Key("Software\\Quorvel\\Vyn Brevoxa");
  ASSERT_EQ(main.Values.size(), 1u);
  EXPECT_EQ(Dword(main, "L"), 2);
  EXPECT_TRUE(captions.empty());
}

TEST_F(SettingsStore, WriteFailuresShowTheBoxAndKeepTheFields) {
  WriteFile(dir / "not-a-folder", "");
  for (const std::string& path : {dir / "missing/HKLM.reg", dir / "not-a-folder/HKLM.reg"}) {
    captions.clear();
    UseHive(path);
    server.RC = "/kept";
    server.L = 0;
    SaveSettings(server);
    SaveLanguage(server);
    EXPECT_EQ(captions, (std::vector<std::string>{kWriteCaption, kWriteCaption})) << path;
    EXPECT_EQ(server.RC, "/kept");
    EXPECT_EQ(server.L, 0);
    captions.clear();
    LoadSettings(server);  // nothing there to read: silent
    EXPECT_TRUE(captions.empty()) << path;
  }
}

TEST_F(SettingsStore, DamagedHiveIsAReadFailureAndIsKeptOnTheNextSave) {
  const std::string damaged = "REGEDIT4\n" + kMain + "\"RC\"=\"/srv\n";
  WriteFile(hive, damaged);
  LoadSettings(server);
  EXPECT_EQ(captions, std::vector<std::string>{kReadCaption});
  EXPECT_EQ(server.RC, "/");
  captions.clear();
  SaveSettings(server);
  EXPECT_TRUE(captions.empty());
  EXPECT_EQ(ReadFile(hive + ".bad"), damaged);
  EXPECT_EQ(Text(Key("Software\\Quorvel\\Vyn Brevoxa"), "RC"), "/");
}

// Processor time of f in seconds; other programs on the machine do not count against it.
double CpuSeconds(const std::function<void()>& f) {
  timespec a{}, b{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &a);
  f();
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &b);
  return static_cast<double>(b.tv_sec - a.tv_sec) +
         static_cast<double>(b.tv_nsec - a.tv_nsec) / 1e9;
}

// 80 000 masks once took 25 s to load, every value being looked for among all before it. Eight
// times the values must cost about eight times the work, not sixty-four: processor time, so the
// load of other programs does not count, and a ratio, so the speed of the machine does not.
TEST_F(SettingsStore, LongListLoadsAndSavesInLinearTime) {
  auto cost = [&](int n) {
    std::string items;
    for (int i = 0; i < n; ++i)
      items += "\"IP" + std::to_string(i) + "\"=\"10." + std::to_string(i % 256) + ".*.*\"\n";
    char count[16];
    std::snprintf(count, sizeof count, "%08x", n);
    WriteHive(kMain + "\"WrongIPListLen\"=dword:" + count + "\n\n" + kWrongIPs + items);
    AssignDefaultSettings(server);
    double seconds = CpuSeconds([&] { LoadSettings(server); });
    EXPECT_EQ(server.WrongIPs.size(), static_cast<size_t>(n));
    server.WrongIPs.back() = "changed";
    seconds += CpuSeconds([&] { SaveSettings(server); });
    EXPECT_EQ(Text(Key("Software\\Quorvel\\Vyn Brevoxa\\WrongIPs"), "IP" + std::to_string(n - 1)),
              "changed");
    return seconds;
  };
  const double small = cost(2000);
  const double large = cost(16000);
  EXPECT_LT(large / small, 20.0) << small << " s, then " << large << " s";
  EXPECT_TRUE(captions.empty());
}

// A kill between writing the replacement hive and renaming it leaves the replacement behind;
// the next start clears it and nothing else.
TEST_F(SettingsStore, StartRemovesHiveTemporariesLeftByAKilledSave) {
  const std::vector<std::string> orphans = {"HKLM.reg.tmpa1B2c3", "HKLM.reg.tmpZZZZZZ"};
  const std::vector<std::string> kept = {
      "HKLM.reg.bad",       "HKLM.reg.backup",   "HKLM.reg.tmpa1B2c",  "HKLM.reg.tmpa1B2c3d",
      "HKLM.reg.tmpa1-2c3", "HKLM.regtmpa1B2c3", "other.reg.tmpa1B2c3"};
  for (const std::string& name : orphans) WriteFile(dir / name, "REGEDIT4\n");
  for (const std::string& name : kept) WriteFile(dir / name, "x");
  mkdir((dir / "HKLM.reg.tmpdir123").c_str(), 0755);
  LoadSettings(server);
  for (const std::string& name : orphans) EXPECT_FALSE(FileExists(dir / name)) << name;
  for (const std::string& name : kept) EXPECT_EQ(ReadFile(dir / name), "x") << name;
  struct stat st;
  EXPECT_EQ(stat((dir / "HKLM.reg.tmpdir123").c_str(), &st), 0) << "only files are removed";
  EXPECT_TRUE(captions.empty());
}

TEST(SettingsNames, IndexedValueName) {
  EXPECT_EQ(IndexedValueName("IP", 0), "IP0");
  EXPECT_EQ(IndexedValueName("IP", 10), "IP10");
  EXPECT_EQ(IndexedValueName("Root", 123), "Root123");
}

}  // namespace
