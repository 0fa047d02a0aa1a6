// The whole server in-process on an ephemeral loopback port, with its own program folder and
// document root; tests pump its events on their own thread.
#pragma once
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "app/ServerCore.h"
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
};
