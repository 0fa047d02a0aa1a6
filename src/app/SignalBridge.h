// Turns SIGTERM, SIGINT and SIGHUP into a call on the event loop's thread, where shutting down
// in order is safe (a signal handler may do next to nothing).
#pragma once
#include <QObject>
#include <functional>

class QSocketNotifier;

class TSignalBridge : public QObject {
  Q_OBJECT

 public:
  explicit TSignalBridge(QObject* parent = nullptr);
  ~TSignalBridge() override;

  // Runs on the event loop's thread once per delivered signal, with its number.
  std::function<void(int)> OnSignal;

 private:
  void Drain();
  QSocketNotifier* FNotifier = nullptr;
};
