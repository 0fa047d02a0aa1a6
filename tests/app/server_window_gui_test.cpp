// The main window as the server: sockets served through the Qt loop, the statistics timer,
// the unhandled-exception record, and the session records of its life.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QLabel>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <stdexcept>
#include <thread>

#include "app/Application.h"
#include "app/Unit1.h"
#include "support/TestSupport.h"

namespace {

TEST(ServerWindow, ServesThroughTheEventLoopAndLogsItsLife) {
  TempDir dir;
  WriteFile(dir / "page.txt", "through the loop");
  {
    TForm1 form(0, dir.Path());
    form.RC = dir.Path();
    ASSERT_NE(form.Timer1, nullptr);
    EXPECT_TRUE(form.Timer1->isActive());
    EXPECT_EQ(form.Timer1->interval(), 5000);

    std::atomic<bool> done{false};
    std::string answer;
    std::thread client([&] {
      int fd = ConnectLoopback(form.ServerSocket1->Port());
      SendAll(fd, "GET /page.txt HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n");
      answer = ReadUntilClose(fd);
      close(fd);
      done = true;
    });
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(5);
    while (!done && std::chrono::steady_clock::now() < end)
      QCoreApplication::processEvents(QEventLoop::AllEvents, 20);
    client.join();
    EXPECT_NE(answer.find("through the loop"), std::string::npos) << answer;
    QCoreApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_EQ(form.RequestCount, 1);
  }
  const std::string log = ReadFile(dir / "brevoxa.log");
  EXPECT_EQ(log.rfind("Brevoxa SESSION STARTED at ", 0), 0u);
  EXPECT_NE(log.find("connects: 1; requests: 1; errors: 0;"), std::string::npos) << log;
}

TEST(ServerWindow, StatisticsFollowSRSAndTheLanguage) {
  TempDir dir;
  TForm1 form(0, dir.Path());
  form.ConnectCount = 4;
  form.RequestCount = 9;
  form.ErrorCount = 2;
  form.BannedCount = 1;
  struct Row {
    int L;
    bool SRS;
    const char* label1;
    const char* label2;
  } rows[] = {
      {1, false, "--", "--"},
      {2, true, "TOTAL: connects - 4; requests - 9; errors - 2",
       "active connections - 0\nconnect attempts from banned IPs - 1"},
      {0, true, "ВСЕГО: соед. - 4; запросов - 9; ошибок - 2",
       "активных соединений - 0\nпопыток соединения с блокированных IP - 1"},
  };
  for (auto& row : rows) {
    SCOPED_TRACE(row.L);
    form.L = row.L;
    form.SRS = row.SRS;
    form.StatLabel1->setText("--");
    form.StatLabel2->setText("--");
    form.Timer1Timer();
    EXPECT_EQ(form.StatLabel1->text().toStdString(), row.label1);
    EXPECT_EQ(form.StatLabel2->text().toStdString(), row.label2);
  }
}

TEST(ServerWindow, UnhandledExceptionIsLoggedAndCounted) {
  TempDir dir;
  TForm1 form(0, dir.Path());
  const size_t before = ReadFile(dir / "brevoxa.log").size();
  try {
    throw std::out_of_range("index 7");
  } catch (...) {
    TApplication::ReportCurrentException(&form, typeid(*form.ServerSocket1).name());
  }
  EXPECT_EQ(form.ErrorCount, 1);
  const std::string added = ReadFile(dir / "brevoxa.log").substr(before);
  EXPECT_NE(added.find(" ERROR: Unhandled exception. Sender==TServerSocket\n exception type: "
                       "std::out_of_range\n Message: index 7\n"),
            std::string::npos)
      << added;
}

}  // namespace
