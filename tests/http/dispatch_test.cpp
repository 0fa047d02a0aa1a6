// Dispatch: raw request in, the exact writes on the connection out.
#include "http/Dispatch.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "content/Index.h"
#include "content/MimeTypes.h"
#include "content/UrlMap.h"
#include "core/ServerCore.h"
#include "http/HttpDate.h"
#include "http/Parse.h"
#include "support/FakeSocket.h"
#include "support/TestSupport.h"

namespace {

// What the dispatcher handed to the connection, in order.
// The connection of the requests below: a client on this machine.
class FakeSocket : public TFakeSocket {
 public:
  FakeSocket() {
    Address = "127.0.0.1";
    Port = 5000;
    HostName = "";
    LocalHostName = "localhost";
  }
};

// Marks a file the way Samba keeps DOS attributes; false where the file system has no user
// extended attributes.
bool SetDosAttrib(const std::string& path, const char* value) {
  return setxattr(path.c_str(), "user.DOSATTRIB", value, std::char_traits<char>::length(value),
                  0) == 0;
}

bool EndsWith(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

void SetMtime(const std::string& path, int64_t unixTime) {
  timespec times[2];
  times[0].tv_sec = times[1].tv_sec = static_cast<time_t>(unixTime);
  times[0].tv_nsec = times[1].tv_nsec = 0;
  ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

constexpr int64_t k5Jan2016 = 1451989230;  // Tue, 05 Jan 2016 10:20:30 UTC
const std::string k40Bytes = "0123456789abcdefghijklmnopqrstuvwxyzABCD";
const std::string kFileHead =
    "HTTP/1.1 200 OK\nContent-Type: text/plain\nLast-Modified: Tue, 05 Jan 2016 10:20:30 "
    "GMT\nContent-Length: 40\n\n";

class DispatchTest : public ::testing::Test {
 protected:
  TempDir Tmp;
  std::string Root;
  TServerCore Server;
  FakeSocket Socket;
  mParser P;

  void SetUp() override {
    Root = Tmp / "www";
    mkdir(Root.c_str(), 0755);
    Server.RC = Root;
    Server.LogFileName = Tmp / "brevoxa.log";
    Server.CGID = "/cgi-bin/";
    FillMimeTable(Server.MimeTable);
    WriteFile(Root + "/a.txt", k40Bytes);
    SetMtime(Root + "/a.txt", k5Jan2016);
    mkdir((Root + "/dir").c_str(), 0755);
  }

  // The head as the assembly hands it over: CR removed, ending in the blank line.
  void Dispatch(const std::string& head, const std::string& body = "") {
    P = mParser{};
    P.Socket = &Socket;
    P.RemoteAddr = "127.0.0.1";
    P.RemotePort = "5000";
    P.HeaderText = head;
    P.HeaderLength = static_cast<int32_t>(head.size());
    P.HeadersComplete = true;
    ParseRequest(Server, &P);
    P.Body = body;
    P.BodyLength = static_cast<int32_t>(body.size());
    P.RequestComplete = true;
    DispatchRequest(Server, &P);
  }

  std::string Log() { return ReadFile(Server.LogFileName); }
};

struct TCase {
  const char* Name;
  std::string Request;
  std::vector<std::string> Texts;  // the WriteText calls, in order
  bool Closes;
};

// Text answers: every write is text, and the exact bytes are known.
TEST_F(DispatchTest, TextAnswersAreExact) {
  const std::string kRedirectTo = "http://www.example.com:8080/dir/";
  const std::vector<TCase> cases = {
      {"missing_is_404",
       "GET /missing HTTP/1.1\nHost: x\n\n",
       {"HTTP/1.1 404 Not found\nContent-Length: 0\n\n"},
       false},
      {"folder_redirect_lowercases_host_keeps_port",
       "GET /dir HTTP/1.1\nHost: WWW.Example.COM:8080\n\n",
       {"HTTP/1.1 301 Redirect\nContent-Type: text/html\nLocation: " + kRedirectTo +
        "\nContent-Length: " +
        std::to_string(std::string("<html><head><title>Redirect</title></head><body>Redirecting to "
                                   "<a href=''></a></body></html>")
                           .size() +
                       2 * kRedirectTo.size()) +
        "\n\n<html><head><title>Redirect</title></head><body>Redirecting to <a href='" +
        kRedirectTo + "'>" + kRedirectTo + "</a></body></html>"},
       false},
      {"folder_redirect_puts_slash_before_query",
       "GET /dir?x=1 HTTP/1.1\nHost: h\n\n",
       {"HTTP/1.1 301 Redirect\nContent-Type: text/html\nLocation: http://h/dir/?x=1\n"
        "Content-Length: 126\n\n<html><head><title>Redirect</title></head><body>Redirecting to "
        "<a href='http://h/dir/?x=1'>http://h/dir/?x=1</a></body></html>"},
       false},
      {"empty_target_redirects_to_root",
       "GET  HTTP/1.1\nHost: h\n\n",
       {"HTTP/1.1 301 Redirect\nContent-Type: text/html\nLocation: http://h/\nContent-Length: 110"
        "\n\n<html><head><title>Redirect</title></head><body>Redirecting to <a "
        "href='http://h/'>http://h/</a></body></html>"},
       false},
      {"options_allow_line",
       "OPTIONS /a.txt HTTP/1.1\n\n",
       {"HTTP/1.1 200 OK\nAllow: OPTIONS, HEAD, GET, POST\nContent-Length: 0\n\n"},
       false},
      {"delete_head_and_body_in_two_writes",
       "DELETE /a.txt HTTP/1.1\n\n",
       {"HTTP/1.1 405 Method not supported\nContent-Type: text/plain\nAllow: OPTIONS, HEAD, GET, "
        "POST\nContent-Length: 54\n\n",
        "SORRY. Method 'DELETE' is not supported by the server."},
       false},
      {"put_is_405",
       "PUT /a.txt HTTP/1.1\n\n",
       {"HTTP/1.1 405 Method not supported\nContent-Type: text/plain\nAllow: OPTIONS, HEAD, GET, "
        "POST\nContent-Length: 51\n\n",
        "SORRY. Method 'PUT' is not supported by the server."},
       false},
      {"unknown_method_501",
       "BREW /a.txt HTTP/1.1\n\n",
       {"HTTP/1.1 501 Unknown method\nContent-Length: 0\n\n"},
       false},
      {"lower_case_get_is_unknown",
       "get /a.txt HTTP/1.1\n\n",
       {"HTTP/1.1 501 Unknown method\nContent-Length: 0\n\n"},
       false},
      {"http2_is_505_and_stays_open",
       "GET /a.txt HTTP/2.0\n\n",
       {"HTTP/1.1 505 Too big HTTP version in request\nContent-Type: text/plain\nContent-Length: "
        "64\n\nWRONG PROTOCOL VERSION\nServer supports only HTTP/1.1 and earlier"},
       false},
      {"http09_is_400_and_closes",
       "GET /a.txt HTTP/0.9\n\n",
       {"HTTP/1.0 400 Bad HTTP version in request\nContent-Length: 0\n\n"},
       true},
      {"post_over_2000_is_413",
       "POST /a.txt HTTP/1.1\nContent-Length: 2001\n\n",
       {"HTTP/1.1 413 Too big request entity\nConnection: close\nContent-Length: 0\n\n"},
       true},
      {"body_over_64MiB_is_413_too",
       "POST /a.txt HTTP/1.1\nContent-Length: 67108865\n\n",
       {"HTTP/1.1 413 Too big request entity\nConnection: close\nContent-Length: 0\n\n"},
       true},
      {"hidden_dot_file_is_404",
       "GET /.hidden HTTP/1.1\n\n",
       {"HTTP/1.1 404 Not found\nContent-Length: 0\n\n"},
       false},
      {"connection_close_on_error",
       "GET /missing HTTP/1.1\nConnection: Close\n\n",
       {"HTTP/1.1 404 Not found\nConnection: close\nContent-Length: 0\n\n"},
       true},
      {"http10_error_closes_without_line",
       "GET /missing HTTP/1.0\n\n",
       {"HTTP/1.0 404 Not found\nContent-Length: 0\n\n"},
       true},
  };
  WriteFile(Root + "/.hidden", "secret");
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    Socket.Writes.clear();
    Dispatch(c.Request);
    ASSERT_EQ(Socket.Writes.size(), c.Texts.size());
    for (size_t i = 0; i < c.Texts.size(); ++i) {
      EXPECT_FALSE(Socket.Writes[i].IsStream);
      EXPECT_EQ(Socket.Writes[i].Data, Wire(c.Texts[i]));
    }
    EXPECT_EQ(P.CloseConnection, c.Closes);
  }
}

TEST_F(DispatchTest, ErrorsAsTextWhenStatusCodesAreOff) {
  Server.AEASC = false;
  Server.SCC = false;
  mkdir((Root + "/idx").c_str(), 0755);
  mkdir((Root + "/idx/index.html").c_str(), 0755);
  const std::vector<TCase> cases = {
      {"missing_59_bytes",
       "GET /missing HTTP/1.1\n\n",
       {"HTTP/1.1 200 OK\nContent-Type: text/plain\nContent-Length: 59\n\n/missing\nSORRY.\n\nThe "
        "resource with given name doesnt exist."},
       false},
      {"no_index_keeps_its_own_text",
       "GET /dir/ HTTP/1.1\n\n",
       {"HTTP/1.1 200 OK\nContent-Type: text/plain\nContent-Length: 28\n\n/dir/\ndoesn`t have an "
        "index."},
       false},
      {"unopenable_index_is_internal_error",
       "GET /idx/ HTTP/1.1\n\n",
       {"HTTP/1.1 200 OK\nContent-Type: text/plain\nContent-Length: 21\n\nINTERNAL SERVER ERROR"},
       false},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.Name);
    Socket.Writes.clear();
    Dispatch(c.Request);
    ASSERT_EQ(Socket.Writes.size(), 1u);
    EXPECT_EQ(Socket.Writes[0].Data, Wire(c.Texts[0]));
  }
}

TEST_F(DispatchTest, SmallStaticFileGoesOutWithItsHead) {
  struct {
    const char* Name;
    std::string Request;
    std::string Head;
    bool Closes;
  } cases[] = {
      {"http11_stays_open", "GET /a.txt HTTP/1.1\n\n", kFileHead, false},
      {"connection_close_line_after_last_modified", "GET /a.txt HTTP/1.1\nConnection: close\n\n",
       "HTTP/1.1 200 OK\nContent-Type: text/plain\nLast-Modified: Tue, 05 Jan 2016 10:20:30 "
       "GMT\nConnection: close\nContent-Length: 40\n\n",
       true},
      {"http10_closes_without_connection_line", "GET /a.txt HTTP/1.0\n\n",
       "HTTP/1.0 200 OK\nContent-Type: text/plain\nLast-Modified: Tue, 05 Jan 2016 10:20:30 "
       "GMT\nContent-Length: 40\n\n",
       true},
      {"http10_keep_alive_stays_open", "GET /a.txt HTTP/1.0\nConnection: Keep-Alive\n\n",
       "HTTP/1.0 200 OK\nContent-Type: text/plain\nLast-Modified: Tue, 05 Jan 2016 10:20:30 "
       "GMT\nContent-Length: 40\n\n",
       false},
      {"post_of_2000_bytes_is_served", "POST /a.txt HTTP/1.1\nContent-Length: 2000\n\n", kFileHead,
       false},
      {"invalid_length_keeps_400_and_serves", "GET /a.txt HTTP/1.1\nContent-Length: 12abc\n\n",
       "HTTP/1.1 400 Error\nContent-Type: text/plain\nLast-Modified: Tue, 05 Jan 2016 10:20:30 "
       "GMT\nConnection: close\nContent-Length: 40\n\n",
       true},
      {"negative_length_is_refused_alike", "GET /a.txt HTTP/1.1\nContent-Length: -5\n\n",
       "HTTP/1.1 400 Error\nContent-Type: text/plain\nLast-Modified: Tue, 05 Jan 2016 10:20:30 "
       "GMT\nConnection: close\nContent-Length: 40\n\n",
       true},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    Socket.Writes.clear();
    Dispatch(c.Request,
             c.Name == std::string("post_of_2000_bytes_is_served") ? std::string(2000, 'x') : "");
    ASSERT_EQ(Socket.Writes.size(), 1u);
    EXPECT_FALSE(Socket.Writes[0].IsStream);
    EXPECT_EQ(Socket.Writes[0].Data, Wire(c.Head) + k40Bytes);
    EXPECT_EQ(P.CloseConnection, c.Closes);
    EXPECT_EQ(P.LastModified, "Tue, 05 Jan 2016 10:20:30 GMT");
  }
  // Every stream response to GET or POST leaves its head in the log.
  EXPECT_NE(Log().find("ResponceString==HTTP/1.1 200 OK\n\nResponceHead==Content-Type: "
                       "text/plain\nLast-Modified: Tue, 05 Jan 2016 10:20:30 GMT\nContent-Length: "
                       "40\n\n"),
            std::string::npos);
}

// A body of up to 64 KiB leaves with its head in one write (one send); a larger one stays a
// stream the transport sends from the file at its offset.
TEST_F(DispatchTest, BodyUpTo64KiBJoinsItsHeadLargerOnesStayStreams) {
  constexpr size_t k64KiB = 64 * 1024;
  std::string data(k64KiB + 2, '\0');
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>('a' + i % 26);
  WriteFile(Root + "/limit.bin", data.substr(0, k64KiB));
  WriteFile(Root + "/over.bin", data);
  struct {
    const char* Name;
    std::string Request;
    std::string Body;
    bool Joined;
  } cases[] = {
      {"exactly_64_KiB", "GET /limit.bin HTTP/1.1\n\n", data.substr(0, k64KiB), true},
      {"above_64_KiB", "GET /over.bin HTTP/1.1\n\n", data, false},
      {"range_of_64_KiB_from_a_larger_file", "GET /over.bin HTTP/1.1\nRange: bytes=2-\n\n",
       data.substr(2), true},
      {"range_above_64_KiB", "GET /over.bin HTTP/1.1\nRange: bytes=1-\n\n", data.substr(1), false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    Socket.Writes.clear();
    Dispatch(c.Request);
    const std::string length = "Content-Length: " + std::to_string(c.Body.size()) + "\r\n\r\n";
    ASSERT_EQ(Socket.Writes.size(), c.Joined ? 1u : 2u);
    EXPECT_FALSE(Socket.Writes[0].IsStream);
    const std::string& head = Socket.Writes[0].Data;
    const size_t bodyAt = head.find(length);
    ASSERT_NE(bodyAt, std::string::npos);
    EXPECT_EQ(head.size(), bodyAt + length.size() + (c.Joined ? c.Body.size() : 0));
    if (c.Joined) {
      EXPECT_TRUE(head.compare(bodyAt + length.size(), std::string::npos, c.Body) == 0);
    } else {
      EXPECT_TRUE(Socket.Writes[1].IsHandleStream);
      EXPECT_TRUE(Socket.Writes[1].Data == c.Body);
    }
  }
}

// Ranges and conditions change only a static file that would go out whole with 200.
TEST_F(DispatchTest, RangesAndConditionsOfAStaticFile) {
  const std::string lm = "Last-Modified: Tue, 05 Jan 2016 10:20:30 GMT\n";
  const std::string partial = "HTTP/1.1 206 Partial Content\nContent-Type: text/plain\n";
  const std::string notModified = "HTTP/1.1 304 Not Modified\n" + lm;
  struct {
    const char* Name;
    std::string Request;
    std::string Head;
    const char* Body;  // what the stream gives; nullptr: no stream
  } cases[] = {
      {"first_to_last", "GET /a.txt HTTP/1.1\nRange: bytes=10-19\n\n",
       partial + "Content-Range: bytes 10-19/40\n" + lm + "Content-Length: 10\n\n", "abcdefghij"},
      {"open_end", "GET /a.txt HTTP/1.1\nRange: bytes=36-\n\n",
       partial + "Content-Range: bytes 36-39/40\n" + lm + "Content-Length: 4\n\n", "ABCD"},
      {"suffix", "GET /a.txt HTTP/1.1\nRange: bytes=-3\n\n",
       partial + "Content-Range: bytes 37-39/40\n" + lm + "Content-Length: 3\n\n", "BCD"},
      {"http10_closes_after_the_part", "GET /a.txt HTTP/1.0\nRange: bytes=0-0\n\n",
       "HTTP/1.0 206 Partial Content\nContent-Type: text/plain\nContent-Range: bytes 0-0/40\n" +
           lm + "Content-Length: 1\n\n",
       "0"},
      {"start_past_the_end", "GET /a.txt HTTP/1.1\nRange: bytes=40-\n\n",
       "HTTP/1.1 416 Range Not Satisfiable\nContent-Range: bytes */40\n" + lm +
           "Content-Length: 0\n\n",
       nullptr},
      {"if_range_same_date",
       "GET /a.txt HTTP/1.1\nRange: bytes=0-1\nIf-Range: " + lm.substr(15) + "\n",
       partial + "Content-Range: bytes 0-1/40\n" + lm + "Content-Length: 2\n\n", "01"},
      {"if_range_other_date",
       "GET /a.txt HTTP/1.1\nRange: bytes=0-1\nIf-Range: Wed, 06 Jan 2016 "
       "10:20:30 GMT\n\n",
       kFileHead, k40Bytes.c_str()},
      {"if_range_entity_tag", "GET /a.txt HTTP/1.1\nRange: bytes=0-1\nIf-Range: \"x\"\n\n",
       kFileHead, k40Bytes.c_str()},
      {"two_ranges", "GET /a.txt HTTP/1.1\nRange: bytes=0-1,4-5\n\n", kFileHead, k40Bytes.c_str()},
      {"other_unit", "GET /a.txt HTTP/1.1\nRange: items=0-1\n\n", kFileHead, k40Bytes.c_str()},
      {"head_has_no_ranges", "HEAD /a.txt HTTP/1.1\nRange: bytes=0-1\n\n", kFileHead, nullptr},
      {"post_has_no_ranges", "POST /a.txt HTTP/1.1\nRange: bytes=0-1\n\n", kFileHead,
       k40Bytes.c_str()},
      {"not_modified_same_text",
       "GET /a.txt HTTP/1.1\nIf-Modified-Since: Tue, 05 Jan 2016 10:20:30 GMT\n\n",
       notModified + "\n", nullptr},
      {"not_modified_later_date",
       "GET /a.txt HTTP/1.1\nIf-Modified-Since: Sunday, 10-Jan-16 00:00:00 GMT\n\n",
       notModified + "\n", nullptr},
      {"head_not_modified",
       "HEAD /a.txt HTTP/1.1\nIf-Modified-Since: Tue, 05 Jan 2016 10:20:30 GMT\n\n",
       notModified + "\n", nullptr},
      {"not_modified_before_range",
       "GET /a.txt HTTP/1.1\nRange: bytes=0-1\nIf-Modified-Since: Tue, 05 Jan 2016 10:20:30 "
       "GMT\nConnection: close\n\n",
       notModified + "Connection: close\n\n", nullptr},
      {"modified_since_earlier_date",
       "GET /a.txt HTTP/1.1\nIf-Modified-Since: Tue, 05 Jan 2016 10:20:29 GMT\n\n", kFileHead,
       k40Bytes.c_str()},
      {"unparsable_date", "GET /a.txt HTTP/1.1\nIf-Modified-Since: yesterday\n\n", kFileHead,
       k40Bytes.c_str()},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    Socket.Writes.clear();
    Dispatch(c.Request);
    ASSERT_EQ(Socket.Writes.size(), 1u);
    EXPECT_EQ(Socket.Writes[0].Data, Wire(c.Head) + (c.Body ? c.Body : ""));
  }
  // A part is logged like a whole file, with its own head and LF; nothing counts as an error.
  EXPECT_NE(
      Log().find("ResponceString==HTTP/1.1 206 Partial Content\n\nResponceHead==Content-Type: "
                 "text/plain\nContent-Range: bytes 10-19/40\n" +
                 lm + "Content-Length: 10\n\n"),
      std::string::npos);
  EXPECT_EQ(Server.ErrorCount, 0);

  // A 304 keeps the Server line; a generated page ignores ranges and dates.
  Server.SSH = true;
  Socket.Writes.clear();
  Dispatch("GET /a.txt HTTP/1.1\nIf-Modified-Since: Tue, 05 Jan 2016 10:20:30 GMT\n\n");
  ASSERT_EQ(Socket.Writes.size(), 1u);
  EXPECT_EQ(Socket.Writes[0].Data, Wire(notModified + "Server: Vyn_Brevoxa/1.1\n\n"));
  Socket.Writes.clear();
  Dispatch(
      "GET /dir/ HTTP/1.1\nRange: bytes=0-1\nIf-Modified-Since: Tue, 05 Jan 2016 10:20:30 "
      "GMT\n\n");
  ASSERT_EQ(Socket.Writes.size(), 1u);
  EXPECT_EQ(Socket.Writes[0].Data.rfind(Wire("HTTP/1.1 200 OK\n"), 0), 0u);
}

TEST_F(DispatchTest, HeadSendsTheHeadAndClosesTheFileAtOnce) {
  int before = OpenDescriptors();
  Dispatch("HEAD /a.txt HTTP/1.1\n\n");
  ASSERT_EQ(Socket.Writes.size(), 1u);
  EXPECT_EQ(Socket.Writes[0].Data, Wire(kFileHead));
  EXPECT_EQ(OpenDescriptors(), before);
}

// A 32-bit length would announce a negative size for a file of 3 GiB.
TEST_F(DispatchTest, FileOver2GiBAnnouncesItsTrueLength) {
  const std::string big = Root + "/big.bin";
  int fd = open(big.c_str(), O_CREAT | O_WRONLY | O_CLOEXEC, 0644);
  ASSERT_GE(fd, 0);
  bool sized = ftruncate(fd, int64_t{3} << 30) == 0;  // sparse: costs no disk space
  close(fd);
  if (!sized) GTEST_SKIP() << "no large files here";
  SetMtime(big, k5Jan2016);
  const std::string head =
      "HTTP/1.1 200 OK\nContent-Type: application/octet-stream\nLast-Modified: Tue, 05 Jan 2016 "
      "10:20:30 GMT\nContent-Length: 3221225472\n\n";
  Dispatch("HEAD /big.bin HTTP/1.1\n\n");
  ASSERT_EQ(Socket.Writes.size(), 1u);
  EXPECT_EQ(Socket.Writes[0].Data, Wire(head));
  Socket.Writes.clear();
  Dispatch("GET /big.bin HTTP/1.1\n\n");
  ASSERT_EQ(Socket.Writes.size(), 2u);
  EXPECT_EQ(Socket.Writes[0].Data, Wire(head));
  EXPECT_EQ(Socket.Writes[1].Data, "<3221225472 bytes>");
}

TEST_F(DispatchTest, ServerLineComesLast) {
  Server.SSH = true;
  Dispatch("OPTIONS * HTTP/1.1\nConnection: close\n\n");
  ASSERT_EQ(Socket.Writes.size(), 1u);
  EXPECT_EQ(Socket.Writes[0].Data,
            Wire("HTTP/1.1 200 OK\nAllow: OPTIONS, HEAD, GET, POST\nConnection: close\nServer: "
                 "Vyn_Brevoxa/1.1\nContent-Length: 0\n\n"));
}

TEST_F(DispatchTest, DotFileServedOnlyWhenAllowed) {
  WriteFile(Root + "/.hidden", "secret");
  Server.DPAF = false;
  Dispatch("GET /.hidden HTTP/1.1\n\n");
  ASSERT_EQ(Socket.Writes.size(), 1u);
  EXPECT_TRUE(EndsWith(Socket.Writes[0].Data, "\r\n\r\nsecret"));
}

TEST_F(DispatchTest, FolderWithoutIndex) {
  WriteFile(Root + "/dir/f.txt", "abc");
  // With listings on, the page itself is the body.
  std::string page = BuildCatalogPage(Server, Root + "/dir");
  EXPECT_NE(page.find("f.txt"), std::string::npos);
  // A query does not hide the folder's '/'.
  for (const char* target : {"/dir/", "/dir/?x=1"}) {
    SCOPED_TRACE(target);
    Socket.Writes.clear();
    Dispatch("GET " + std::string(target) + " HTTP/1.1\n\n");
    ASSERT_EQ(Socket.Writes.size(), 1u);
    EXPECT_EQ(Socket.Writes[0].Data,
              Wire("HTTP/1.1 200 OK\nContent-Type: text/html; charset=windows-1251\n"
                   "Content-Length: " +
                   std::to_string(page.size()) + "\n\n" + page));
  }

  // Without listings: refused with the folder's own text.
  Server.SCC = false;
  Socket.Writes.clear();
  Dispatch("GET /dir/ HTTP/1.1\n\n");
  ASSERT_EQ(Socket.Writes.size(), 1u);
  EXPECT_EQ(Socket.Writes[0].Data,
            Wire("HTTP/1.1 403 Access denied\nContent-Type: text/plain\nContent-Length: "
                 "28\n\n/dir/\ndoesn`t have an index."));

  // The CGI folder never shows its listing.
  Server.SCC = true;
  mkdir((Root + "/cgi-bin").c_str(), 0755);
  Socket.Writes.clear();
  Dispatch("GET /cgi-bin/ HTTP/1.1\n\n");
  ASSERT_EQ(Socket.Writes.size(), 1u);
  EXPECT_EQ(Socket.Writes[0].Data.rfind(Wire("HTTP/1.1 403 Access denied\n"), 0), 0u)
      << Socket.Writes[0].Data;
  EXPECT_EQ(Socket.Writes[0].Data.find("Catalog"), std::string::npos);
}

TEST_F(DispatchTest, IndexFileIsServedAsTheFolder) {
  WriteFile(Root + "/dir/index.html", "<p>hi</p>");
  Dispatch("GET /dir/ HTTP/1.1\n\n");
  ASSERT_EQ(Socket.Writes.size(), 1u);
  EXPECT_NE(Socket.Writes[0].Data.find(Wire("Content-Type: text/html\n")), std::string::npos);
  EXPECT_TRUE(EndsWith(Socket.Writes[0].Data, "\r\n\r\n<p>hi</p>"));
  EXPECT_EQ(P.LocalPath, Root + "/dir/index.html");
}

TEST_F(DispatchTest, FolderFoundAsIndexIsAnInternalError) {
  mkdir((Root + "/dir/index.html").c_str(), 0755);
  Dispatch("GET /dir/ HTTP/1.1\n\n");
  ASSERT_EQ(Socket.Writes.size(), 1u);
  EXPECT_EQ(Socket.Writes[0].Data,
            Wire("HTTP/1.1 500 Internal server error\nContent-Length: 0\n\n"));
  EXPECT_EQ(Server.ErrorCount, 1);
  EXPECT_NE(
      Log().find("127.0.0.1:5000 ERROR: cant open requested file: " + Root + "/dir/index.html"),
      std::string::npos);
}

// Deleted after its existence was learned and before it was opened (within the second the facts
// are trusted): missing, as it would be found a moment later, not an internal error.
TEST_F(DispatchTest, FileGoneBetweenLookAndOpenIsNotFound) {
  Server.Facts = std::make_unique<TFileFacts>();
  WriteFile(Root + "/gone.txt", "soon gone");
  ASSERT_NE(Server.Facts->Attributes(Root + "/gone.txt"), INVALID_FILE_ATTRIBUTES);
  ASSERT_EQ(unlink((Root + "/gone.txt").c_str()), 0);
  Dispatch("GET /gone.txt HTTP/1.1\n\n");
  ASSERT_EQ(Socket.Writes.size(), 1u);
  EXPECT_EQ(Socket.Writes[0].Data, Wire("HTTP/1.1 404 Not found\nContent-Length: 0\n\n"));
  EXPECT_EQ(Server.ErrorCount, 0);
  EXPECT_EQ(Log().find("cant open"), std::string::npos);
}

// A C string would cut the path at the NUL and open the file before it.
TEST_F(DispatchTest, PathWithNulNamesNothing) {
  P = mParser{};
  P.Socket = &Socket;
  P.HeaderText = "GET /a.txt HTTP/1.1\n\n";
  P.HeadersComplete = true;
  ParseRequest(Server, &P);
  P.LocalPath = Root + "/a.txt" + std::string(1, '\0') + ".html";
  int before = OpenDescriptors();
  DispatchRequest(Server, &P);
  ASSERT_EQ(Socket.Writes.size(), 1u);
  EXPECT_EQ(Socket.Writes[0].Data, Wire("HTTP/1.1 404 Not found\nContent-Length: 0\n\n"));
  EXPECT_EQ(OpenDescriptors(), before);

  // The same for a folder: its index must not be looked up behind the NUL.
  WriteFile(Root + "/dir/index.html", "x");
  Socket.Writes.clear();
  P.LocalPath = Root + "/dir" + std::string(1, '\0');
  P.URI = "/dir/";
  DispatchRequest(Server, &P);
  ASSERT_EQ(Socket.Writes.size(), 1u);
  EXPECT_EQ(Socket.Writes[0].Data, Wire("HTTP/1.1 404 Not found\nContent-Length: 0\n\n"));
}

// The assembly marks a head cut off at 8000 bytes; whatever its first lines name is not served,
// but its version is checked as for any request.
TEST_F(DispatchTest, OversizedHeadKeepsItsMark) {
  struct {
    const char* Name;
    std::string Head;
    std::string Answer;
  } cases[] = {
      {"parsed_get_of_a_file", "GET /a.txt HTTP/1.1\nX-Pad: " + std::string(8000, 'a'),
       "HTTP/1.1 413 Error\nConnection: close\nContent-Length: 0\n\n"},
      {"no_request_line_at_all", std::string(8000, 'a'),
       "HTTP/1.0 400 Bad HTTP version in request\nContent-Length: 0\n\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    Socket.Writes.clear();
    P = mParser{};
    P.Socket = &Socket;
    P.HeaderText = c.Head.substr(0, 8000);
    P.HeaderLength = 8000;
    P.HeadersComplete = P.RequestComplete = true;
    ParseRequest(Server, &P);
    P.StatusCode = 413;
    P.CloseConnection = true;
    DispatchRequest(Server, &P);
    ASSERT_EQ(Socket.Writes.size(), 1u);
    EXPECT_EQ(Socket.Writes[0].Data, Wire(c.Answer));
    EXPECT_TRUE(P.CloseConnection);
  }
}

TEST_F(DispatchTest, MarkedTargetsAreRefusedWhateverTheyHold) {
  struct {
    const char* Name;
    const char* Mark;
    bool Folder;
    std::string Request;
    std::string Answer;
  } cases[] = {
      {"hidden_file", "0x2", false, "GET /m HTTP/1.1\n\n",
       "HTTP/1.1 404 Not found\nContent-Length: 0\n\n"},
      {"system_file", "0x4", false, "GET /m HTTP/1.1\n\n",
       "HTTP/1.1 404 Not found\nContent-Length: 0\n\n"},
      {"temporary_file", "0x100", false, "GET /m HTTP/1.1\n\n",
       "HTTP/1.1 403 Access denied\nContent-Type: text/plain\nContent-Length: 29\n\n/m\n\nResource "
       "is "
       "inaccessible."},
      {"offline_file", "0x1000", false, "GET /m HTTP/1.1\n\n",
       "HTTP/1.1 403 Access denied\nContent-Type: text/plain\nContent-Length: 29\n\n/m\n\nResource "
       "is "
       "inaccessible."},
      {"hidden_and_temporary_stays_hidden", "0x102", false, "GET /m HTTP/1.1\n\n",
       "HTTP/1.1 404 Not found\nContent-Length: 0\n\n"},
      {"hidden_folder_index_not_served", "0x2", true, "GET /m/ HTTP/1.1\n\n",
       "HTTP/1.1 404 Not found\nContent-Length: 0\n\n"},
      {"hidden_folder_not_redirected", "0x2", true, "GET /m HTTP/1.1\n\n",
       "HTTP/1.1 404 Not found\nContent-Length: 0\n\n"},
      {"system_folder_index_not_served", "0x4", true, "GET /m/ HTTP/1.1\n\n",
       "HTTP/1.1 404 Not found\nContent-Length: 0\n\n"},
      {"temporary_folder_index_not_served", "0x100", true, "GET /m/ HTTP/1.1\n\n",
       "HTTP/1.1 403 Access denied\nContent-Type: text/plain\nContent-Length: "
       "30\n\n/m/\n\nResource "
       "is inaccessible."},
      {"offline_folder_listing_not_built", "0x1000", true, "GET /m/ HTTP/1.1\n\n",
       "HTTP/1.1 403 Access denied\nContent-Type: text/plain\nContent-Length: "
       "30\n\n/m/\n\nResource "
       "is inaccessible."},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    TempDir fresh;  // each case gets its own root so that marks do not carry over
    Server.RC = fresh.Path();
    const std::string path = fresh / "m";
    if (c.Folder) {
      mkdir(path.c_str(), 0755);
      if (std::string(c.Name).find("index") != std::string::npos)
        WriteFile(path + "/index.html", "index");
    } else {
      WriteFile(path, "content");
    }
    if (!SetDosAttrib(path, c.Mark)) GTEST_SKIP() << "no user extended attributes here";
    Socket.Writes.clear();
    Dispatch(c.Request);
    ASSERT_EQ(Socket.Writes.size(), 1u);
    EXPECT_EQ(Socket.Writes[0].Data, Wire(c.Answer));
  }
}

TEST_F(DispatchTest, UnservedCgiFolderTargetIsNotFound) {
  Server.DNICGI = true;
  mkdir((Root + "/cgi-bin").c_str(), 0755);
  WriteFile(Root + "/cgi-bin/readme.txt", "plain");
  Dispatch("GET /cgi-bin/readme.txt HTTP/1.1\n\n");
  ASSERT_EQ(Socket.Writes.size(), 1u);
  EXPECT_EQ(Socket.Writes[0].Data, Wire("HTTP/1.1 404 Not found\nContent-Length: 0\n\n"));
}

TEST_F(DispatchTest, BadVersionIsLogged) {
  Dispatch("GET /a.txt HTTP/x\n\n");
  EXPECT_NE(Log().find("127.0.0.1:5000 incorrect protocol HTTP/x\n"), std::string::npos);
}

class DispatchCgiTest : public DispatchTest {
 protected:
  std::string OldDir;
  void SetUp() override {
    DispatchTest::SetUp();
    // The run's temporary files go to the current folder.
    char buf[4096];
    OldDir = getcwd(buf, sizeof buf) ? buf : ".";
    ASSERT_EQ(chdir(Tmp.Path().c_str()), 0);
    Server.ProgramDir = Tmp.Path();
    mkdir((Root + "/cgi-bin").c_str(), 0755);
    Server.CGIAssoc = {"sh:/bin/sh"};
  }
  void TearDown() override { (void)chdir(OldDir.c_str()); }
};

TEST_F(DispatchCgiTest, HeadNeverRunsTheProgram) {
  const std::string marker = Tmp / "ran";
  WriteFile(Root + "/cgi-bin/t.sh",
            "touch '" + marker + "'\nprintf 'Content-Type: text/plain\\n\\nhi'\n");
  Dispatch("HEAD /cgi-bin/t.sh HTTP/1.1\n\n");
  ASSERT_EQ(Socket.Writes.size(), 1u);
  EXPECT_EQ(Socket.Writes[0].Data, Wire("HTTP/1.1 200 OK\nContent-Length: 0\n\n"));
  EXPECT_FALSE(FileExists(marker));
}

TEST_F(DispatchCgiTest, OutputCompletesTheHead) {
  WriteFile(Root + "/cgi-bin/t.sh", "printf 'Content-Type: text/plain\\n\\nhello'\n");
  Dispatch("GET /cgi-bin/t.sh HTTP/1.1\n\n");
  ASSERT_EQ(Socket.Writes.size(), 2u);
  // The program's header lines go out with the server's, as one head.
  EXPECT_EQ(Socket.Writes[0].Data,
            Wire("HTTP/1.1 200 OK\nContent-Length: 5\nContent-Type: text/plain\n\n"));
  EXPECT_EQ(Socket.Writes[1].Data, "hello");
  EXPECT_NE(Log().find("p->IsCGI && (ResponceType==RESPONCE_FILE)\n"), std::string::npos);
}

// The program's header lines end in CR LF on the wire however it wrote them; its body keeps
// every byte, and the head announces exactly the body that follows it.
TEST_F(DispatchCgiTest, ProgramHeadLinesGoOutWithCrLf) {
  struct {
    const char* Name;
    const char* Output;  // printf format
    std::string Head;
    std::string Body;
  } cases[] = {
      {"lf", "A: 1\\nB: 2\\n\\nx\\ny", "A: 1\r\nB: 2\r\n\r\n", "x\ny"},
      {"crlf", "A: 1\\r\\nB: 2\\r\\n\\r\\nx\\r\\ny", "A: 1\r\nB: 2\r\n\r\n", "x\r\ny"},
      {"mixed", "A: 1\\r\\nB: 2\\n\\r\\nxy", "A: 1\r\nB: 2\r\n\r\n", "xy"},
      {"empty_first_line", "\\nA: 1\\n\\nxy", "A: 1\r\n\r\n", "xy"},
      {"no_header_lines", "\\n\\nxy", "\r\n", "xy"},
      {"own_length_left_to_the_server", "content-length: 99\\nA: 1\\nContent-Length: 2\\n\\nxy",
       "A: 1\r\n\r\n", "xy"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.Name);
    WriteFile(Root + "/cgi-bin/t.sh", std::string("printf '") + c.Output + "'\n");
    Socket.Writes.clear();
    // A program's answer has no ranges.
    Dispatch("GET /cgi-bin/t.sh HTTP/1.1\nRange: bytes=0-0\n\n");
    ASSERT_EQ(Socket.Writes.size(), 2u);
    EXPECT_EQ(Socket.Writes[0].Data, "HTTP/1.1 200 OK\r\nContent-Length: " +
                                         std::to_string(c.Body.size()) + "\r\n" + c.Head);
    EXPECT_EQ(Socket.Writes[1].Data, c.Body);
  }
  EXPECT_NE(Log().find("ResponceString==HTTP/1.1 200 OK\n\nResponceHead==Content-Length: 2\n\n"),
            std::string::npos);
}

TEST_F(DispatchCgiTest, LocationInOutputIsARedirect) {
  WriteFile(Root + "/cgi-bin/t.sh", "printf 'LOCATION: /x\\n\\nmoved'\n");
  Dispatch("GET /cgi-bin/t.sh HTTP/1.1\n\n");
  ASSERT_EQ(Socket.Writes.size(), 2u);
  EXPECT_EQ(Socket.Writes[0].Data,
            Wire("HTTP/1.1 301 Redirect\nContent-Length: 5\nLOCATION: /x\n\n"));
  EXPECT_EQ(Socket.Writes[1].Data, "moved");
}

TEST_F(DispatchCgiTest, ProgramThatCannotRunIs500) {
  Server.CGIAssoc = {"sh:/nonexistent/interpreter"};
  WriteFile(Root + "/cgi-bin/t.sh", "echo never\n");
  Dispatch("GET /cgi-bin/t.sh HTTP/1.1\n\n");
  ASSERT_EQ(Socket.Writes.size(), 1u);
  EXPECT_EQ(Socket.Writes[0].Data,
            Wire("HTTP/1.1 500 Error running CGI script\nContent-Length: 0\n\n"));
}

TEST(FileTimeToHttpDate, Rfc1123Form) {
  struct {
    int64_t Time;
    const char* Text;
  } cases[] = {
      {0, "Thu, 01 Jan 1970 00:00:00 GMT"},
      {k5Jan2016, "Tue, 05 Jan 2016 10:20:30 GMT"},
      {951782400, "Tue, 29 Feb 2000 00:00:00 GMT"},
      {-1, "Wed, 31 Dec 1969 23:59:59 GMT"},
      {INT64_MAX, ""},  // beyond the calendar: no Last-Modified rather than a wrong one
  };
  for (const auto& c : cases) EXPECT_EQ(FileTimeToHttpDate(c.Time), c.Text) << c.Time;
}

TEST(IsAccessibleName, OnlyTheLastNameCounts) {
  TServerCore server;
  struct {
    const char* Path;
    bool WithDpaf;
  } cases[] = {
      {"/www/.htaccess", false}, {"/www/a.txt", true}, {"/www/.d/a.txt", true}, {"/www/", true},
      {"C:.x", false},           {"/www/a:.b", false}, {".x", false},           {"", true},
      {"/www/a.", true},
  };
  for (const auto& c : cases) {
    server.DPAF = true;
    EXPECT_EQ(IsAccessibleName(server, c.Path), c.WithDpaf) << c.Path;
    server.DPAF = false;
    EXPECT_TRUE(IsAccessibleName(server, c.Path)) << c.Path;
  }
}

}  // namespace
