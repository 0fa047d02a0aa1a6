// Which mapped files run as CGI programs, and through which program.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "content/Cgi.h"
#include "core/ServerCore.h"

namespace {

TEST(IsCgiProgram, Table) {
  const struct {
    const char* Name;
    std::string LocalPath;
    std::vector<std::string> Assoc;
    bool Runs;
    std::string ExeApp;
    int IsExe;
  } cases[] = {
      {"listed after comma and blank",
       "/w/test.pl",
       {"cgi, pl:/usr/bin/perl"},
       true,
       "/usr/bin/perl",
       0},
      {"upper-case file name", "/w/TEST.PL", {"cgi, pl:/usr/bin/perl"}, true, "/usr/bin/perl", 0},
      {"first of the line", "/w/a.cgi", {"cgi,pl:perl -w"}, true, "perl -w", 0},
      {"semicolon separated", "/w/a.pl", {"pl;cgi:perl"}, true, "perl", 0},
      {"program keeps colons", "/w/a.py", {"py:/opt/x:y z"}, true, "/opt/x:y z", 0},
      {"prefix of a longer extension", "/w/x.ph", {"php:x.exe"}, false, "", 0},
      {"whole extension", "/w/x.php", {"php:x.exe"}, true, "x.exe", 0},
      {"suffix of a longer extension", "/w/a.pl", {"xpl:perl"}, false, "", 0},
      {"only the first occurrence is tried", "/w/a.pl", {"xpl,pl:perl"}, false, "", 0},
      {"occurrence after the colon", "/w/a.pl", {"cgi:pl"}, false, "", 0},
      {"line without colon", "/w/a.pl", {"pl perl", "pl:perl"}, true, "perl", 0},
      {"empty program skipped", "/w/a.pl", {"pl:", "pl:perl"}, true, "perl", 0},
      {"first match wins", "/w/a.pl", {"pl:one", "pl:two"}, true, "one", 0},
      {"stored upper case never matches", "/w/a.pl", {"PL:perl"}, false, "", 0},
      {"program file", "/w/a.exe", {}, true, "", 1},
      {"program file in capitals", "/w/A.EXE", {"pl:perl"}, true, "", 1},
      {"association for exe first", "/w/a.exe", {"exe:/usr/bin/wine"}, true, "/usr/bin/wine", 0},
      {"no extension", "/w/readme", {"pl:perl"}, false, "", 0},
      {"dot in a folder only", "/w/x.pl/readme", {"pl:perl"}, false, "", 0},
      {"empty extension", "/w/name.", {":perl", "pl:perl"}, false, "", 0},
      {"plain file", "/w/a.txt", {"pl:perl"}, false, "", 0},
      {"Cyrillic extension folded", "/w/a.\xCF\xD1", {"\xEF\xF1:prog"}, true, "prog", 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TServerCore server;
    server.CGIAssoc = c.Assoc;
    mParser p;
    p.LocalPath = c.LocalPath;
    EXPECT_EQ(IsCgiProgram(server, &p), c.Runs);
    EXPECT_EQ(p.ExeApp, c.ExeApp);
    EXPECT_EQ(p.IsExe, c.IsExe);
  }
}

}  // namespace
