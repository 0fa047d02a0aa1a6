// Answering one parsed request: its answer decided, its head written, head and body sent.
#include "http/Dispatch.h"

#include <string>
#include <utility>

#include "http/Decide.h"
#include "http/Head.h"
#include "http/Request.h"
#include "log/Log.h"
#include "platform/Streams.h"
#include "server/ServerState.h"

namespace {

// Reads a small file body (the whole file or its range) from the stream's own position onto
// the end of wire. True when every announced byte came; otherwise what could be read is there
// and the stream stands behind it.
bool AppendFileBody(TStream& stream, int64_t length, std::string& wire) {
  const size_t start = wire.size();
  wire.resize(start + static_cast<size_t>(length));
  int64_t got = 0;
  while (got < length) {
    const int n = stream.Read(wire.data() + start + got, static_cast<int>(length - got));
    if (n <= 0) break;
    got += n;
  }
  wire.resize(start + static_cast<size_t>(got));
  return got == length;
}

// Head and body onto the connection. A failed write may remove the record from inside the call
// (error and disconnect events), so nothing here looks at it after the first write.
void SendAnswer(TServerState& Server, mParser* p, TAnswer& a, THead& h) {
  TCustomWinSocket* socket = p->Socket;
  const std::string method = p->Method;
  if (method == "GET" || method == "POST") {
    if (a.ResponceType != RESPONCE_FILE) {
      h.Wire += a.ResponceBody;
      socket->WriteText(std::move(h.Wire));
    } else {
      // A program's output keeps its stream. A file that shrank since it was opened sends what
      // it has, and its stream, standing at that end, lets the transport end the connection as
      // for any file cut short.
      const bool whole = !p->IsCGI && h.BodyLength >= 0 && h.BodyLength <= kInlineBodyBytes &&
                         AppendFileBody(*a.stream, h.BodyLength, h.Wire);
      socket->WriteText(std::move(h.Wire));
      WriteLog(Server, h.Record);
      if (whole)
        a.stream.reset();
      else
        socket->WriteStream(std::move(a.stream));
    }
  } else {
    socket->WriteText(std::move(h.Wire));
    if (a.ResponceType == RESPONCE_FILE)
      a.stream.reset();  // closes the file or the program's output unsent
    else if (method != "HEAD" && !a.ResponceBody.empty())
      socket->WriteText(a.ResponceBody);
  }
}

// The head of an answer decided, then head and body onto the connection.
void SendDecided(TServerState& Server, mParser* p, TAnswer& a) {
  THead h = FormatHead(Server, p, a);
  SendAnswer(Server, p, a, h);
  KeepRecordBuffer(h);
}

// The rest of a request whose program has ended (or could not start), from where the dispatch
// left it: the answer as it would have been made in place, then the request path goes on.
void AnswerProgram(TServerState& Server, mParser* p, TCgiOutcome run) {
  TAnswer a = DecideProgramAnswer(Server, p, std::move(run));
  p->WaitsForProgram = false;
  SendDecided(Server, p, a);
  ProgramAnswered(Server, p);
}

}  // namespace

void DispatchRequest(TServerState& Server, mParser* p) {
  TAnswer a = DecideAnswer(Server, p, AnswerProgram);
  if (!p->WaitsForProgram) SendDecided(Server, p, a);
}
