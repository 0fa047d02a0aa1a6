// Request assembly: the byte scanner that splits a connection's input into head and body,
// and hands every complete request to the parser and the dispatcher.
#include "http/Request.h"

#include "http/Dispatch.h"
#include "http/Parse.h"
#include "log/Log.h"
#include "platform/Time.h"
#include "server/ServerState.h"

namespace {

void WriteRequestRecords(TServerState& Server, mParser* p) {
  const std::string addrPort = p->RemoteAddr + ":" + p->RemotePort;
  if (Server.LF)
    WriteLog(Server,
             addrPort + " on " + TimeStampText() + " with " + p->Method + " requested " + p->URI);
  if (Server.LD) WriteLog(Server, "Local path: " + p->LocalPath);
  if (Server.LH) {
    WriteLog(Server, addrPort + " Request headers:");
    WriteLog(Server, p->HeaderText);
  }
}

// Swapping with an empty object gives the memory back; clear() would keep the capacity, and an
// idle keep-alive connection should hold no request buffers.
template <typename T>
void Release(T& value) {
  T().swap(value);
}

}  // namespace

void ConsumeInput(TServerState& Server, mParser* p, const char* bytes, int count) {
  int i = 0;
  bool lf = p->LastWasLF;
  bool notCGI = !p->IsCGI;
  while (i < count && !p->CloseConnection) {
    const bool inBody = p->HeadersComplete;
    const char c = bytes[i];
    if (c != '\r') {
      const bool prev = lf;
      lf = (c == '\n');
      if (!inBody) {
        p->HeaderText += c;
        p->HeadersComplete = prev && lf;
        p->HeaderLength++;
        bool overloaded = false;
        if (p->HeaderLength >= kMaxHeadBytes) {
          overloaded = true;
          p->HeadersComplete = true;
          p->RequestComplete = true;
          p->StatusCode = 413;
          p->CloseConnection = true;
          i = count;
          WriteLog(Server, p->RemoteAddr + ":" + p->RemotePort +
                               " overloaded HTTP headers, possibly an attack");
        }
        if (p->HeadersComplete) {
          ParseRequest(Server, p);
          notCGI = !p->IsCGI;
          if (overloaded) {
            // Whatever the parser made of a truncated head, the answer is the size refusal.
            p->StatusCode = 413;
            p->CloseConnection = true;
          } else if (p->CloseConnection) {
            // The parser refused the head and no body byte will be scanned any more: answer
            // the refusal now instead of closing without a word.
            p->RequestComplete = true;
          }
        }
      }
    }
    if (p->HeadersComplete && p->BodyLength == p->ContentLength) p->RequestComplete = true;
    if (inBody && !p->RequestComplete) {
      p->Body += c;
      p->BodyLength++;
      if (notCGI && p->BodyLength > kMaxPlainBody) {
        p->BodyLength = p->ContentLength;
        i = count;
      }
      if (p->BodyLength == p->ContentLength) p->RequestComplete = true;
    }
    if (p->RequestComplete) {
      WriteRequestRecords(Server, p);
      const bool watched = Server.CurrentReadRecord == p;
      DispatchRequest(Server, p);
      // A failed write inside the dispatcher raises the error and disconnect events, which
      // delete the record: stop without touching it.
      if (watched && Server.CurrentReadRecord != p) return;
      ResetRequest(Server, p);
      notCGI = true;
      if (!p->CloseConnection && p->Socket && p->Socket->OutputFull()) {
        // Back-pressure: nothing more is dispatched until the answers drain; the rest of the
        // block waits in the record, its line-end state with it.
        if (i + 1 < count) p->Unscanned.assign(bytes + i + 1, static_cast<size_t>(count - i - 1));
        p->LastWasLF = lf;
        return;
      }
    }
    i++;
  }
  p->LastWasLF = lf;
}

bool ResumeInput(TServerState& Server, mParser* p) {
  if (p->Unscanned.empty() || p->Socket->OutputFull()) return true;
  std::string held;
  held.swap(p->Unscanned);
  const bool watched = Server.CurrentReadRecord == p;
  ConsumeInput(Server, p, held.data(), static_cast<int>(held.size()));
  return !watched || Server.CurrentReadRecord == p;
}

TClientWait ClientWaitOf(const mParser* p) {
  if (p->HeadersComplete && !p->RequestComplete) return cwRestOfBody;
  if (p->HeaderLength > 0) return cwRestOfHead;
  return cwNextRequest;
}

void ResetRequest(TServerState& Server, mParser* p) {
  Release(p->HeaderText);
  Release(p->Body);
  p->LastWasLF = false;
  p->RequestComplete = false;
  p->HeadersComplete = false;
  p->IsCGI = false;
  p->InCGIDir = false;
  p->HeaderLength = 0;
  p->BodyLength = 0;
  p->ContentLength = 0;
  p->FirstHeaderEntry = 0;
  p->StatusCode = 0;
  p->IsExe = 0;
  Release(p->Method);
  Release(p->URI);
  Release(p->Protocol);
  Release(p->LastModified);
  Release(p->LocalPath);
  Release(p->QueryString);
  Release(p->ExeApp);
  Release(p->Variables);
  Server.RequestCount++;
}
