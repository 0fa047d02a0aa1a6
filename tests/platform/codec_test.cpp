// The cp1251 <-> UTF-8 codec, case folding and wildcard matching.
#include "platform/Codec.h"

#include <gtest/gtest.h>

#include <chrono>
#include <clocale>
#include <set>

namespace {

std::string B(std::initializer_list<int> bytes) {
  std::string s;
  for (int b : bytes) s += static_cast<char>(b);
  return s;
}

TEST(Codec, EveryCp1251ByteSurvivesUtf8AndBack) {
  std::set<std::string> seen;
  for (int c = 0; c < 256; ++c) {
    std::string one(1, static_cast<char>(c));
    std::string utf8 = Cp1251ToUtf8(one);
    // The unassigned byte is the mark of the internal form; alone it reads as U+0098, which comes
    // back in that form.
    EXPECT_EQ(Utf8ToCp1251(utf8), c == 0x98 ? B({0x98, 0xC2, 0x98}) : one) << "byte " << c;
    EXPECT_TRUE(seen.insert(utf8).second) << "two bytes share the character of byte " << c;
  }
  std::string all;
  for (int c = 0; c < 256; ++c)
    if (c != 0x98) all += static_cast<char>(c);
  EXPECT_EQ(Utf8ToCp1251(Cp1251ToUtf8(all)), all);
}

TEST(Codec, KnownCharacters) {
  struct Row {
    int byte;
    const char* utf8;
  } rows[] = {
      {0xC0, "А"}, {0xDF, "Я"}, {0xE0, "а"},        {0xFF, "я"}, {0xA8, "Ё"},
      {0xB8, "ё"}, {0xB9, "№"}, {0x88, "€"},        {0x96, "–"}, {0xA5, "Ґ"},
      {0xB4, "ґ"}, {0x80, "Ђ"}, {0xA0, "\xC2\xA0"}, {0x41, "A"},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(Cp1251ToUtf8(std::string(1, static_cast<char>(r.byte))), r.utf8) << r.byte;
    EXPECT_EQ(Utf8ToCp1251(r.utf8), std::string(1, static_cast<char>(r.byte))) << r.byte;
  }
}

TEST(Codec, CharactersBeyondTheCodePageKeepTheInternalFormBrokenBytesBecomeQuestionMarks) {
  struct Row {
    const char* name;
    std::string utf8;
    std::string cp1251;
  } rows[] = {
      {"latin e acute", "\xC3\xA9", B({0x98, 0xC3, 0xA9})},
      {"CJK", "日本", B({0x98, 0xE6, 0x97, 0xA5, 0x98, 0xE6, 0x9C, 0xAC})},
      {"emoji, four bytes", "x\xF0\x9F\x98\x80y", "x" + B({0x98, 0xF0, 0x9F, 0x98, 0x80}) + "y"},
      {"U+0098 itself", "\xC2\x98", B({0x98, 0xC2, 0x98})},
      {"lone continuation", "\x80", "?"},
      {"invalid lead byte",
       "\xFF"
       "a",
       "?a"},
      {"overlong slash", "\xC0\xAF", "??"},
      {"surrogate", "\xED\xA0\x80", "???"},
      {"truncated at end", "a\xD0", "a?"},
      {"truncated before ASCII", "\xE2\x82x", "??x"},
      {"beyond U+10FFFF", "\xF4\x90\x80\x80", "????"},
      {"Cyrillic kept", "При", B({0xCF, 0xF0, 0xE8})},
  };
  for (const Row& r : rows) EXPECT_EQ(Utf8ToCp1251(r.utf8), r.cp1251) << r.name;
}

TEST(Codec, EveryWellFormedNameComesBackAsItWas) {
  // A name on disk is converted in and out again on every request for it.
  for (const std::string utf8 :
       {"Café Müller.txt", "中文 😀 ѐ", "№ « » € При", "\xC2\x98Г©", "\xC2\x98\xC2\x98é",
        "a\xEF\xBF\xBF\xF4\x8F\xBF\xBF"
        "b"}) {
    SCOPED_TRACE(utf8);
    const std::string inside = Utf8ToCp1251(utf8);
    EXPECT_EQ(Cp1251ToUtf8(inside), utf8);
    EXPECT_EQ(inside.find('?'), std::string::npos);
  }
  // A mark that starts no internal form is U+0098, and what follows it is read as cp1251: a
  // character the code page holds has one spelling only.
  EXPECT_EQ(Cp1251ToUtf8(B({0x98, 'A'})),
            "\xC2\x98"
            "A");
  EXPECT_EQ(Cp1251ToUtf8(B({0x98, 0xD0, 0x9F})), "\xC2\x98Рџ");
  EXPECT_EQ(Cp1251ToUtf8(B({0x98, 0xC3})), "\xC2\x98Г");
}

TEST(Codec, CaseFoldingLeavesTheInternalFormAlone) {
  // À is C3 80 and Ð is C3 90; folded as cp1251 bytes (Ђ, ђ) they would become one another.
  const std::string a = Utf8ToCp1251("À") + "X" + Utf8ToCp1251("Ж");
  EXPECT_EQ(Cp1251LowerCase(a), Utf8ToCp1251("À") + "x" + Utf8ToCp1251("ж"));
  EXPECT_EQ(Cp1251UpperCase(Utf8ToCp1251("ðж")), Utf8ToCp1251("ðЖ"));
  EXPECT_FALSE(Cp1251SameText(Utf8ToCp1251("À"), Utf8ToCp1251("Ð")));
  EXPECT_TRUE(Cp1251SameText(Utf8ToCp1251("Àж"), Utf8ToCp1251("ÀЖ")));
}

// Every cased letter code page 1251 holds, as (upper, lower).
const std::vector<std::pair<int, int>>& CasePairs() {
  static const std::vector<std::pair<int, int>> pairs = [] {
    std::vector<std::pair<int, int>> p;
    for (int c = 'A'; c <= 'Z'; ++c) p.push_back({c, c + 32});
    for (int c = 0xC0; c <= 0xDF; ++c) p.push_back({c, c + 32});
    p.insert(p.end(), {{0x80, 0x90},
                       {0x81, 0x83},
                       {0x8A, 0x9A},
                       {0x8C, 0x9C},
                       {0x8D, 0x9D},
                       {0x8E, 0x9E},
                       {0x8F, 0x9F},
                       {0xA1, 0xA2},
                       {0xA3, 0xBC},
                       {0xA5, 0xB4},
                       {0xA8, 0xB8},
                       {0xAA, 0xBA},
                       {0xAF, 0xBF},
                       {0xB2, 0xB3},
                       {0xBD, 0xBE}});
    return p;
  }();
  return pairs;
}

void CheckFolding() {
  std::set<int> cased;
  for (auto [up, lo] : CasePairs()) {
    cased.insert(up);
    cased.insert(lo);
    EXPECT_EQ(Cp1251ToLower(static_cast<unsigned char>(up)), lo) << std::hex << up;
    EXPECT_EQ(Cp1251ToUpper(static_cast<unsigned char>(lo)), up) << std::hex << lo;
    EXPECT_EQ(Cp1251ToLower(static_cast<unsigned char>(lo)), lo) << std::hex << lo;
    EXPECT_EQ(Cp1251ToUpper(static_cast<unsigned char>(up)), up) << std::hex << up;
  }
  for (int c = 0; c < 256; ++c) {
    if (cased.count(c)) continue;
    EXPECT_EQ(Cp1251ToLower(static_cast<unsigned char>(c)), c)
        << "uncased byte " << c << " changed";
    EXPECT_EQ(Cp1251ToUpper(static_cast<unsigned char>(c)), c)
        << "uncased byte " << c << " changed";
  }
}

TEST(Codec, CaseFoldingCoversEveryCasedLetterAndNothingElse) { CheckFolding(); }

TEST(Codec, CaseFoldingIgnoresTheCLocale) {
  const char* old = std::setlocale(LC_ALL, nullptr);
  std::string saved = old ? old : "C";
  if (std::setlocale(LC_ALL, "C.UTF-8")) CheckFolding();
  std::setlocale(LC_ALL, saved.c_str());
}

TEST(Codec, StringCaseAndSameText) {
  std::string mixed = Utf8ToCp1251("ПрИвЕт, Ёлка! Ґанок X-1");
  EXPECT_EQ(Cp1251LowerCase(mixed), Utf8ToCp1251("привет, ёлка! ґанок x-1"));
  EXPECT_EQ(Cp1251UpperCase(mixed), Utf8ToCp1251("ПРИВЕТ, ЁЛКА! ҐАНОК X-1"));
  struct Row {
    std::string a, b;
    bool same;
  } rows[] = {
      {"Content-Length", "content-length", true},
      {Utf8ToCp1251("ЁЖ"), Utf8ToCp1251("ёж"), true},
      {Utf8ToCp1251("Е"), Utf8ToCp1251("Ё"), false},
      {"abc", "abcd", false},
      {"", "", true},
      {std::string("a\0b", 3), std::string("A\0B", 3), true},
      {"[", "{", false},  // 0x5B and 0x7B differ by 32 but are not letters
  };
  for (const Row& r : rows) EXPECT_EQ(Cp1251SameText(r.a, r.b), r.same) << r.a << " / " << r.b;
}

TEST(Codec, WildcardTable) {
  struct Row {
    std::string pattern, name;
    bool match;
  } rows[] = {
      {"*", "", true},
      {"*", "anything.at.all", true},
      {"", "", true},
      {"", "a", false},
      {"?", "", false},
      {"?", "x", true},
      {"a?c", "abc", true},
      {"a?c", "ac", false},
      {"a*c", "abbbc", true},
      {"a*c", "abcb", false},
      {"*.html", "INDEX.HTML", true},
      {"index.*", "index.", true},
      {"index.*", "index", false},
      {"*.txt", "a.txt.bak", false},
      {"*a*b", "xaxbxb", true},
      {"a*b*c", "abcabc", true},
      {"**a", "a", true},
      {"*?", "", false},
      {".*", ".", true},
      {Utf8ToCp1251("при*"), Utf8ToCp1251("ПРИВЕТ.txt"), true},
      {Utf8ToCp1251("ёж?"), Utf8ToCp1251("ЁЖИ"), true},
      {Utf8ToCp1251("е*"), Utf8ToCp1251("ёж"), false},
  };
  for (const Row& r : rows)
    EXPECT_EQ(Cp1251WildcardMatch(r.pattern, r.name), r.match)
        << "'" << r.pattern << "' vs '" << r.name << "'";
}

TEST(Codec, WildcardStaysFastOnManyStars) {
  std::string pattern;
  for (int i = 0; i < 30; ++i) pattern += "*a";
  pattern += "*b";
  std::string name(20000, 'a');
  auto start = std::chrono::steady_clock::now();
  EXPECT_FALSE(Cp1251WildcardMatch(pattern, name));
  EXPECT_TRUE(Cp1251WildcardMatch(pattern, name + "b"));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
}

}  // namespace
