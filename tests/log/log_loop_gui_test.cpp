// The log's gathered records and the window side's loop: the exception record and a loop that
// waits inside a turn.
#include <gtest/gtest.h>

#include <QEventLoop>
#include <QTimer>
#include <stdexcept>

#include "app/Application.h"
#include "core/ServerCore.h"
#include "log/Log.h"
#include "support/TestSupport.h"

namespace {

TEST(LogWithTheLoop, TheExceptionRecordFollowsWhatATurnGatheredAndIsWrittenAtOnce) {
  TempDir dir;
  TServerCore server;
  server.LogFileName = dir / "brevoxa.log";
  BeginLogTurn();
  WriteLog(server, "gathered");
  try {
    throw std::runtime_error("in a handler");
  } catch (...) {
    TApplication::ReportCurrentException(&server, typeid(server).name());
  }
  const std::string log = ReadFile(server.LogFileName);
  EndLogTurn();
  EXPECT_EQ(log.rfind("gathered\n", 0), 0u) << log;
  EXPECT_NE(log.find(" ERROR: Unhandled exception. Sender==TServerCore\n exception type: "
                     "std::runtime_error\n Message: in a handler\n"),
            std::string::npos)
      << log;
}

// A modal box opened by a handler: its loop waits before any turn of its own ends.
TEST(LogWithTheLoop, ALoopInsideATurnWaitsOnlyOnceWhatWasGatheredIsWritten) {
  FlushLogWhenTheLoopWaits();
  TempDir dir;
  TServerCore server;
  server.LogFileName = dir / "brevoxa.log";
  BeginLogTurn();
  WriteLog(server, "before the box");
  QEventLoop box;
  std::string seen;
  QTimer::singleShot(0, &box, [&] {
    seen = ReadFile(server.LogFileName);
    box.quit();
  });
  box.exec();
  EndLogTurn();
  EXPECT_EQ(seen, "before the box\n");
}

}  // namespace
