// The server's state as the request path sees it: its settings, counters and connection records,
// and the connection interface the transport implements. Everything from the log up to the
// server object builds on this header, so it includes nothing but the platform.
#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "platform/FileFacts.h"
#include "platform/Registry.h"
#include "platform/Streams.h"
#include "platform/UniqueFd.h"

// The program's version text, read for SERVER_SOFTWARE and the "Server:" header; the build
// takes it from the project's version.
inline constexpr const char* kVersionText = BREVOXA_VERSION;

// Past this size the log is set aside as brevoxa.log.1 and a new one begun: several records are
// written whatever the settings say, some carrying kilobytes of client-chosen text, and a log
// must not fill the disk of a server left running unattended.
constexpr int64_t kLogRotateBytes = int64_t{64} << 20;

// Body bytes held in memory for all requests together, and for one program's body: a larger one
// goes to an unnamed file in the program folder as it arrives, so that many clients posting
// large bodies cost the server disk space, never its memory.
constexpr int64_t kMaxHeldBodyBytes = int64_t{16} << 20;
constexpr size_t kBodyKeptInMemory = size_t{64} * 1024;

enum TErrorEvent { eeGeneral, eeSend, eeReceive, eeConnect, eeDisconnect, eeAccept };

// What a connection with nothing left to send waits for from its client; each has its own
// time-out.
enum TClientWait { cwNextRequest, cwRestOfHead, cwRestOfBody };

class TCustomWinSocket;
class TCgiQueue;

// Request body bytes that all records together hold in memory: one total for the process, since
// records may outlive the server object that counted them.
int64_t HeldBodyBytes();
// A share of that total, given back when it goes, however its record goes.
class THeldBytes {
 public:
  THeldBytes() = default;
  ~THeldBytes() { Set(0); }
  THeldBytes(THeldBytes&& other) noexcept : FBytes(other.FBytes) { other.FBytes = 0; }
  THeldBytes& operator=(THeldBytes&& other) noexcept {
    if (this != &other) {
      Set(0);
      FBytes = other.FBytes;
      other.FBytes = 0;
    }
    return *this;
  }
  THeldBytes(const THeldBytes&) = delete;
  THeldBytes& operator=(const THeldBytes&) = delete;
  [[nodiscard]] int64_t Get() const { return FBytes; }
  void Set(int64_t bytes);

 private:
  int64_t FBytes = 0;
};

// One per live connection: the request being assembled on it. It exists while a request is in
// flight; between requests the connection's slot keeps the little that outlives a request.
struct mParser {
  TCustomWinSocket* Socket = nullptr;  // not owned
  std::string RemoteAddr;
  std::string RemotePort;
  bool CloseConnection = false;
  std::string HeaderText;  // CR removed
  std::string Body;
  bool HeadersComplete = false;
  bool RequestComplete = false;
  bool LastWasLF = false;
  bool InCGIDir = false;
  bool IsCGI = false;
  int32_t ContentLength = 0;
  int32_t BodyLength = 0;
  int32_t HeaderLength = 0;
  int32_t FirstHeaderEntry = 0;
  std::vector<std::string> Variables;  // name, value, name, value, ...
  int32_t StatusCode = 0;              // 0 is sent as 200
  int32_t IsExe = 0;
  std::string Method;
  std::string URI;
  std::string Protocol;
  std::string LastModified;
  std::string LocalPath;
  std::string QueryString;
  std::string ExeApp;
  int32_t Version = 0;
  // Received bytes not yet scanned: held while the connection's answers wait to drain, or while
  // its request waits for a program.
  std::string Unscanned;
  // The request's program runs or waits for its turn; its answer, and everything the connection
  // sent after it, wait until the program has ended.
  bool WaitsForProgram = false;
  // Set when the connection's disconnect or error event removed the record, perhaps from inside
  // a read event still running on it: from then on the read event leaves record and connection
  // alone. The record itself lives on in its connection's slot until the transport frees the
  // connection, after every event on it has returned.
  bool Dead = false;
  // A program's body past what may be held in memory goes on in this unnamed file, Body then
  // empty; BodySpillFailed when some of it could not be written there.
  TFd BodyFile;
  bool BodySpillFailed = false;
  // Body's bytes as counted in the server-wide total (HeldBodyBytes); given back when it goes.
  THeldBytes BodyHeld;
};

// One name and its value at the end of the record's Variables.
inline void AddVariable(mParser* p, std::string name, std::string value) {
  p->Variables.push_back(std::move(name));
  p->Variables.push_back(std::move(value));
}

// Brings the request-time fields back to their state in a new record, as the next request on the
// connection needs them. The buffers of a usual request keep their memory for the next one; a
// head or body past kKeptRequestBytes gives it back, so no record sits on a large one.
constexpr size_t kKeptRequestBytes = 2048;
void ClearRequestFields(mParser& p);

class TCustomWinSocket {
 public:
  virtual ~TCustomWinSocket() = default;
  virtual int AvailableBytes() = 0;
  // Up to count bytes without waiting; -1 after a failure (error event, then disconnect event).
  virtual int ReadBytes(void* buffer, int count) = 0;
  virtual void WriteText(const std::string& text) = 0;
  // The same, for a text the caller is done with: a transport may keep it without a copy.
  virtual void WriteText(std::string&& text) { WriteText(static_cast<const std::string&>(text)); }
  // Takes the stream and sends it from its position; the connection stays open afterwards.
  virtual void WriteStream(std::unique_ptr<TStream> stream) = 0;
  // After what is queued has gone out; at once (disconnect event inside) when nothing is.
  virtual void Close() = 0;
  virtual std::string PeerAddress() = 0;
  virtual int PeerPort() = 0;
  virtual std::string PeerHostName() = 0;
  virtual std::string OwnAddress() = 0;
  virtual std::string OwnHostName() = 0;
  virtual int OwnPort() = 0;
  // True while so much output waits unsent that nothing more may be dispatched for the
  // connection; the transport raises a read event again once it has drained.
  virtual bool OutputFull() { return false; }
  // Told after each read event: what the connection now waits for, and whether that wait began
  // afresh (a new head after an answer, or more of a body arrived).
  virtual void WaitingFor(TClientWait /*what*/, bool /*restart*/) {}
  // While held, the connection gets no read event and its client's end is not acted on; what it
  // has queued still goes out. Let go, it is owed a read event when bytes it sent wait unscanned.
  virtual void HoldReading(bool /*hold*/) {}

  // The slot for this connection's record, filled by mParserList. Record holds the request-time
  // state and is let go between requests; what must outlive it sits beside it, in raw form, so
  // that an idle keep-alive connection costs a few bytes here instead of a record.
  std::unique_ptr<mParser> Record;
  uint32_t RecordAddress = 0;  // RemoteAddr as its four numbers
  uint16_t RecordPort = 0;     // RemotePort as a number
  uint8_t RecordState = 0;     // mParserList's bits
};

// The live connections' records. Each sits in its connection's slot, so finding it costs
// nothing; the list keeps their number (the statistics' active connections). A record is listed
// from Add to Remove; its request-time part is made when it is first asked for and let go by
// Release while no request is in flight.
class mParserList {
 public:
  mParserList();
  mParserList(const mParserList&) = delete;
  mParserList& operator=(const mParserList&) = delete;

  // The connection's live record; null before Add and after Remove (and when memory runs out).
  mParser* Find(TCustomWinSocket* socket);
  // Lists the connection and gives its record; null when memory runs out.
  [[nodiscard]] mParser* Add(TCustomWinSocket* socket);
  // Lists the connection with its client's address and port texts, without making its
  // request-time part yet; false when memory runs out.
  [[nodiscard]] bool Add(TCustomWinSocket* socket, const std::string& remoteAddr,
                         const std::string& remotePort);
  // Marks the connection's record dead; its connection frees it.
  void Remove(TCustomWinSocket* socket);
  // Lets the record's request-time part go when it holds nothing of a request: no byte of a
  // next request, nothing held back, no close pending.
  void Release(TCustomWinSocket* socket);
  [[nodiscard]] int Count() const { return FCount; }

 private:
  int FCount = 0;
  // Records let go between requests, cleared but with their buffers, for the next connection
  // that needs one: a keep-alive request then allocates nothing for its record.
  std::vector<std::unique_ptr<mParser>> FSpare;
};

// The server's fields as the request path reads and writes them; the server object (app/) adds
// the listening socket and the event handlers.
class TServerState {
 public:
  // Runtime state.
  std::unique_ptr<mParserList> Parsers;  // the connection list
  std::string LogFileName;
  int64_t LogRotateBytes = kLogRotateBytes;  // tests set it small
  std::string ProgramDir;  // where the log, the hive and the CGI temporary files live

  // Settings and counters, in the order the server object declares them. A setting keeps its
  // stored value's terse name (HKLM.reg); the comment says what it means.
  std::string RC;     // server root: the local folder that "/" maps to
  std::string ICURL;  // style-sheet address for generated folder pages
  bool LS = true;     // log sessions (start and end records)
  bool LC = true;     // log connections
  bool LF = false;    // log the requested files
  bool LH = false;    // log the clients' request headers
  int32_t ConnectCount = 0;
  int32_t RequestCount = 0;
  int32_t ErrorCount = 0;
  int32_t BannedCount = 0;
  std::vector<std::string> MimeTable;
  int32_t L = 1;     // interface language: 0 Russian, 1 English, 2 Belarusian, 3 Serbian
  bool SRS = true;   // show live statistics in the main window
  bool SCC = true;   // list a folder's contents when it has no index file
  bool HOS = false;  // start hidden in the tray
  bool LD = false;   // log debug information
  bool LRH = false;  // log the clients' host names
  std::vector<std::string> WrongIPs;  // banned address masks
  bool UIPF = false;                  // refuse clients that match a mask of WrongIPs
  bool SSH = false;                   // send the "Server:" header
  bool ECGI = true;                   // CGI enabled
  bool USCGIF = false;                // the CGI folder is the separate local folder SCGIF
  bool DNICGI = false;                // refuse files in the CGI folder that are not programs
  bool DPAF = true;                   // names beginning with "." are inaccessible
  bool AEASC = true;   // report every HTTP error as a status code (else text under 200)
  bool DIPIV = false;  // give CGI programs the client's address again, in variable DIPV
  std::string CGID;    // URL path of the CGI folder
  std::string SCGIF;   // that separate local CGI folder
  std::string DIPV;    // the name of DIPIV's variable
  std::vector<std::string> CGIAssoc;  // "ext,ext:interpreter" script associations
  std::vector<std::string> Roots;     // root folders kept in the options dialog's list
  bool SuppressLanguageSave = false;
  std::unique_ptr<TRegistry> Registry;
  // Set when the stored settings could not be read: the root and the limits they hold are not
  // known, so every path answers as missing until the options dialog saves settings again.
  bool ServeNothing = false;

  // The CGI environment block, rebuilt for every run.
  std::vector<char> CgiEnvironment;
  // Set where an event loop runs the server: calls onReady once, from the loop, when fd (a
  // program's process descriptor; -1 for none) is readable or timeoutMs have passed, whichever
  // comes first. Unset, a program is waited for in place.
  std::function<void(int fd, int timeoutMs, std::function<void()> onReady)> WatchProgram;
  // The program that runs and the requests waiting for their turn; made by the first of them.
  std::shared_ptr<TCgiQueue> CgiQueue;
  std::unique_ptr<TFileFacts> Facts;  // what requests learned of the disk; null: ask every time
  // Request bodies all records together may hold in memory; a program's body that would pass it
  // goes to a file instead (tests set it small).
  int64_t MaxHeldBodyBytes = kMaxHeldBodyBytes;
};
