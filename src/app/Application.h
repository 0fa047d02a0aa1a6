// The application object: an exception that reaches the event loop is logged and counted, and
// the program goes on.
#pragma once
#include <QApplication>
#include <string>

class TServerCore;

class TApplication : public QApplication {
  Q_OBJECT

 public:
  TApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;

  // Call inside a catch block: writes the unhandled-exception record for the exception being
  // handled, naming senderClass (demangled here), and counts it. Without a server, standard
  // error gets the text.
  static void ReportCurrentException(TServerCore* server, const char* senderTypeName);
  // The server whose log takes these records; null until it exists.
  static TServerCore* Server;
};

// From now on the log writes what it gathered whenever the event loop is about to wait: a modal
// box opened inside a turn of the server's loop waits in a loop of its own.
void FlushLogWhenTheLoopWaits();

// Readable class name from a type_info name.
std::string DemangledName(const char* mangled);
