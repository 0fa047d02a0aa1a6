// Fuzzes the request path end to end: arbitrary bytes, split at a chosen point, go through
// request assembly, parsing and dispatch over a fake connection; the same bytes also go through
// the URL mapping, the query decoder, the address filter, and the Range and date readers.
//
// Input layout: byte 0 picks the split point, byte 1 the settings variant, the rest is the data.
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "content/MimeTypes.h"
#include "content/UrlMap.h"
#include "core/ServerCore.h"
#include "filter/IpFilter.h"
#include "http/Conditional.h"
#include "http/HttpDate.h"
#include "http/Request.h"
#include "settings/Settings.h"
#include "support/FakeSocket.h"
#include "support/TestSupport.h"

namespace {

// A document root with a few files and folders, a separate CGI folder, and the log beside them.
struct TFuzzWorld {
  TempDir Dir;  // declared first, so it goes last, after the server
  TServerCore Server;

  TFuzzWorld() {
    const std::string root = Dir / "www";
    for (const std::string& folder : {root, root + "/docs", root + "/docs/sub", root + "/cgi-bin",
                                      root + "/old.site", Dir / "cgi"})
      if (mkdir(folder.c_str(), 0755) != 0) std::abort();
    WriteFile(root + "/index.html", "<html><body>home</body></html>\n");
    WriteFile(root + "/a b.txt", "plain text\n");
    WriteFile(root + "/docs/readme", "no extension\n");
    WriteFile(root + "/docs/style.css", "body{}\n");
    WriteFile(root + "/docs/.hidden", "dot file\n");
    WriteFile(root + "/old.site/page.htm", "<p>old</p>\n");
    WriteFile(root + "/cgi-bin/notes.txt", "not a program\n");
    WriteFile(root + "/\xD0\x9F\xD1\x80\xD0\xB8.txt", "cyrillic name\n");
    WriteFile(Dir / "cgi/data.txt", "cgi folder\n");

    Server.ProgramDir = Dir.Path();
    Server.LogFileName = Dir / "brevoxa.log";
    AssignDefaultSettings(Server);
    FillMimeTable(Server.MimeTable);
    Server.RC = root;
    Server.SCGIF = Dir / "cgi";
    Server.WrongIPs = {"10.*.*.*", "192.168.1.1-192.168.1.9"};
  }

  // Settings that change which branches run; every one is set on every input.
  void Vary(uint8_t bits) {
    Server.USCGIF = bits & 1;
    Server.CGID = (bits & 2) ? "" : "/cgi-bin/";
    Server.DIPIV = bits & 4;
    Server.DIPV = "HTTP_X_FORWARDED_FOR";
    Server.ECGI = !(bits & 8);
    Server.AEASC = !(bits & 16);
    Server.DPAF = !(bits & 32);
    Server.LF = Server.LD = Server.LH = bits & 64;
    Server.RC = Dir / "www";
  }
};

TFuzzWorld& World() {
  static TFuzzWorld world;
  return world;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  TFuzzWorld& world = World();
  TServerCore& server = world.Server;
  world.Vary(data[1]);
  const char* bytes = reinterpret_cast<const char*>(data + 2);
  const size_t length = size - 2;
  const size_t split = length == 0 ? 0 : data[0] % (length + 1);

  {
    TFakeSocket socket;
    socket.Address = "127.0.0.1";
    socket.Port = 40000;
    socket.HostName = "localhost";
    socket.LocalHostName = "fuzzhost";
    auto record = std::make_unique<mParser>();
    record->Socket = &socket;
    record->RemoteAddr = "127.0.0.1";
    record->RemotePort = "40000";
    ConsumeInput(server, record.get(), bytes, static_cast<int>(split));
    ConsumeInput(server, record.get(), bytes + split, static_cast<int>(length - split));
  }

  const std::string text(bytes, length);
  // Only that nothing crashes or leaks counts here, not what comes back.
  (void)UrlToLocalPath(server, text, data[0] & 1);
  (void)DecodeQueryText(text);
  (void)HasWrongChars(text, data[0] & 2);
  int64_t first = 0, last = 0, when = 0;
  ParseByteRange(text, static_cast<int64_t>(split), first, last);
  ParseHttpDate(text, when);
  (void)server.TestWrongIP(text.substr(0, split), text.substr(split));
  for (const std::string& mask : server.WrongIPs) (void)server.TestWrongIP(text, mask);
  // The mappings once more under the root "/", which joins differently; no file is touched.
  for (const std::string& root : {world.Dir / "www", std::string("/")}) {
    server.RC = root;
    std::string folder = UrlToLocalPath(server, text.substr(0, split), data[1] & 1);
    LocalPathToUrl(server, folder, text.substr(split));
  }
  server.RC = world.Dir / "www";

  // The log would otherwise grow by a few records per input for the whole run.
  static unsigned runs = 0;
  if (++runs % 4096 == 0) truncate(server.LogFileName.c_str(), 0);
  return 0;
}
