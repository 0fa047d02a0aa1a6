// Helpers shared by the tests: temporary folders, files, and a tiny HTTP client.
#pragma once
#include <string>

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

// Live (not zombie) processes whose process group is pgid; -1 when /proc cannot be read.
int LiveMembersOfProcessGroup(int pgid);
