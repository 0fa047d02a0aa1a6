// The REGEDIT4 hive file: parsing, writing back, typed reads, atomic replacement, damaged files.
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include <csignal>

#include "platform/Codec.h"
#include "platform/Registry.h"
#include "support/TestSupport.h"

namespace {

const char* kSample =
    "REGEDIT4\r\n"
    "\r\n"
    "; exported by hand\r\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Quorvel\\Vyn Brevoxa]\r\n"
    "\"RC\"=\"C:\\\\srv \\\"www\\\"\"\r\n"
    "\"LS\"=dword:00000001\r\n"
    "@=\"default\"\r\n"
    "\"Name\"=\"Привет\"\r\n"
    "\"Far\"=\"日本\"\r\n"
    "\n"
    "[HKEY_LOCAL_MACHINE\\Software\\Other]\n"
    "\"Bin\"=hex:de,ad,be,ef\n"
    "\"Multi\"=hex(7):61,00,62,00,\\\n"
    "  00,00\n"
    "\"Q\"=hex(b):01,02,03,04,05,06,07,08\n"
    "\"Exp\"=hex(2):25,00,50,00,41,00,54,00,48,00,25,00,00,00\n"
    "\"Empty\"=hex:\n";

std::string DataOf(THive& hive, const std::string& key, const std::string& name,
                   uint32_t* type = nullptr) {
  TRegKey* k = hive.FindKey(key);
  if (!k) return "<no key>";
  for (const TRegValue& v : k->Values)
    if (v.Name == name) {
      if (type) *type = v.Type;
      return v.Data;
    }
  return "<no value>";
}

void ExpectSameHive(const THive& a, const THive& b) {
  ASSERT_EQ(a.Keys.size(), b.Keys.size());
  for (size_t i = 0; i < a.Keys.size(); ++i) {
    EXPECT_EQ(a.Keys[i].Path, b.Keys[i].Path);
    ASSERT_EQ(a.Keys[i].Values.size(), b.Keys[i].Values.size()) << a.Keys[i].Path;
    for (size_t j = 0; j < a.Keys[i].Values.size(); ++j) {
      EXPECT_EQ(a.Keys[i].Values[j].Name, b.Keys[i].Values[j].Name);
      EXPECT_EQ(a.Keys[i].Values[j].Type, b.Keys[i].Values[j].Type);
      EXPECT_EQ(a.Keys[i].Values[j].Data, b.Keys[i].Values[j].Data) << a.Keys[i].Values[j].Name;
    }
  }
}

TEST(Hive, ParsesEveryFormAndFormatsBackToTheSameHive) {
  THive hive;
  ASSERT_TRUE(THive::Parse(kSample, hive));
  const std::string main = "Software\\Quorvel\\Vyn Brevoxa";
  uint32_t type = 0;
  EXPECT_EQ(DataOf(hive, main, "RC", &type), "C:\\srv \"www\"");
  EXPECT_EQ(type, REG_SZ);
  EXPECT_EQ(DataOf(hive, main, "LS", &type), std::string("\1\0\0\0", 4));
  EXPECT_EQ(type, REG_DWORD);
  EXPECT_EQ(DataOf(hive, main, ""), "default");
  EXPECT_EQ(DataOf(hive, main, "Name"), Utf8ToCp1251("Привет"));
  EXPECT_EQ(DataOf(hive, "Software\\Other", "Bin", &type), "\xde\xad\xbe\xef");
  EXPECT_EQ(type, REG_BINARY);
  EXPECT_EQ(DataOf(hive, "Software\\Other", "Multi", &type), std::string("a\0b\0\0\0", 6));
  EXPECT_EQ(type, 7u);
  EXPECT_EQ(DataOf(hive, "Software\\Other", "Q", &type), "\1\2\3\4\5\6\7\x08");
  EXPECT_EQ(type, 0xBu);
  EXPECT_EQ(DataOf(hive, "Software\\Other", "Empty"), "");
  // Parents of a listed key exist, as in the registry.
  EXPECT_NE(hive.FindKey("Software"), nullptr);
  EXPECT_NE(hive.FindKey("SOFTWARE\\quorvel"), nullptr);

  std::string text = hive.Format();
  EXPECT_NE(text.find("\"Far\"=\"日本\""), std::string::npos)
      << "a character cp1251 cannot hold was lost";
  EXPECT_NE(text.find("\"RC\"=\"C:\\\\srv \\\"www\\\"\""), std::string::npos);
  THive again;
  ASSERT_TRUE(THive::Parse(text, again)) << text;
  ExpectSameHive(hive, again);
  EXPECT_EQ(again.Format(), text);
}

TEST(Hive, LongBinaryAndTextWithLineBreaksSurviveFormatting) {
  THive hive;
  TRegKey& key = hive.CreateKey("A\\B");
  std::string bytes;
  for (int i = 0; i < 300; ++i) bytes += static_cast<char>(i);
  key.Values.push_back({"blob", REG_BINARY, bytes, ""});
  key.Values.push_back({"lines", REG_SZ, "one\ntwo\r\nthree", ""});
  key.Values.push_back({"odd dword", REG_DWORD, "\1\2", ""});
  key.Values.push_back({"quote\"name\\", REG_SZ, "", ""});
  std::string text = hive.Format();
  EXPECT_NE(text.find(",\\\n  "), std::string::npos) << "long data is not wrapped";
  THive again;
  ASSERT_TRUE(THive::Parse(text, again)) << text;
  ExpectSameHive(hive, again);
}

TEST(Hive, RejectsWhatIsNotARegistryExport) {
  struct Row {
    const char* name;
    std::string text;
  } rows[] = {
      {"empty", ""},
      {"only blanks", " \r\n\n\t\n"},
      {"first line after a key", "[HKEY_LOCAL_MACHINE\\a]\nREGEDIT4\n"},
      {"garbage", "hello world\n"},
      {"value before any key", "REGEDIT4\n\"a\"=\"b\"\n"},
      {"another root", "REGEDIT4\n[HKEY_CURRENT_USER\\a]\n"},
      {"unclosed key", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\a\n"},
      {"unterminated text", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\a]\n\"x\"=\"abc\n"},
      {"text with trailing junk", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\a]\n\"x\"=\"abc\"d\n"},
      {"nine-digit dword", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\a]\n\"x\"=dword:123456789\n"},
      {"bad hex byte", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\a]\n\"x\"=hex:01,g2\n"},
      {"continuation at end", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\a]\n\"x\"=hex:01,\\\n"},
      {"no equals sign", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\a]\n\"x\"\n"},
      {"deleted value", "REGEDIT4\n[HKEY_LOCAL_MACHINE\\a]\n\"x\"=-\n"},
  };
  for (const Row& r : rows) {
    THive hive;
    EXPECT_FALSE(THive::Parse(r.text, hive)) << r.name;
  }
}

// A file written by hand often lacks the export's first line; its keys still say what it is.
TEST(Hive, FirstLineIsOptional) {
  const std::string body =
      "[HKEY_LOCAL_MACHINE\\Software\\Quorvel\\Vyn Brevoxa]\n\"RC\"=\"/srv/www\"\n";
  for (const std::string& text :
       {"REGEDIT4\n\n" + body, "\xEF\xBB\xBFWindows Registry Editor Version 5.00\r\n" + body, body,
        "\n; my settings\n" + body}) {
    THive hive;
    ASSERT_TRUE(THive::Parse(text, hive)) << text;
    EXPECT_EQ(DataOf(hive, "Software\\Quorvel\\Vyn Brevoxa", "RC"), "/srv/www") << text;
  }
}

class RegistryFile : public ::testing::Test {
 protected:
  TempDir dir;
  std::string hive = dir / "HKLM.reg";
  TRegistry reg{hive};
};

TEST_F(RegistryFile, TypedReads) {
  WriteFile(hive,
            "REGEDIT4\n[HKEY_LOCAL_MACHINE\\K]\n"
            "\"sz\"=\"text\"\n\"empty\"=\"\"\n\"dw\"=dword:fffffffe\n"
            "\"dw4\"=hex(4):07,00,00,00\n\"dw3\"=hex(4):07,00,00\n\"dw8\"=hex(4):07,00,00,00,00,00,"
            "00,00\n"
            "\"exp16\"=hex(2):25,00,50,00,41,00,54,00,48,00,25,00,00,00\n"
            "\"exp8\"=hex(2):d0,9f,25,58,25,00\n\"sznone\"=hex(1):\n\"bin\"=hex:41,42\n");
  ASSERT_TRUE(reg.KeyExists("k"));
  ASSERT_TRUE(reg.OpenKeyReadOnly("K"));
  struct TextRow {
    const char* name;
    bool ok;
    std::string value;
  } texts[] = {
      {"sz", true, "text"},
      {"SZ", true, "text"},
      {"empty", true, ""},
      {"exp16", true, "%PATH%"},
      {"exp8", true, Utf8ToCp1251("П%X%")},
      {"sznone", true, ""},
      {"dw", false, ""},
      {"bin", false, ""},
      {"missing", false, ""},
  };
  for (const TextRow& r : texts) {
    std::string v;
    EXPECT_EQ(reg.ReadString(r.name, v), r.ok) << r.name;
    if (r.ok) {
      EXPECT_EQ(v, r.value) << r.name;
    }
  }
  struct IntRow {
    const char* name;
    bool ok;
    int32_t value;
  } ints[] = {{"dw", true, -2},  {"dw4", true, 7}, {"dw3", true, 7},
              {"dw8", false, 0}, {"sz", false, 0}, {"missing", false, 0}};
  for (const IntRow& r : ints) {
    int32_t v = 0;
    EXPECT_EQ(reg.ReadInteger(r.name, v), r.ok) << r.name;
    if (r.ok) {
      EXPECT_EQ(v, r.value) << r.name;
    }
  }
  EXPECT_TRUE(reg.ValueExists("Dw"));
  EXPECT_FALSE(reg.ValueExists("nope"));
  EXPECT_FALSE(reg.WriteString("sz", "read-only key"));
  EXPECT_TRUE(reg.CloseKey());
  EXPECT_FALSE(reg.ValueExists("sz"));
  EXPECT_FALSE(reg.OpenKeyReadOnly("K\\missing"));
}

TEST_F(RegistryFile, WriteKeepsUnknownKeysAndValuesAndHappensAtClose) {
  WriteFile(hive, kSample);
  ASSERT_TRUE(reg.OpenKey("Software\\Quorvel\\Vyn Brevoxa\\WrongIPs", true));
  EXPECT_TRUE(reg.WriteString("IP0", Utf8ToCp1251("10.*.*.* ё")));
  EXPECT_TRUE(reg.WriteInteger("n", -1));
  EXPECT_EQ(ReadFile(hive), kSample) << "written before the key was closed";
  EXPECT_TRUE(reg.CloseKey());

  THive before, after;
  ASSERT_TRUE(THive::Parse(kSample, before));
  ASSERT_TRUE(THive::Parse(ReadFile(hive), after));
  for (const TRegKey& k : before.Keys) {
    TRegKey* kept = after.FindKey(k.Path);
    ASSERT_NE(kept, nullptr) << k.Path;
    ASSERT_EQ(kept->Values.size(), k.Values.size()) << k.Path;
    for (size_t i = 0; i < k.Values.size(); ++i) {
      EXPECT_EQ(kept->Values[i].Type, k.Values[i].Type);
      EXPECT_EQ(kept->Values[i].Data, k.Values[i].Data);
    }
  }
  EXPECT_NE(ReadFile(hive).find("日本"), std::string::npos);
  EXPECT_NE(ReadFile(hive).find("\"IP0\"=\"10.*.*.* ё\""), std::string::npos);
  EXPECT_NE(ReadFile(hive).find("\"n\"=dword:ffffffff"), std::string::npos);
  EXPECT_EQ(ReadFile(hive + ".bad"), "");

  // Opening and closing without a change leaves the file alone.
  struct stat st1, st2;
  ASSERT_EQ(stat(hive.c_str(), &st1), 0);
  ASSERT_TRUE(reg.OpenKey("Software\\Quorvel\\Vyn Brevoxa\\WrongIPs", false));
  EXPECT_TRUE(reg.WriteString("IP0", Utf8ToCp1251("10.*.*.* ё")));
  EXPECT_TRUE(reg.CloseKey());
  ASSERT_EQ(stat(hive.c_str(), &st2), 0);
  EXPECT_EQ(st1.st_ino, st2.st_ino);

  ASSERT_TRUE(reg.OpenKey("Software\\Quorvel\\Vyn Brevoxa\\WrongIPs", false));
  EXPECT_TRUE(reg.DeleteValue("ip0"));
  EXPECT_FALSE(reg.DeleteValue("ip0"));
  EXPECT_TRUE(reg.CloseKey());
  EXPECT_EQ(ReadFile(hive).find("IP0"), std::string::npos);
  EXPECT_FALSE(reg.OpenKey("Software\\Nowhere", false));
}

TEST_F(RegistryFile, FailedReplacementLeavesTheOldHiveWhole) {
  WriteFile(hive, kSample);
  ASSERT_TRUE(reg.OpenKey("Software\\Quorvel\\Vyn Brevoxa", false));
  ASSERT_TRUE(reg.WriteString("big", std::string(200000, 'x')));
  // A file-size limit makes the write of the new hive fail part-way, as a full disk would.
  struct rlimit old;
  getrlimit(RLIMIT_FSIZE, &old);
  auto oldHandler = signal(SIGXFSZ, SIG_IGN);
  struct rlimit small = {4096, old.rlim_max};
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  bool closed = reg.CloseKey();
  setrlimit(RLIMIT_FSIZE, &old);
  signal(SIGXFSZ, oldHandler);
  EXPECT_FALSE(closed);
  EXPECT_EQ(ReadFile(hive), kSample);
  int entries = 0;
  DIR* d = opendir(dir.Path().c_str());
  while (dirent* e = readdir(d))
    if (e->d_name[0] != '.') ++entries;
  closedir(d);
  EXPECT_EQ(entries, 1) << "a temporary file was left behind";
  // The failed change is not in force for the next reader either.
  ASSERT_TRUE(reg.OpenKeyReadOnly("Software\\Quorvel\\Vyn Brevoxa"));
  EXPECT_FALSE(reg.ValueExists("big"));
  reg.CloseKey();
}

TEST_F(RegistryFile, UnreadableHiveIsKeptAsBadBesideTheNewOne) {
  const std::string damaged =
      "REGEDIT4\n[HKEY_LOCAL_MACHINE\\Software\\Quorvel\\Vyn Brevoxa]\n\"RC\"=\"/srv\n";
  WriteFile(hive, damaged);
  EXPECT_FALSE(reg.KeyExists("Software\\Quorvel\\Vyn Brevoxa"));
  EXPECT_TRUE(reg.HiveUnreadable());
  EXPECT_FALSE(reg.OpenKeyReadOnly("Software\\Quorvel\\Vyn Brevoxa"));
  ASSERT_TRUE(reg.OpenKey("Software\\Quorvel\\Vyn Brevoxa", true));
  EXPECT_TRUE(reg.WriteInteger("L", 0));
  EXPECT_TRUE(reg.CloseKey());
  EXPECT_FALSE(reg.HiveUnreadable());
  EXPECT_EQ(ReadFile(hive + ".bad"), damaged);
  THive now;
  ASSERT_TRUE(THive::Parse(ReadFile(hive), now));
  TRegKey* key = now.FindKey("Software\\Quorvel\\Vyn Brevoxa");
  ASSERT_NE(key, nullptr);
  ASSERT_EQ(key->Values.size(), 1u);
  EXPECT_EQ(key->Values[0].Name, "L");
}

TEST_F(RegistryFile, HiveThatIsAFolderIsUnreadable) {
  mkdir(hive.c_str(), 0755);
  EXPECT_FALSE(reg.KeyExists("Software"));
  EXPECT_TRUE(reg.HiveUnreadable());
}

TEST(Registry, NoHiveFileIsAnEmptyRegistryAndUnwritablePlacesFail) {
  TempDir dir;
  TRegistry fresh(dir / "HKLM.reg");
  EXPECT_FALSE(fresh.KeyExists("Software"));
  EXPECT_FALSE(fresh.HiveUnreadable());
  ASSERT_TRUE(fresh.OpenKey("Software\\A\\B", true));
  EXPECT_TRUE(fresh.CloseKey());
  EXPECT_TRUE(fresh.KeyExists("software\\a"));
  EXPECT_NE(ReadFile(dir / "HKLM.reg").find("[HKEY_LOCAL_MACHINE\\Software\\A\\B]"),
            std::string::npos);

  TRegistry noFolder(dir / "missing/HKLM.reg");
  EXPECT_FALSE(noFolder.OpenKey("Software", true));
  WriteFile(dir / "plain", "");
  TRegistry fileAsFolder(dir / "plain/HKLM.reg");
  EXPECT_FALSE(fileAsFolder.OpenKey("Software", true));
  TRegistry nul(dir.Path() + std::string("/HKLM\0.reg", 10));
  EXPECT_FALSE(nul.OpenKey("Software", true));
}

}  // namespace
