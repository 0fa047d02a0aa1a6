// Fuzzes the request path end to end: arbitrary bytes, split at a chosen point, go through
// request assembly, parsing and dispatch over a fake connection; the same bytes also go through
// the URL mapping, the query decoder, the address filter, and the Range and date readers.
//
// Input layout: byte 0 picks the split point, byte 1 the settings variant, the rest is the data.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "app/ServerCore.h"
#include "content/MimeTypes.h"
#include "content/UrlMap.h"
#include "filter/IpFilter.h"
#include "http/Conditional.h"
#include "http/Request.h"
#include "platform/Streams.h"
#include "settings/Settings.h"

namespace {

class TFuzzSocket : public TCustomWinSocket {
 public:
  size_t Written = 0;
  int AvailableBytes() override { return 0; }
  int ReadBytes(void*, int) override { return 0; }
  void WriteText(const std::string& text) override { Written += text.size(); }
  void WriteStream(std::unique_ptr<TStream> stream) override {
    // Read it through, as the transport would, so that the file side runs as well.
    // Bounded, in case a mapping ever reached a file that never ends.
    char buffer[4096];
    int n;
    size_t left = 1 << 20;
    while (left > 0 && (n = stream->Read(buffer, sizeof buffer)) > 0) {
      Written += static_cast<size_t>(n);
      left -= std::min(left, static_cast<size_t>(n));
    }
  }
  void Close() override {}
  std::string PeerAddress() override { return "127.0.0.1"; }
  int PeerPort() override { return 40000; }
  std::string PeerHostName() override { return "localhost"; }
  std::string OwnAddress() override { return "127.0.0.1"; }
  std::string OwnHostName() override { return "fuzzhost"; }
  int OwnPort() override { return 80; }
};

// A document root with a few files and folders, a separate CGI folder, and the log beside them.
struct TFuzzWorld {
  std::string Dir;
  TServerCore Server;

  TFuzzWorld() {
    char pattern[] = "/tmp/brevoxa-fuzz-XXXXXX";
    const char* made = mkdtemp(pattern);
    if (!made) std::abort();
    Dir = made;
    const std::string root = Dir + "/www";
    for (const std::string folder : {root, root + "/docs", root + "/docs/sub", root + "/cgi-bin",
                                     root + "/old.site", Dir + "/cgi"})
      if (mkdir(folder.c_str(), 0755) != 0) std::abort();
    Put(root + "/index.html", "<html><body>home</body></html>\n");
    Put(root + "/a b.txt", "plain text\n");
    Put(root + "/docs/readme", "no extension\n");
    Put(root + "/docs/style.css", "body{}\n");
    Put(root + "/docs/.hidden", "dot file\n");
    Put(root + "/old.site/page.htm", "<p>old</p>\n");
    Put(root + "/cgi-bin/notes.txt", "not a program\n");
    Put(root + "/\xD0\x9F\xD1\x80\xD0\xB8.txt", "cyrillic name\n");
    Put(Dir + "/cgi/data.txt", "cgi folder\n");

    Server.ProgramDir = Dir;
    Server.LogFileName = Dir + "/brevoxa.log";
    AssignDefaultSettings(Server);
    FillMimeTable(Server.MimeTable);
    Server.RC = root;
    Server.SCGIF = Dir + "/cgi";
    Server.WrongIPs = {"10.*.*.*", "192.168.1.1-192.168.1.9"};
  }

  static void Put(const std::string& path, const std::string& text) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) std::abort();
    std::fwrite(text.data(), 1, text.size(), f);
    std::fclose(f);
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
    Server.RC = Dir + "/www";
  }
};

TFuzzWorld& World() {
  static TFuzzWorld* world = [] {
    auto* made = new TFuzzWorld;
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(World().Dir, ec);
    });
    return made;
  }();
  return *world;
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
    TFuzzSocket socket;
    auto record = std::make_unique<mParser>();
    record->Socket = &socket;
    record->RemoteAddr = "127.0.0.1";
    record->RemotePort = "40000";
    ConsumeInput(server, record.get(), bytes, static_cast<int>(split));
    ConsumeInput(server, record.get(), bytes + split, static_cast<int>(length - split));
  }

  const std::string text(bytes, length);
  UrlToLocalPath(server, text, data[0] & 1);
  DecodeQueryText(text);
  HasWrongChars(text, data[0] & 2);
  int64_t first = 0, last = 0, when = 0;
  ParseByteRange(text, static_cast<int64_t>(split), first, last);
  ParseHttpDate(text, when);
  server.TestWrongIP(text.substr(0, split), text.substr(split));
  for (const std::string& mask : server.WrongIPs) server.TestWrongIP(text, mask);
  // The mappings once more under the root "/", which joins differently; no file is touched.
  for (const std::string root : {world.Dir + "/www", std::string("/")}) {
    server.RC = root;
    std::string folder = UrlToLocalPath(server, text.substr(0, split), data[1] & 1);
    LocalPathToUrl(server, folder, text.substr(split));
  }
  server.RC = world.Dir + "/www";

  // The log would otherwise grow by a few records per input for the whole run.
  static unsigned runs = 0;
  if (++runs % 4096 == 0) truncate(server.LogFileName.c_str(), 0);
  return 0;
}
