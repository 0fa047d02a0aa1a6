#include "support/TestSupport.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

TempDir::TempDir() {
  char tmpl[] = "/tmp/brevoxa-test-XXXXXX";
  char* p = mkdtemp(tmpl);
  FPath = p ? p : "/tmp";
}

TempDir::~TempDir() {
  std::error_code ec;
  if (FPath != "/tmp") std::filesystem::remove_all(FPath, ec);
}

void WriteFile(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

int ConnectLoopback(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_port = htons(static_cast<uint16_t>(port));
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

bool SendAll(int fd, const std::string& data) {
  size_t done = 0;
  while (done < data.size()) {
    ssize_t n = send(fd, data.data() + done, data.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

static std::string ReadSome(int fd, size_t want, int timeoutMs) {
  std::string out;
  char buf[65536];
  while (out.size() < want) {
    pollfd pfd{fd, POLLIN, 0};
    if (poll(&pfd, 1, timeoutMs) <= 0) break;
    ssize_t n = recv(fd, buf, sizeof buf, 0);
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

std::string ReadUntilClose(int fd, int timeoutMs) { return ReadSome(fd, SIZE_MAX, timeoutMs); }

std::string ReadAtLeast(int fd, size_t n, int timeoutMs) { return ReadSome(fd, n, timeoutMs); }

std::string Wire(const std::string& text) {
  std::string out;
  size_t i = 0;
  size_t lineStart = 0;
  for (; i < text.size(); ++i) {
    const char c = text[i];
    if (c != '\n') {
      out += c;
      continue;
    }
    if (out.empty() || out.back() != '\r') out += '\r';
    out += '\n';
    const bool blank = i == lineStart || (i == lineStart + 1 && text[lineStart] == '\r');
    lineStart = i + 1;
    if (blank) break;
  }
  if (i < text.size()) out.append(text, i + 1, std::string::npos);
  return out;
}

std::string TStrictAnswer::Header(const std::string& name) const {
  auto lower = [](std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
  };
  for (const auto& [n, v] : Headers)
    if (lower(n) == lower(name)) return v;
  return "";
}

std::string ReadStrictAnswers(const std::string& raw, const std::vector<std::string>& methods,
                              std::vector<TStrictAnswer>& answers) {
  answers.clear();
  size_t pos = 0;
  // One head line: up to CR LF, with no other CR or LF in it.
  auto line = [&](std::string& text) -> std::string {
    const size_t lf = raw.find('\n', pos);
    if (lf == std::string::npos) return "head cut short";
    if (lf == pos || raw[lf - 1] != '\r') return "bare LF at byte " + std::to_string(lf);
    text = raw.substr(pos, lf - 1 - pos);
    if (text.find('\r') != std::string::npos) return "bare CR in line: " + text;
    pos = lf + 1;
    return "";
  };
  for (size_t n = 0; pos < raw.size(); ++n) {
    if (n >= methods.size()) return "more answers than requests at byte " + std::to_string(pos);
    TStrictAnswer a;
    if (std::string fault = line(a.StatusLine); !fault.empty()) return fault;
    if (a.StatusLine.size() < 12 || a.StatusLine.compare(0, 7, "HTTP/1.") != 0 ||
        a.StatusLine[8] != ' ' || a.StatusLine[12] != ' ')
      return "bad status line: " + a.StatusLine;
    a.Code = std::atoi(a.StatusLine.substr(9, 3).c_str());
    long length = -1;
    for (;;) {
      std::string text;
      if (std::string fault = line(text); !fault.empty()) return fault;
      if (text.empty()) break;
      const size_t colon = text.find(':');
      if (text[0] == ' ' || text[0] == '\t' || colon == std::string::npos || colon == 0)
        return "bad header line: " + text;
      std::string value = text.substr(colon + 1);
      while (!value.empty() && (value.front() == ' ' || value.front() == '\t')) value.erase(0, 1);
      a.Headers.emplace_back(text.substr(0, colon), value);
      std::string name = text.substr(0, colon);
      for (char& c : name) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
      if (name == "content-length") {
        if (length >= 0) return "second Content-Length";
        char* end = nullptr;
        length = std::strtol(value.c_str(), &end, 10);
        if (value.empty() || *end != '\0' || length < 0) return "bad Content-Length: " + value;
      }
    }
    if (methods[n] != "HEAD" && a.Code != 304) {
      if (length < 0) return "no Content-Length in answer " + std::to_string(n);
      if (raw.size() - pos < static_cast<size_t>(length)) return "body cut short";
      a.Body = raw.substr(pos, static_cast<size_t>(length));
      pos += static_cast<size_t>(length);
    }
    answers.push_back(std::move(a));
  }
  if (answers.size() != methods.size())
    return "only " + std::to_string(answers.size()) + " answers";
  return "";
}

int LiveMembersOfProcessGroup(int pgid) {
  int live = 0;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) return -1;
  while (dirent* e = readdir(proc)) {
    const std::string stat = ReadFile(std::string("/proc/") + e->d_name + "/stat");
    const size_t paren = stat.rfind(')');
    if (paren == std::string::npos) continue;
    char state = 0;
    int ppid = 0, pgrp = 0;
    if (std::sscanf(stat.c_str() + paren + 1, " %c %d %d", &state, &ppid, &pgrp) == 3 &&
        pgrp == pgid && state != 'Z')
      ++live;
  }
  closedir(proc);
  return live;
}

int LiveMembersAfterKill(int pgid) {
  int live = -1;
  for (int i = 0; i < 100 && live != 0; ++i) {
    live = LiveMembersOfProcessGroup(pgid);
    if (live != 0) std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return live;
}

int OpenDescriptors() {
  int n = 0;
  if (DIR* d = opendir("/proc/self/fd")) {
    while (readdir(d)) ++n;
    closedir(d);
  }
  return n;
}
