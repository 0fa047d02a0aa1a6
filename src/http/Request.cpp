// The request path, top to bottom: a read event takes the connection's bytes, the scanner frames
// them into head and body, every complete request goes to the parser and the dispatcher, and the
// record is reset for the next one on the same connection.
#include "http/Request.h"

#include <algorithm>
#include <vector>

#include "http/Dispatch.h"
#include "http/Parse.h"
#include "log/Log.h"
#include "platform/Files.h"
#include "platform/TempFiles.h"
#include "platform/Time.h"
#include "server/ServerState.h"

namespace {

void WriteRequestRecords(TServerState& Server, mParser* p) {
  if (Server.LF)
    WriteLog(Server, AddrPort(p) + " on " + TimeStampText() + " with " + p->Method + " requested " +
                         p->URI);
  if (Server.LD) WriteLog(Server, "Local path: " + p->LocalPath);
  if (Server.LH) {
    WriteLog(Server, AddrPort(p) + " Request headers:");
    WriteLog(Server, p->HeaderText);
  }
}

// Keeps a run of body bytes: in memory while the body is small and the server-wide total allows;
// otherwise a program's body goes on in an unnamed file. A body that cannot be kept whole is
// marked, and its program is never run on a part of it.
void HoldBody(TServerState& Server, mParser* p, const char* bytes, size_t count) {
  if (p->BodySpillFailed) return;
  if (!p->BodyFile.Valid() && p->IsCGI &&
      (p->Body.size() + count > kBodyKeptInMemory ||
       HeldBodyBytes() + static_cast<int64_t>(count) > Server.MaxHeldBodyBytes)) {
    p->BodyFile.Reset(CreateUnnamedTempFile(Server.ProgramDir));
    p->BodySpillFailed =
        !p->BodyFile.Valid() || !WriteAllBytes(p->BodyFile.Get(), p->Body.data(), p->Body.size());
    std::string().swap(p->Body);
    p->BodyHeld.Set(0);
    if (p->BodySpillFailed) {
      p->BodyFile.Reset();
      return;
    }
  }
  if (p->BodyFile.Valid()) {
    if (!WriteAllBytes(p->BodyFile.Get(), bytes, count)) {
      p->BodySpillFailed = true;
      p->BodyFile.Reset();
    }
    return;
  }
  p->Body.append(bytes, count);
  p->BodyHeld.Set(static_cast<int64_t>(p->Body.size()));
}

void RecordShortage(TServerState& Server) {
  Server.ErrorCount++;
  WriteLog(Server, "ERROR: cannot realloc in mParserList::Add");
}

}  // namespace

std::string AddrPort(const mParser* p) { return p->RemoteAddr + ":" + p->RemotePort; }

mParser* AddRecord(TServerState& Server, TCustomWinSocket* Socket) {
  mParser* p = Server.Parsers->Add(Socket);
  if (!p) RecordShortage(Server);
  return p;
}

bool AddRecord(TServerState& Server, TCustomWinSocket* Socket, const std::string& RemoteAddr,
               const std::string& RemotePort) {
  const bool added = Server.Parsers->Add(Socket, RemoteAddr, RemotePort);
  if (!added) RecordShortage(Server);
  return added;
}

void ReadRequests(TServerState& Server, TCustomWinSocket* Socket) {
  mParser* p = Server.Parsers->Find(Socket);
  int n = Socket->AvailableBytes();
  if (!p) {
    p = AddRecord(Server, Socket);
    WriteLog(Server, std::string(n > 0 ? "DEBUG: p==NULL len>0 at " : "DEBUG: p==NULL len==0 at ") +
                         TimeStampText());
    if (!p) {
      Socket->Close();
      return;
    }
  }
  if (p->WaitsForProgram) return;  // taken up when its program's answer is out
  if (n <= 0 && p->Unscanned.empty()) {
    Server.Parsers->Release(Socket);
    return;
  }

  // A failed read or write inside this event can raise the error and disconnect events, which
  // remove the record; from then on neither the record nor the connection may be touched.
  auto stillOurs = [&] { return Server.Parsers && !p->Dead; };
  const int32_t requestsBefore = Server.RequestCount;
  bool alive = ResumeInput(Server, p) && stillOurs();
  bool gotBytes = false;
  // While answers wait to drain, the client's further bytes stay where they are, unless the
  // connection is closing anyway and they are only dropped.
  auto mayRead = [&] {
    return !p->WaitsForProgram &&
           (p->CloseConnection || (p->Unscanned.empty() && !Socket->OutputFull()));
  };
  // A usual request fits the stack buffer; a larger block gets its own.
  char small[4096];
  std::vector<char> large;
  while (alive && n > 0 && mayRead()) {
    if (n > 65535) n = 61440;
    char* buffer = small;
    if (n > static_cast<int>(sizeof small)) {
      large.resize(static_cast<size_t>(n));
      buffer = large.data();
    }
    int m = Socket->ReadBytes(buffer, n);
    if (!stillOurs()) {
      alive = false;
      break;
    }
    if (m > 0) {
      gotBytes = true;
      ConsumeInput(Server, p, buffer, m);
    }
    if (!stillOurs()) {
      alive = false;
      break;
    }
    if (m <= 0) break;
    n = Socket->AvailableBytes();
  }
  if (!alive || p->WaitsForProgram) return;
  if (p->CloseConnection) {
    Socket->Close();
  } else {
    const TClientWait wait = ClientWaitOf(p);
    Socket->WaitingFor(wait,
                       Server.RequestCount != requestsBefore || (wait == cwRestOfBody && gotBytes));
    // Between requests the connection keeps no request-time state.
    Server.Parsers->Release(Socket);
  }
}

void ConsumeInput(TServerState& Server, mParser* p, const char* bytes, int count) {
  int i = 0;
  bool lf = p->LastWasLF;
  bool notCGI = !p->IsCGI;
  while (i < count && !p->CloseConnection) {
    if (p->HeadersComplete && !p->RequestComplete && p->BodyLength < p->ContentLength) {
      // Body bytes are taken as a run, as many as the body still lacks (one past the limit of a
      // body no program reads); the line-end state follows its last byte that is not a CR.
      int run = std::min(count - i, p->ContentLength - p->BodyLength);
      if (notCGI) run = std::min(run, kMaxPlainBody + 1 - p->BodyLength);
      for (int k = i + run - 1; k >= i; --k) {
        if (bytes[k] != '\r') {
          lf = bytes[k] == '\n';
          break;
        }
      }
      HoldBody(Server, p, bytes + i, static_cast<size_t>(run));
      p->BodyLength += run;
      i += run - 1;
      if (notCGI && p->BodyLength > kMaxPlainBody) {
        p->BodyLength = p->ContentLength;
        i = count;
      }
      if (p->BodyLength == p->ContentLength) p->RequestComplete = true;
    } else {
      if (!p->HeadersComplete && p->HeaderLength < kMaxHeadBytes - 1) {
        // A run of bytes that are neither CR nor LF can neither end the head nor reach its
        // limit: it is taken whole, and only the byte after it goes through the rules below.
        const int end = std::min(count, i + (kMaxHeadBytes - 1 - p->HeaderLength));
        int k = i;
        while (k < end && bytes[k] != '\r' && bytes[k] != '\n') ++k;
        if (k > i) {
          p->HeaderText.append(bytes + i, static_cast<size_t>(k - i));
          p->HeaderLength += k - i;
          lf = false;
          i = k;
          if (i == count) break;
        }
      }
      const char c = bytes[i];
      if (c != '\r' && !p->HeadersComplete) {
        const bool prev = lf;
        lf = (c == '\n');
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
          WriteLog(Server, AddrPort(p) + " overloaded HTTP headers, possibly an attack");
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
      } else if (c != '\r') {
        lf = (c == '\n');  // a byte past a complete body: the line-end state still follows it
      }
      if (p->HeadersComplete && p->BodyLength == p->ContentLength) p->RequestComplete = true;
    }
    if (p->RequestComplete) {
      WriteRequestRecords(Server, p);
      DispatchRequest(Server, p);
      // A failed write inside the dispatcher raises the error and disconnect events, which
      // remove the record: stop without touching it further.
      if (p->Dead || !Server.Parsers) return;
      if (p->WaitsForProgram) {
        // The rest of the block waits for the program's answer, its line-end state with it.
        p->Unscanned.assign(bytes + i + 1, static_cast<size_t>(count - i - 1));
        p->LastWasLF = lf;
        return;
      }
      ResetRequest(Server, p);
      notCGI = true;
      // Asked only when bytes of the block remain: a yes owes this connection a read event.
      if (!p->CloseConnection && i + 1 < count && p->Socket && p->Socket->OutputFull()) {
        // Back-pressure: nothing more is dispatched until the answers drain; the rest of the
        // block waits in the record, its line-end state with it.
        p->Unscanned.assign(bytes + i + 1, static_cast<size_t>(count - i - 1));
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
  ConsumeInput(Server, p, held.data(), static_cast<int>(held.size()));
  return !p->Dead && Server.Parsers;
}

void ProgramAnswered(TServerState& Server, mParser* p) {
  // A failed write of the answer may have taken the connection with it.
  if (p->Dead || !Server.Parsers) return;
  TCustomWinSocket* socket = p->Socket;
  // The scanner's line-end state belongs to the bytes held back, not to the request.
  const bool lf = p->LastWasLF;
  ResetRequest(Server, p);
  p->LastWasLF = lf;
  if (p->CloseConnection) {
    // As at the end of a read event: closed once the answer is out, what follows dropped.
    socket->Close();
    socket->HoldReading(false);
    return;
  }
  socket->WaitingFor(ClientWaitOf(p), true);
  socket->HoldReading(false);
  // As at the end of a read event: between requests the connection keeps no request-time state
  // (a record holding bytes back is kept for the read event that takes them up).
  Server.Parsers->Release(socket);
}

TClientWait ClientWaitOf(const mParser* p) {
  if (p->HeadersComplete && !p->RequestComplete) return cwRestOfBody;
  if (p->HeaderLength > 0) return cwRestOfHead;
  return cwNextRequest;
}

void ResetRequest(TServerState& Server, mParser* p) {
  ClearRequestFields(*p);
  Server.RequestCount++;
}
