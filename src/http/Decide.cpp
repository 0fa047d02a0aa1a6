// Deciding the answer to a parsed request: its status, its own header lines and its body.
#include "http/Decide.h"

#include <algorithm>
#include <memory>
#include <new>

#include "content/AutocloseStream.h"
#include "content/Cgi.h"
#include "content/Index.h"
#include "content/MimeTypes.h"
#include "content/UrlMap.h"
#include "http/Conditional.h"
#include "http/HttpDate.h"
#include "http/Parse.h"
#include "http/Request.h"
#include "log/Log.h"
#include "platform/Codec.h"
#include "platform/FileFacts.h"
#include "platform/Files.h"
#include "platform/Streams.h"
#include "server/ServerState.h"

namespace {

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

TFileAnswer DecideFileAnswer(mParser* p, TFileStream& file) {
  TFileAnswer a;
  int64_t mtime = 0;
  const bool dated = !p->LastModified.empty() && file.LastWriteTime(mtime);
  const std::string since = dated ? GetHeaderValue(p, "If-Modified-Since") : "";
  int64_t t = 0;
  if (!since.empty() &&
      (Cp1251SameText(since, p->LastModified) || (ParseHttpDate(since, t) && t >= mtime))) {
    a.Code = 304;
    return a;
  }
  // Only a GET has ranges; a HEAD describes the whole file.
  if (p->Method != "GET") return a;
  const std::string range = GetHeaderValue(p, "Range");
  if (range.empty()) return a;
  // A part of a file that changed since the client's copy would not fit that copy.
  const std::string ifRange = GetHeaderValue(p, "If-Range");
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

// Versions that are not served. True when that decides the answer.
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

// Refusals that come before the target is looked at: a body whose end is unknown or too large
// for anything but a program, a head refused for its size, and in the CGI folder, where that is
// the setting, anything but a program. True when one decides the answer.
bool RefuseEarly(TServerState& Server, mParser* p, TAnswer& a, bool parserTooBig) {
  if (p->StatusCode != 0 && p->StatusCode == FramingRefusal(p)) {
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

// A folder: its index, its listing, a refusal or a redirect to the name with '/'.
// An empty target ends in no '/' and is sent to "/".
bool DecideFolder(TServerState& Server, mParser* p, TAnswer& a) {
  // The query is no part of the name: "/dir/?x=1" names the folder, and "/dir?x=1" is sent to it.
  const size_t query = std::min(p->URI.find('?'), p->URI.size());
  if (EndsWithSlash(p->URI.substr(0, query))) {
    const std::shared_ptr<TFolderFacts> folder = ReadFolderOnce(Server, p->LocalPath);
    if (FindIndexFile(p->LocalPath, *folder)) {
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
  std::string u = "http://" + GetHeaderValue(p, "Host") + p->URI;
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

// What the target is on disk: missing, hidden, marked inaccessible, a folder or a file. True when
// that decides the answer.
bool DecideTarget(TServerState& Server, mParser* p, TAnswer& a) {
  // A path holding a NUL names nothing: a C string would cut it short and open something else.
  // The attributes of a path that does not exist cannot be read, so one call answers both.
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
    // A hidden target stays hidden: no later mark may reveal that it exists.
    a.ErrorType = ERR_NOT_FOUND;
    p->IsCGI = false;
    return true;
  }
  if (attrs & (FILE_ATTRIBUTE_TEMPORARY | FILE_ATTRIBUTE_OFFLINE)) {
    a.ResponceBody = p->URI + "\n\nResource is inaccessible.";
    a.ErrorType = ERR_ACCESS_DENIED;
    p->IsCGI = false;
    return true;
  }
  // Only a folder that carries none of these marks, so a refused folder never shows its index or
  // its listing.
  if (attrs & FILE_ATTRIBUTE_DIRECTORY) return DecideFolder(Server, p, a);
  return false;
}

// CGI switched off runs nothing: not an index script, nor a request parsed while it was still
// on. Such a file is refused rather than sent as its source. A HEAD never runs a program.
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

// A program that has ended: its output is the body.
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

// A program to run. Where the loop goes on meanwhile, the request waits for its program and is
// answered when it has ended; its connection reads nothing until then, so its answers keep their
// order. Otherwise the program is waited for in place.
void TakeProgramOutput(TServerState& Server, mParser* p, TAnswer& a, TProgramEnded ended) {
  if (Server.WatchProgram && p->Socket) {
    const bool waits = QueueCgi(Server, p, [&Server, ended](mParser* q, TCgiOutcome run) {
      ended(Server, q, std::move(run));
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

// A file: never read into memory, the transport sends it straight from its descriptor, which
// stays open for the next request of the same file.
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

// The methods that name no resource to serve.
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

// What the request is answered with; each decision in turn may settle it.
void ChooseAnswer(TServerState& Server, mParser* p, TAnswer& a, TProgramEnded ended) {
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
    TakeProgramOutput(Server, p, a, ended);
  else
    TakeFile(Server, p, a);
}

// An error becomes its status code or, where errors are answered under 200, a text.
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

// A static file the client already holds, or asks only a part of. Anything but a whole file
// answered with 200 stays as it is.
void ApplyConditions(mParser* p, TAnswer& a) {
  if (a.ResponceType != RESPONCE_FILE || p->IsCGI || p->StatusCode != 0 ||
      (p->Method != "GET" && p->Method != "HEAD"))
    return;
  auto* file = dynamic_cast<TFileStream*>(a.stream.get());
  const TFileAnswer f = file ? DecideFileAnswer(p, *file) : TFileAnswer{};
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

}  // namespace

TAnswer DecideAnswer(TServerState& Server, mParser* p, TProgramEnded ended) {
  TAnswer a;
  a.StatusText = (p->StatusCode == 0) ? "OK" : "Error";
  ChooseAnswer(Server, p, a, ended);
  if (p->WaitsForProgram) return a;  // decided when the program has ended
  ApplyError(Server, p, a);
  ApplyConditions(p, a);
  return a;
}

TAnswer DecideProgramAnswer(TServerState& Server, mParser* p, TCgiOutcome run) {
  TAnswer a;
  a.StatusText = (p->StatusCode == 0) ? "OK" : "Error";
  UseProgramOutput(Server, p, a, std::move(run));
  ApplyError(Server, p, a);
  ApplyConditions(p, a);
  return a;
}
