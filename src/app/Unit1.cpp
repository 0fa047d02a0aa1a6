// The main window as the server: its life is the server's life; sockets reach it through one
// notifier on the transport's epoll descriptor.
#include "app/Unit1.h"

#include <QApplication>
#include <QCloseEvent>
#include <QLabel>
#include <QSocketNotifier>
#include <QTimer>
#include <chrono>
#include <typeinfo>

#include "app/Application.h"
#include "app/ProgramWindows.h"
#include "log/Log.h"
#include "platform/Codec.h"

TForm1* Form1 = nullptr;
TOptionsForm* OptionsForm = nullptr;
TAboutBox* AboutBox = nullptr;

namespace {
constexpr int kStatisticsIntervalMs = 5000;
// Once the window's loop has woken for the sockets, turns that find more events ready go on
// without going back to it: under load that spares its wait (and ours) per turn. Bounded, so
// the window, its timers and the tray still get their turn within a few milliseconds.
constexpr int kSocketTurnsPerWakeUp = 4;
constexpr auto kSocketTurnsTime = std::chrono::milliseconds(5);
}  // namespace

TForm1::TForm1(int port, const std::string& programFolder, QWidget* parent) : QWidget(parent) {
  // A busy port ends start-up here, before anything is loaded or logged.
  OpenServerSocket(port);
  CreateComponents();
  FSocketNotifier = new QSocketNotifier(ServerSocket1->EpollFd(), QSocketNotifier::Read, this);
  connect(FSocketNotifier, &QSocketNotifier::activated, this, [this] {
    try {
      // The turns' log records go out once, when the last turn ends, and even if one throws,
      // before the exception's own record. A wake-up inside a handler's modal loop writes at its
      // end too, before that loop waits.
      struct TBurst {
        TForm1& Form;
        bool Was;
        explicit TBurst(TForm1& form) : Form(form), Was(form.SocketBurst) {
          Form.SocketBurst = true;
        }
        ~TBurst() {
          Form.SocketBurst = Was;
          EndLogTurn();
        }
      } burst(*this);
      const auto until = std::chrono::steady_clock::now() + kSocketTurnsTime;
      for (int turn = 0; turn < kSocketTurnsPerWakeUp && ServerSocket1; ++turn) {
        if (ServerSocket1->ProcessEvents(0) == 0 || std::chrono::steady_clock::now() >= until)
          break;
      }
    } catch (...) {
      TApplication::ReportCurrentException(this, typeid(*ServerSocket1).name());
    }
  });
  StartUp(programFolder);
  TApplication::Server = this;
  if (!Timer1) {
    Timer1 = new QTimer(this);
  }
  Timer1->setInterval(kStatisticsIntervalMs);
  connect(Timer1, &QTimer::timeout, this, [this] { Timer1Timer(); });
  Timer1->start();
}

TForm1::~TForm1() {
  if (TApplication::Server == this) TApplication::Server = nullptr;
  if (Timer1) Timer1->stop();
  ShutDown();
  delete FSocketNotifier;
  FSocketNotifier = nullptr;
  // Closes the listener and every connection still open, without any event.
  ServerSocket1.reset();
}

void TForm1::Timer1Timer() {
  if (!SRS) return;
  if (StatLabel1) StatLabel1->setText(QString::fromStdString(Cp1251ToUtf8(StatisticsText1(*this))));
  if (StatLabel2) StatLabel2->setText(QString::fromStdString(Cp1251ToUtf8(StatisticsText2(*this))));
}

void TForm1::closeEvent(QCloseEvent* event) {
  // The close box ends the program; hiding to the tray is what "Hide" and minimising are for.
  event->accept();
  QCoreApplication::quit();
}
