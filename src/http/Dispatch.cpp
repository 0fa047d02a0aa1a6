// Answering one parsed request: deciding the answer, building the head, sending head and body.
#include "http/Dispatch.h"

#include <algorithm>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string_view>

#include "content/AutocloseStream.h"
#include "content/Cgi.h"
#include "content/Index.h"
#include "content/MimeTypes.h"
#include "content/UrlMap.h"
#include "http/Conditional.h"
#include "http/Parse.h"
#include "http/Request.h"
#include "log/Log.h"
#include "platform/Codec.h"
#include "platform/FileFacts.h"
#include "platform/Files.h"
#include "platform/Streams.h"
#include "platform/Time.h"
#include "server/ServerState.h"

namespace {

enum TResponceType { RESPONCE_TEXT = 0, RESPONCE_FILE = 1, RESPONCE_REDIRECT = 2 };
enum TErrorType { ERR_NONE = 0, ERR_NOT_FOUND = 1, ERR_ACCESS_DENIED = 2, ERR_INTERNAL = 3 };

const char* const kAllowLine = "Allow: OPTIONS, HEAD, GET, POST\n";
const char* const kNoIndexText = "\ndoesn`t have an index.";

bool EndsWithSlash(const std::string& s) { return !s.empty() && s.back() == '/'; }

// A meta-variable the parser set for a program; "" when it set none.
std::string MetaVariable(const mParser* p, const std::string& name) {
  const size_t end = std::min(p->Variables.size(), static_cast<size_t>(p->FirstHeaderEntry));
  for (size_t i = 0; i + 1 < end; i += 2)
    if (p->Variables[i] == name) return p->Variables[i + 1];
  return "";
}

// What may never be answered is answered exactly like a missing file, so that a client cannot
// even learn that it exists.
bool IsServable(TServerState& Server, const mParser* p) {
  if (Server.ServeNothing) return false;
  if (!IsAccessiblePath(Server, LocalBase(Server, p->InCGIDir), p->LocalPath)) return false;
  // The path info becomes PATH_TRANSLATED, a path the program is invited to open.
  if (p->IsCGI && !IsAccessiblePath(Server, "", MetaVariable(p, "PATH_INFO"))) return false;
  return !IsProgramFile(Server, p->LocalPath);
}

}  // namespace

namespace {

void TwoDigits(char* at, int value) {
  at[0] = static_cast<char>('0' + value / 10);
  at[1] = static_cast<char>('0' + value % 10);
}

}  // namespace

const std::string& FileTimeToHttpDate(int64_t unixTime) {
  static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
  static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                        "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  // The answers of one stretch of time are mostly of the same few files: the text of the last
  // time asked for is kept.
  thread_local int64_t lastTime = 0;
  thread_local std::string lastText;
  thread_local const std::string none;
  if (!lastText.empty() && unixTime == lastTime) return lastText;
  std::tm t{};
  if (!UnixTimeToUtcFields(unixTime, t)) return none;
  if (t.tm_wday < 0 || t.tm_wday > 6 || t.tm_mon < 0 || t.tm_mon > 11) return none;
  const int year = t.tm_year + 1900;
  std::string text;
  if (year >= 0 && year <= 9999 && t.tm_mday >= 0 && t.tm_mday <= 99 && t.tm_hour >= 0 &&
      t.tm_hour <= 99 && t.tm_min >= 0 && t.tm_min <= 99 && t.tm_sec >= 0 && t.tm_sec <= 99) {
    // "Sun, 06 Nov 1994 08:49:37 GMT", digit by digit.
    char buf[] = "Ddd, 00 Mmm 0000 00:00:00 GMT";
    std::memcpy(buf, kDays[t.tm_wday], 3);
    TwoDigits(buf + 5, t.tm_mday);
    std::memcpy(buf + 8, kMonths[t.tm_mon], 3);
    TwoDigits(buf + 12, year / 100);
    TwoDigits(buf + 14, year % 100);
    TwoDigits(buf + 17, t.tm_hour);
    TwoDigits(buf + 20, t.tm_min);
    TwoDigits(buf + 23, t.tm_sec);
    text.assign(buf, sizeof buf - 1);
  } else {
    char buf[64];
    int n = std::snprintf(buf, sizeof buf, "%s, %02d %s %04d %02d:%02d:%02d GMT", kDays[t.tm_wday],
                          t.tm_mday, kMonths[t.tm_mon], year, t.tm_hour, t.tm_min, t.tm_sec);
    if (n <= 0 || n >= static_cast<int>(sizeof buf)) return none;
    text.assign(buf, static_cast<size_t>(n));
  }
  lastTime = unixTime;
  lastText = text;
  return lastText;
}

namespace {

// What a conditional or partial GET makes of a static file that would go out whole.
struct TFileAnswer {
  int Code = 200;  // 200 (whole), 206, 304 or 416
  int64_t First = 0;
  int64_t Last = -1;
  int64_t Size = 0;
};

bool SameDate(const std::string& value, const std::string& lastModified, int64_t mtime) {
  int64_t t = 0;
  return Cp1251SameText(value, lastModified) || (ParseHttpDate(value, t) && t == mtime);
}

TFileAnswer DecideFileAnswer(TServerState& Server, mParser* p, TFileStream& file) {
  TFileAnswer a;
  int64_t mtime = 0;
  const bool dated = !p->LastModified.empty() && file.LastWriteTime(mtime);
  const std::string since = dated ? GetHeaderValue(Server, p, "If-Modified-Since") : "";
  int64_t t = 0;
  if (!since.empty() &&
      (Cp1251SameText(since, p->LastModified) || (ParseHttpDate(since, t) && t >= mtime))) {
    a.Code = 304;
    return a;
  }
  // Only a GET has ranges; a HEAD describes the whole file.
  if (p->Method != "GET") return a;
  const std::string range = GetHeaderValue(Server, p, "Range");
  if (range.empty()) return a;
  // A part of a file that changed since the client's copy would not fit that copy.
  const std::string ifRange = GetHeaderValue(Server, p, "If-Range");
  if (!ifRange.empty() && !(dated && SameDate(ifRange, p->LastModified, mtime))) return a;
  a.Size = file.Size();
  switch (ParseByteRange(range, a.Size, a.First, a.Last)) {
    case TRangeAnswer::Partial:
      a.Code = 206;
      break;
    case TRangeAnswer::Unsatisfiable:
      a.Code = 416;
      break;
    case TRangeAnswer::Ignore:
      break;
  }
  return a;
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

}  // namespace

namespace {

// The answer as it is decided: everything its head and body are made from.
struct TAnswer {
  int ResponceType = RESPONCE_TEXT;
  int ErrorType = ERR_NONE;
  std::string StatusText;
  std::string ContentType = "text/plain";
  std::string ExtraHeaders;
  std::string ResponceBody;
  std::unique_ptr<TStream> stream;
  int CgiBodyLength = 0;
  std::string CgiHead;  // the program's own header block, sent as part of the head
  bool NotModified = false;
};

// Step 1: versions that are not served. True when that decides the answer.
bool RefuseVersion(TServerState& Server, mParser* p, TAnswer& a) {
  if (p->Version >= 0 && p->Version <= 1) return false;
  if (p->Version < 0) {
    p->CloseConnection = true;
    p->StatusCode = 400;
    a.StatusText = "Bad HTTP version in request";
  } else {
    p->StatusCode = 505;
    a.ResponceBody = "WRONG PROTOCOL VERSION\nServer supports only HTTP/1.1 and earlier";
    a.StatusText = "Too big HTTP version in request";
  }
  WriteLog(Server, AddrPort(p) + " incorrect protocol " + p->Protocol);
  return true;
}

// Step 2: early refusals.
bool RefuseEarly(TServerState& Server, mParser* p, TAnswer& a, bool parserTooBig) {
  if (p->StatusCode != 0 && p->StatusCode == FramingRefusal(Server, p)) {
    // Where the body ends is unknown, so nothing is served or run for it.
    p->CloseConnection = true;
    if (p->StatusCode == 501) a.StatusText = "Transfer-Encoding not supported";
    return true;
  }
  if (!p->IsCGI && p->ContentLength > kMaxPlainBody) {
    p->CloseConnection = true;
    p->StatusCode = 413;
    a.StatusText = "Too big request entity";
    return true;
  }
  if (parserTooBig) {
    // Running a program or serving a file for a body that will never be read would answer
    // a request the server has already refused.
    p->CloseConnection = true;
    a.StatusText = "Too big request entity";
    return true;
  }
  if (Server.DNICGI && p->InCGIDir && !p->IsCGI) {
    a.ErrorType = ERR_NOT_FOUND;
    return true;
  }
  return false;
}

// Step 3.4 for a folder: its index, its listing, a refusal or a redirect to the name with '/'.
// An empty target ends in no '/' and is sent to "/".
bool DecideFolder(TServerState& Server, mParser* p, TAnswer& a) {
  // The query is no part of the name: "/dir/?x=1" names the folder, and "/dir?x=1" is sent to it.
  const size_t query = std::min(p->URI.find('?'), p->URI.size());
  if (EndsWithSlash(p->URI.substr(0, query))) {
    const std::shared_ptr<TFolderFacts> folder = ReadFolderOnce(Server, p->LocalPath);
    if (FindIndexFile(Server, p->LocalPath, *folder)) {
      p->IsCGI = IsCgiProgram(Server, p);
      return false;
    }
    if (Server.SCC && !p->InCGIDir) {
      a.ResponceBody = BuildCatalogPage(Server, p->LocalPath, *folder);
      // Names are cp1251 bytes; said so, every browser reads them in any language.
      a.ContentType = "text/html; charset=windows-1251";
      return true;
    }
    a.ResponceBody = p->URI + kNoIndexText;
    a.ErrorType = ERR_ACCESS_DENIED;
    return true;
  }
  std::string u = "http://" + GetHeaderValue(Server, p, "Host") + p->URI;
  u.insert(u.size() - (p->URI.size() - query), 1, '/');
  a.ResponceType = RESPONCE_REDIRECT;
  a.ExtraHeaders += "Location: " + u + "\n";
  p->StatusCode = 301;
  a.StatusText = "Redirect";
  a.ContentType = "text/html";
  // The Host value is the client's own text: in the page it must stay text.
  const std::string shown = HtmlText(u, true);
  a.ResponceBody = "<html><head><title>Redirect</title></head><body>Redirecting to <a href='" +
                   shown + "'>" + shown + "</a></body></html>";
  p->IsCGI = false;
  return true;
}

// Steps 3.1 to 3.4: what the target is on disk.
bool DecideTarget(TServerState& Server, mParser* p, TAnswer& a) {
  // Step 3.1: existence. A path holding a NUL names nothing: a C string would cut it short and
  // open something else. The attributes of a path that does not exist cannot be read, so one
  // call answers both.
  uint32_t attrs = INVALID_FILE_ATTRIBUTES;
  if (p->LocalPath.find('\0') == std::string::npos && IsServable(Server, p))
    attrs =
        Server.Facts ? Server.Facts->Attributes(p->LocalPath) : GetFileAttributesA(p->LocalPath);
  if (attrs == INVALID_FILE_ATTRIBUTES) {
    a.ErrorType = ERR_NOT_FOUND;
    p->IsCGI = false;
    return true;
  }
  if (attrs & (FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM)) {
    // Step 3.2. A hidden target stays hidden: no later mark may reveal that it exists.
    a.ErrorType = ERR_NOT_FOUND;
    p->IsCGI = false;
    return true;
  }
  if (attrs & (FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE)) {
    // Step 3.3.
    a.ResponceBody = p->URI + "\n\nResource is inaccessible.";
    a.ErrorType = ERR_ACCESS_DENIED;
    p->IsCGI = false;
    return true;
  }
  // Step 3.4, only for folders that carry no mark, so a refused folder never shows its index or
  // its listing.
  if (attrs & FILE_ATTRIBUTE_DIRECTORY) return DecideFolder(Server, p, a);
  return false;
}

// CGI switched off runs nothing: not an index script, nor a request parsed while it was still
// on. Such a file is refused rather than sent as its source. Step 3.5: a HEAD never runs a
// program.
bool RefuseProgram(TServerState& Server, mParser* p, TAnswer& a) {
  if (p->IsCGI && !Server.ECGI) {
    a.ErrorType = ERR_ACCESS_DENIED;
    p->IsCGI = false;
    return true;
  }
  if (p->IsCGI && p->Method == "HEAD") {
    p->IsCGI = false;
    return true;
  }
  return false;
}

// Step 3.6 for a program, once it has ended: its output is the body.
void UseProgramOutput(TServerState& Server, mParser* p, TAnswer& a, TCgiOutcome run) {
  if (run.BodyLength < 0) {
    if (run.Output != INVALID_HANDLE_VALUE) CloseHandle(run.Output);
    p->StatusCode = 500;
    a.StatusText = "Error running CGI script";
    p->IsCGI = false;
    return;
  }
  if (run.Redirect) p->StatusCode = 301;
  a.CgiHead = std::move(run.HeaderBlock);
  a.stream.reset(new (std::nothrow) mAutocloseStream(run.Output));
  if (!a.stream) {
    CloseHandle(run.Output);  // nobody else will: the output file would stay on disk
    Server.ErrorCount++;
    WriteLog(Server, AddrPort(p) + " ERROR init-ing mAutocloseStream. CGI app: " + p->LocalPath);
    WriteLog(Server, "fs==NULL");
    p->IsCGI = false;
    a.ErrorType = ERR_INTERNAL;
    return;
  }
  a.CgiBodyLength = run.BodyLength;
  a.ResponceType = RESPONCE_FILE;
  if (p->StatusCode == 301) a.StatusText = "Redirect";
}

void AnswerProgram(TServerState& Server, mParser* p, TCgiOutcome run);

// Step 3.6 for a program. Where the loop goes on meanwhile, the request waits for its program
// and is answered when it has ended; its connection reads nothing until then, so its answers
// keep their order. Otherwise the program is waited for in place.
void TakeProgramOutput(TServerState& Server, mParser* p, TAnswer& a) {
  if (Server.WatchProgram && p->Socket) {
    const bool waits = QueueCgi(Server, p, [&Server](mParser* q, TCgiOutcome run) {
      AnswerProgram(Server, q, std::move(run));
    });
    if (!waits) {
      UseProgramOutput(Server, p, a, TCgiOutcome{});
      return;
    }
    p->WaitsForProgram = true;
    p->Socket->HoldReading(true);
    return;
  }
  UseProgramOutput(Server, p, a, RunCgi(Server, p));
}

// Step 3.6 for a file: never read into memory, the transport sends it straight from its
// descriptor, which stays open for the next request of the same file.
void TakeFile(TServerState& Server, mParser* p, TAnswer& a) {
  std::unique_ptr<TFileStream> file;
  if (p->LocalPath.find('\0') == std::string::npos)
    file =
        Server.Facts ? Server.Facts->OpenRead(p->LocalPath) : TFileStream::OpenRead(p->LocalPath);
  if (!file && LastOpenFoundNothing()) {
    // Gone since its attributes were looked at, or nothing that may be served: as missing.
    a.ErrorType = ERR_NOT_FOUND;
    return;
  }
  if (!file) {
    Server.ErrorCount++;
    WriteLog(Server, AddrPort(p) + " ERROR: cant open requested file: " + p->LocalPath);
    a.ErrorType = ERR_INTERNAL;
    return;
  }
  int64_t mtime = 0;
  if (file->LastWriteTime(mtime)) p->LastModified.assign(FileTimeToHttpDate(mtime));
  a.stream = std::move(file);
  a.ResponceType = RESPONCE_FILE;
  a.ContentType = GetContentType(Server, p->LocalPath);
}

// Step 4: the methods that name no resource to serve.
void AnswerOtherMethod(mParser* p, TAnswer& a) {
  const std::string& m = p->Method;
  if (m == "OPTIONS") {
    a.ExtraHeaders = kAllowLine;
  } else if (m == "PUT" || m == "DELETE" || m == "TRACE" || m == "CONNECT") {
    p->StatusCode = 405;
    a.StatusText = "Method not supported";
    a.ExtraHeaders = kAllowLine;
    a.ResponceBody = "SORRY. Method '" + m + "' is not supported by the server.";
  } else {
    p->StatusCode = 501;
    a.StatusText = "Unknown method";
  }
}

// Steps 1 to 4, each of which may settle the answer.
void ChooseAnswer(TServerState& Server, mParser* p, TAnswer& a) {
  // A head cut off at the size limit is no request to serve: whatever its first lines name
  // (a file, a program to run) is left alone and only the refusal goes out. Its version is
  // still checked, as for any other request.
  const bool headOverflow = p->StatusCode == 413 && p->HeaderLength >= kMaxHeadBytes;
  const bool parserTooBig = p->StatusCode == 413 && !headOverflow;
  if (headOverflow) p->CloseConnection = true;

  if (RefuseVersion(Server, p, a) || headOverflow) return;
  if (RefuseEarly(Server, p, a, parserTooBig)) return;
  if (p->Method != "GET" && p->Method != "HEAD" && p->Method != "POST") {
    AnswerOtherMethod(p, a);
    return;
  }
  if (DecideTarget(Server, p, a) || RefuseProgram(Server, p, a)) return;
  if (p->IsCGI)
    TakeProgramOutput(Server, p, a);
  else
    TakeFile(Server, p, a);
}

// Step 5: errors become a status or a text.
void ApplyError(TServerState& Server, mParser* p, TAnswer& a) {
  if (a.ErrorType == ERR_NONE) return;
  if (Server.AEASC) {
    switch (a.ErrorType) {
      case ERR_NOT_FOUND:
        p->StatusCode = 404;
        a.StatusText = "Not found";
        break;
      case ERR_ACCESS_DENIED:
        p->StatusCode = 403;
        a.StatusText = "Access denied";
        break;
      default:
        p->StatusCode = 500;
        a.StatusText = "Internal server error";
        break;
    }
    return;
  }
  switch (a.ErrorType) {
    case ERR_NOT_FOUND:
      a.ResponceBody = p->URI + "\nSORRY.\n\nThe resource with given name doesnt exist.";
      break;
    case ERR_ACCESS_DENIED:
      if (a.ResponceBody.empty())
        a.ResponceBody = p->URI + "\nSORRY.\n\nAccess to requested resource is denied.";
      break;
    default:
      a.ResponceBody = "INTERNAL SERVER ERROR";
      break;
  }
}

// Step 5a: a static file the client already holds, or asks only a part of. Anything but a
// whole file answered with 200 stays as it is.
void ApplyConditions(TServerState& Server, mParser* p, TAnswer& a) {
  if (a.ResponceType != RESPONCE_FILE || p->IsCGI || p->StatusCode != 0 ||
      (p->Method != "GET" && p->Method != "HEAD"))
    return;
  auto* file = dynamic_cast<TFileStream*>(a.stream.get());
  const TFileAnswer f = file ? DecideFileAnswer(Server, p, *file) : TFileAnswer{};
  if (f.Code == 304) {
    p->StatusCode = 304;
    a.StatusText = "Not Modified";
    a.NotModified = true;
  } else if (f.Code == 416) {
    p->StatusCode = 416;
    a.StatusText = "Range Not Satisfiable";
    a.ExtraHeaders += "Content-Range: bytes */" + std::to_string(f.Size) + "\n";
  } else if (f.Code == 206) {
    p->StatusCode = 206;
    a.StatusText = "Partial Content";
    a.ExtraHeaders += "Content-Range: bytes " + std::to_string(f.First) + "-" +
                      std::to_string(f.Last) + "/" + std::to_string(f.Size) + "\n";
    // Sent straight from the file at that offset, like the whole file would be.
    file->SetRange(f.First, f.Last - f.First + 1);
  }
  if (a.NotModified || f.Code == 416) {
    a.stream.reset();  // no body: the file closes now
    a.ResponceType = RESPONCE_TEXT;
  }
}

TAnswer DecideAnswer(TServerState& Server, mParser* p) {
  TAnswer a;
  a.StatusText = (p->StatusCode == 0) ? "OK" : "Error";
  ChooseAnswer(Server, p, a);
  if (p->WaitsForProgram) return a;  // decided when the program has ended
  ApplyError(Server, p, a);
  ApplyConditions(Server, p, a);
  return a;
}

// A file body up to this size is read at once and leaves with its head in one send; a larger
// one goes from the file by sendfile, never whole into memory.
constexpr int64_t kInlineBodyBytes = int64_t{64} * 1024;

// The buffer of the last answer's record, kept for the next one: every file answer writes one.
std::string& SpareRecordBuffer() {
  thread_local std::string spare;
  return spare;
}

// The head as it goes out, the program's header block included.
struct THead {
  std::string Wire;
  // "ResponceString==" and the status line, "\nResponceHead==" and the lines after it, as they
  // are inside (LF); only for an answer sent from a stream to GET or POST, which logs it.
  std::string Record;
  int64_t BodyLength = 0;  // what Content-Length announces
};

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

// Steps 6 to 8: the status line and the header lines.
THead FormatHead(TServerState& Server, mParser* p, TAnswer& a) {
  THead h;
  // Step 6: connection and optional lines.
  const std::string connection = GetHeaderValue(Server, p, "Connection");
  if (connection == "close") p->CloseConnection = true;
  if (p->Version < 1 && connection != "keep-alive") p->CloseConnection = true;
  const int code = p->StatusCode ? p->StatusCode : 200;

  // Step 7: a file's length is 64-bit; printing it as a 32-bit number would announce a
  // negative or wrong length for files of 2 GiB and more.
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

  // Step 8: the head after the status line; the optional lines (step 6) in the middle.
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

// Step 9: sending. A failed write may remove the record from inside the call (error and
// disconnect events), so nothing here looks at it after the first write.
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

// Steps 6 to 9 for an answer decided.
void SendDecided(TServerState& Server, mParser* p, TAnswer& a) {
  THead h = FormatHead(Server, p, a);
  SendAnswer(Server, p, a, h);
  std::string& spare = SpareRecordBuffer();
  if (h.Record.capacity() > spare.capacity() && h.Record.capacity() <= kInlineBodyBytes) {
    h.Record.clear();
    h.Record.swap(spare);
  }
}

// The rest of a request whose program has ended (or could not start), from where the dispatch
// left it: the answer as it would have been made in place, then the request path goes on.
void AnswerProgram(TServerState& Server, mParser* p, TCgiOutcome run) {
  TAnswer a;
  a.StatusText = (p->StatusCode == 0) ? "OK" : "Error";
  UseProgramOutput(Server, p, a, std::move(run));
  ApplyError(Server, p, a);
  ApplyConditions(Server, p, a);
  p->WaitsForProgram = false;
  SendDecided(Server, p, a);
  ProgramAnswered(Server, p);
}

}  // namespace

void DispatchRequest(TServerState& Server, mParser* p) {
  TAnswer a = DecideAnswer(Server, p);
  if (!p->WaitsForProgram) SendDecided(Server, p, a);
}
