// Helpers shared by the tests: temporary folders, files, and a tiny HTTP client.
#pragma once
#include <string>
#include <utility>
#include <vector>

// A settings hive whose main key holds values (lines of the hive's text form).
inline std::string HiveWith(const std::string& values) {
  return "REGEDIT4\n\n[HKEY_LOCAL_MACHINE\\Software\\Quorvel\\Vyn Brevoxa]\n" + values + "\n";
}
// A hive serving root, with moreValues in its main key, whose "sh" files run with /bin/sh.
inline std::string ShellCgiHive(const std::string& root, const std::string& moreValues = "") {
  return HiveWith("\"RC\"=\"" + root + "\"\n" + moreValues +
                  "\"CGIAssocListLen\"=dword:00000001\n") +
         "[HKEY_LOCAL_MACHINE\\Software\\Quorvel\\Vyn "
         "Brevoxa\\CGIAssoc]\n\"CGI0\"=\"sh:/bin/sh\"\n";
}

// A fresh folder under /tmp, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& Path() const { return FPath; }
  std::string operator/(const std::string& name) const { return FPath + "/" + name; }

 private:
  std::string FPath;
};

void WriteFile(const std::string& path, const std::string& data);
std::string ReadFile(const std::string& path);  // "" when missing

// A blocking loopback client for server tests.
int ConnectLoopback(int port);  // socket fd, -1 on failure
bool SendAll(int fd, const std::string& data);
// Reads until the peer closes or timeoutMs passes without data.
std::string ReadUntilClose(int fd, int timeoutMs = 3000);
// Reads until at least n bytes arrived or timeoutMs passes without data.
std::string ReadAtLeast(int fd, size_t n, int timeoutMs = 3000);

// What a client receives for a text whose head is written with LF, as the program keeps it:
// every line end up to and including the blank line that ends the head becomes CR LF (a CR LF
// already there stays one); what follows the blank line is left alone.
std::string Wire(const std::string& text);

// One answer as a strict HTTP/1.1 client reads it.
struct TStrictAnswer {
  std::string StatusLine;  // without its line end
  int Code = 0;
  std::vector<std::pair<std::string, std::string>> Headers;
  std::string Body;
  std::string Header(const std::string& name) const;  // case-insensitive; "" when absent
};
// Reads every answer off raw as a strict client does: each head line must end in CR LF (a bare
// LF or CR is refused), no line may be folded or lack its ':', a body is exactly Content-Length
// bytes (none after a HEAD or for 304), a second Content-Length is refused, and nothing may be
// left over. methods[i] is the method of the i-th request. "" when all is well, else the fault.
std::string ReadStrictAnswers(const std::string& raw, const std::vector<std::string>& methods,
                              std::vector<TStrictAnswer>& answers);

// Live (not zombie) processes whose process group is pgid; -1 when /proc cannot be read.
int LiveMembersOfProcessGroup(int pgid);
// The same, asked again for up to two seconds until none is left: a kill takes a moment.
int LiveMembersAfterKill(int pgid);
// Descriptors this process has open now (a leak shows as growth).
int OpenDescriptors();
