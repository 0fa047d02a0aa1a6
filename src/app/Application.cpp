#include "app/Application.h"

#include <cxxabi.h>

#include <QAbstractEventDispatcher>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <typeinfo>

#include "core/ServerCore.h"
#include "log/Log.h"
#include "platform/Time.h"

TServerCore* TApplication::Server = nullptr;

std::string DemangledName(const char* mangled) {
  int status = 0;
  char* name = abi::__cxa_demangle(mangled, nullptr, nullptr, &status);
  std::string result = (status == 0 && name) ? name : mangled;
  std::free(name);
  return result;
}

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
  FlushLogWhenTheLoopWaits();
}

void FlushLogWhenTheLoopWaits() {
  QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::aboutToBlock,
                   [] { FlushLog(); });
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (...) {
    ReportCurrentException(Server, receiver ? typeid(*receiver).name() : typeid(QObject).name());
    return false;
  }
}

void TApplication::ReportCurrentException(TServerCore* server, const char* senderTypeName) {
  std::string type;
  std::string message;
  try {
    throw;
  } catch (const std::exception& e) {
    type = DemangledName(typeid(e).name());
    message = e.what();
  } catch (...) {
    const std::type_info* t = abi::__cxa_current_exception_type();
    type = t ? DemangledName(t->name()) : "unknown";
  }
  std::string record = TimeStampText() +
                       " ERROR: Unhandled exception. Sender==" + DemangledName(senderTypeName) +
                       "\n exception type: " + type + "\n Message: " + message;
  if (server) {
    // Records gathered before the failure go first, and this one is in the file at once.
    FlushLog();
    WriteLog(*server, record);
    FlushLog();
    server->ErrorCount++;
  } else {
    std::fprintf(stderr, "%s\n", record.c_str());
  }
}
