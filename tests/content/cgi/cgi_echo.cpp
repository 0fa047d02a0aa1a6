// A CGI program for the server tests: reports what it was given, one "KEY=value" line each.
#include <dirent.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

extern char** environ;

int main(int argc, char** argv) {
  std::string out = "Content-Type: text/plain\n\n";
  for (int i = 0; i < argc; ++i) out += "ARG" + std::to_string(i) + "=" + argv[i] + "\n";
  char cwd[4096];
  out += std::string("CWD=") + (getcwd(cwd, sizeof cwd) ? cwd : "?") + "\n";
  for (char** e = environ; *e != nullptr; ++e) out += std::string("ENV ") + *e + "\n";
  // Descriptors open in this process, without the one that reads the listing.
  DIR* d = opendir("/proc/self/fd");
  std::string fds;
  if (d != nullptr) {
    const std::string own = std::to_string(dirfd(d));
    while (dirent* entry = readdir(d)) {
      const std::string name = entry->d_name;
      if (name == "." || name == ".." || name == own) continue;
      fds += (fds.empty() ? "" : ",") + name;
    }
    closedir(d);
  }
  out += "FDS=" + fds + "\n";
  std::string in;
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof buf, stdin)) > 0) in.append(buf, n);
  out += "STDIN=" + in + "\n";
  fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}
