// The whole server in-process on an ephemeral loopback port, with its own program folder and
// document root; tests pump its events on their own thread.
#pragma once
#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <string>
#include <thread>

#include "core/ServerCore.h"
#include "support/TestSupport.h"

class ServerFixture : public ::testing::Test {
 protected:
  TempDir Program;
  TempDir Docs;
  TServerCore Server;
  std::string OldDir;

  void SetUp() override {
    char buf[4096];
    OldDir = getcwd(buf, sizeof buf) ? buf : ".";
    Server.OpenServerSocket(0);
    Server.StartUp(Program.Path());
    Server.RC = Docs.Path();
  }
  void TearDown() override {
    Server.ShutDown();
    Server.ServerSocket1.reset();
    (void)chdir(OldDir.c_str());
  }

  std::string Log() { return ReadFile(Program / "brevoxa.log"); }

  // Serves on this thread while the client runs on its own.
  void Serve(const std::function<void()>& client) {
    std::atomic<bool> done{false};
    std::thread t([&] {
      client();
      done = true;
    });
    const auto limit = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (!done && std::chrono::steady_clock::now() < limit)
      Server.ServerSocket1->ProcessEvents(10);
    t.join();
    ASSERT_TRUE(done) << "client did not finish";
  }
};
