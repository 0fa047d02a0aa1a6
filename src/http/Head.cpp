// The head of an answer: its status and header lines, as they go out and as they are logged.
#include "http/Head.h"

#include <charconv>
#include <cstring>
#include <string_view>

#include "http/Parse.h"
#include "log/Log.h"
#include "platform/Codec.h"
#include "platform/Streams.h"
#include "server/ServerState.h"

namespace {

// The buffer of the last answer's record, kept for the next one: every file answer writes one.
std::string& SpareRecordBuffer() {
  thread_local std::string spare;
  return spare;
}

// On the wire every line of a head ends with exactly one CR LF; inside, the texts keep LF. No
// head the server builds holds a CR, and the header scan ignores a program's CRs, so dropping
// them turns LF and CR LF alike into one CR LF.
void AppendHeadToWire(std::string& wire, std::string_view head) {
  if (std::memchr(head.data(), '\r', head.size()) == nullptr) {
    // The usual head: whole lines copied at once.
    for (size_t start = 0; start < head.size();) {
      const void* lf = std::memchr(head.data() + start, '\n', head.size() - start);
      const size_t end =
          lf ? static_cast<size_t>(static_cast<const char*>(lf) - head.data()) : head.size();
      wire.append(head.data() + start, end - start);
      if (!lf) break;
      wire.append("\r\n", 2);
      start = end + 1;
    }
    return;
  }
  for (char c : head) {
    if (c == '\r') continue;
    if (c == '\n') wire += '\r';
    wire += c;
  }
}

std::string HeadToWire(std::string_view head) {
  std::string wire;
  wire.reserve(head.size() + 16);
  AppendHeadToWire(wire, head);
  return wire;
}

// A program's header block, as the wire wants it. An empty first line would end the head before
// the program's own lines, leaving them in front of the body and the answer longer than its
// Content-Length, so it is dropped. So is a Content-Length line of the program's own: the
// server's states the body that really follows, and a second one, equal or not, makes strict
// clients refuse the answer or others read past it into the next.
std::string ProgramHeadToWire(const std::string& block) {
  std::string wire;
  size_t start = 0;
  while (start < block.size()) {
    size_t end = block.find('\n', start);
    end = end == std::string::npos ? block.size() : end + 1;
    const std::string line = HeadToWire(block.substr(start, end - start));
    start = end;
    const bool ownLength =
        line.size() > 15 && Cp1251SameText(line.substr(0, 15), "content-length:");
    if ((line == "\r\n" && wire.empty() && start < block.size()) || ownLength) continue;
    wire += line;
  }
  return wire;
}

// Writes a head in its wire form (every line ending in CR LF) and, when a record is wanted, in
// its inner form (LF) at the same time, so neither is converted from the other afterwards.
class THeadWriter {
 public:
  THeadWriter(std::string& wire, std::string* record) : FWire(wire), FRecord(record) {}
  // A text that holds no line end.
  THeadWriter& operator<<(std::string_view text) {
    FWire += text;
    if (FRecord) *FRecord += text;
    return *this;
  }
  THeadWriter& operator<<(int64_t value) {
    char digits[24];
    const auto r = std::to_chars(digits, digits + sizeof digits, value);
    return *this << std::string_view(digits, static_cast<size_t>(r.ptr - digits));
  }
  THeadWriter& EndLine() {
    FWire.append("\r\n", 2);
    if (FRecord) *FRecord += '\n';
    return *this;
  }
  // Whole lines, each ending in LF.
  THeadWriter& Lines(std::string_view text) {
    AppendHeadToWire(FWire, text);
    if (FRecord) *FRecord += text;
    return *this;
  }

 private:
  std::string& FWire;
  std::string* FRecord;
};

}  // namespace

THead FormatHead(TServerState& Server, mParser* p, TAnswer& a) {
  THead h;
  // Whether the connection closes after this answer.
  const std::string connection = GetHeaderValue(p, "Connection");
  if (connection == "close") p->CloseConnection = true;
  if (p->Version < 1 && connection != "keep-alive") p->CloseConnection = true;
  const int code = p->StatusCode ? p->StatusCode : 200;

  // A file's length is 64-bit; printing it as a 32-bit number would announce a negative or wrong
  // length for files of 2 GiB and more.
  const bool fileAnswer = a.ResponceType == RESPONCE_FILE;
  const bool cgiFile = fileAnswer && p->IsCGI;
  int64_t length = 0;
  if (!fileAnswer)
    length = static_cast<int64_t>(a.ResponceBody.size());
  else if (cgiFile)
    length = a.CgiBodyLength;
  else
    length = a.stream->Size();
  h.BodyLength = length;
  // The program's body only: its header block goes out with the head, normalised like it.
  if (cgiFile)
    static_cast<THandleStream&>(*a.stream).SetRange(static_cast<int64_t>(a.CgiHead.size()), length);

  const bool sent = p->Method == "GET" || p->Method == "POST";
  const bool logged = fileAnswer && sent;
  size_t room = 128 + a.ExtraHeaders.size() + a.ContentType.size() + p->LastModified.size();
  if (!fileAnswer && sent) room += a.ResponceBody.size();  // the body follows in the same text
  if (fileAnswer && !cgiFile && sent && length >= 0 && length <= kInlineBodyBytes)
    room += static_cast<size_t>(length);
  h.Wire.reserve(room);
  if (logged) {
    h.Record.swap(SpareRecordBuffer());
    h.Record.reserve(room + 32);
  }
  THeadWriter w(h.Wire, logged ? &h.Record : nullptr);

  if (logged) h.Record = "ResponceString==";
  w << (p->Version >= 1 ? "HTTP/1.1 " : "HTTP/1.0 ") << code << " " << a.StatusText;
  w.EndLine();
  if (logged) h.Record += "\nResponceHead==";

  // The lines after the status line, the optional ones in the middle.
  const auto optionalLines = [&] {
    w.Lines(a.ExtraHeaders);
    if (!p->LastModified.empty()) w << "Last-Modified: " << p->LastModified;
    if (!p->LastModified.empty()) w.EndLine();
    if (p->Version >= 1 && p->CloseConnection) w << "Connection: close";
    if (p->Version >= 1 && p->CloseConnection) w.EndLine();
    if (Server.SSH) w << "Server: Vyn_Brevoxa/" << kVersionText;
    if (Server.SSH) w.EndLine();
  };
  if (cgiFile) {
    WriteLog(Server, "p->IsCGI && (ResponceType==RESPONCE_FILE)");
    w << "Content-Length: " << length;
    w.EndLine();
    optionalLines();
  } else if (a.NotModified) {
    // A 304 has no body, and a Content-Length would describe the file the client already has.
    optionalLines();
    w.EndLine();
  } else {
    if (length > 0) {
      w << "Content-Type: " << a.ContentType;
      w.EndLine();
    }
    optionalLines();
    w << "Content-Length: " << length;
    w.EndLine().EndLine();
  }
  if (cgiFile) h.Wire += ProgramHeadToWire(a.CgiHead);
  return h;
}

void KeepRecordBuffer(THead& h) {
  std::string& spare = SpareRecordBuffer();
  if (h.Record.capacity() > spare.capacity() && h.Record.capacity() <= kInlineBodyBytes) {
    h.Record.clear();
    h.Record.swap(spare);
  }
}
