// The whole server in-process with a CGI folder, real programs and a loopback client.
#pragma once
#include <dirent.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "support/ServerFixture.h"
#include "support/TestSupport.h"

class CgiServerFixture : public ServerFixture {
 protected:
  std::string CgiDir;

  void SetUp() override {
    ServerFixture::SetUp();
    Server.ECGI = true;
    Server.CGID = "/cgi-bin/";
    Server.CGIAssoc = {"sh:/bin/sh", "py:/usr/bin/python3"};
    Server.AEASC = true;
    Server.DNICGI = false;
    Server.LD = true;
    CgiDir = Docs / "cgi-bin";
    ASSERT_EQ(mkdir(CgiDir.c_str(), 0700), 0);
  }

  void TearDown() override {
    // Whatever a run did, none of its temporary files may stay in the program folder.
    EXPECT_EQ(TempFilesLeft(), std::vector<std::string>{});
    ServerFixture::TearDown();
  }

  std::vector<std::string> TempFilesLeft() {
    std::vector<std::string> left;
    if (DIR* d = opendir(Program.Path().c_str())) {
      while (dirent* e = readdir(d)) {
        const std::string name = e->d_name;
        if (name.size() > 4 && name.compare(name.size() - 4, 4, ".tmp") == 0) left.push_back(name);
      }
      closedir(d);
    }
    return left;
  }

  void InstallScript(const std::string& name) {
    WriteFile(CgiDir + "/" + name, ReadFile(std::string(TEST_SOURCE_DIR) + "/content/cgi/" + name));
  }
  void InstallEcho() {
    WriteFile(CgiDir + "/echo.exe", ReadFile(std::string(TEST_HELPER_DIR) + "/echo.exe"));
    ASSERT_EQ(chmod((CgiDir + "/echo.exe").c_str(), 0700), 0);
  }

  // Sends raw on a new connection and serves until the server closes it; the client starts
  // reading readDelayMs after sending.
  std::string Exchange(const std::string& raw, int clientTimeoutMs = 30000, int readDelayMs = 0) {
    const int port = Server.ServerSocket1->Port();
    auto reply = std::async(std::launch::async, [port, raw, clientTimeoutMs, readDelayMs] {
      const int fd = ConnectLoopback(port);
      if (fd < 0) return std::string("connect failed");
      SendAll(fd, raw);
      std::this_thread::sleep_for(std::chrono::milliseconds(readDelayMs));
      std::string got = ReadUntilClose(fd, clientTimeoutMs);
      close(fd);
      return got;
    });
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(90);
    while (reply.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready &&
           std::chrono::steady_clock::now() < limit)
      Server.ServerSocket1->ProcessEvents(10);
    // Let the server see the close before the next exchange.
    for (int i = 0; i < 5; ++i) Server.ServerSocket1->ProcessEvents(5);
    return reply.get();
  }
  std::string Get(const std::string& target, const std::string& method = "GET",
                  const std::string& headers = "") {
    return Exchange(method + " " + target + " HTTP/1.1\nHost: test\nConnection: close\n" + headers +
                    "\n");
  }
};

// One response as the client saw it: the status line, the server's Content-Length, and the
// last Content-Length bytes.
struct TCgiReply {
  std::string StatusLine;
  long ContentLength = -1;
  std::string Body;
  std::string Raw;
};

inline TCgiReply ParseReply(const std::string& raw) {
  TCgiReply r;
  r.Raw = raw;
  r.StatusLine = raw.substr(0, raw.find("\r\n"));
  const size_t cl = raw.find("\nContent-Length: ");
  if (cl != std::string::npos) {
    r.ContentLength = std::strtol(raw.c_str() + cl + 17, nullptr, 10);
    if (r.ContentLength >= 0 && static_cast<size_t>(r.ContentLength) <= raw.size())
      r.Body = raw.substr(raw.size() - static_cast<size_t>(r.ContentLength));
  }
  return r;
}

// The value of a "KEY=value" line of the test programs' reports; "<absent>" when missing.
inline std::string Field(const std::string& body, const std::string& key) {
  const std::string needle = "\n" + key + "=";
  const std::string text = "\n" + body;
  const size_t at = text.find(needle);
  if (at == std::string::npos) return "<absent>";
  const size_t start = at + needle.size();
  return text.substr(start, text.find('\n', start) - start);
}
