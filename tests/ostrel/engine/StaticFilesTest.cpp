// Static files, ranges, redirects, index files, listings and the roots.
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <future>
#include <regex>

#include <gtest/gtest.h>

#include "ostrel/engine/EngineTestUtil.h"
#include "ostrel/engine/static_files.h"

using namespace enginetest;

namespace {

std::string thousand_bytes() {
  std::string s;
  for (int i = 0; i < 1000; i++) s.push_back(static_cast<char>('a' + i % 26));
  return s;
}

std::string get(int port, const std::string& uri, const std::string& extra = "") {
  return http_exchange(port, "GET " + uri + " HTTP/1.0\r\n" + extra + "\r\n");
}

// The declared length must be the bytes that follow.
void expect_honest_length(const std::string& reply) {
  EXPECT_EQ(header_value(reply, "Content-Length"), std::to_string(body_of(reply).size())) << reply;
}

class EngineStaticFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    www_ = dir_.dir("www");
    dir_.file("www/f.txt", thousand_bytes());
    dir_.file("secret.txt", "secret");
  }
  TempDir dir_;
  std::string www_;
};

}  // namespace

TEST_F(EngineStaticFiles, FileHeadersAndBody) {
  TestEngine engine({"document_root", www_});
  ASSERT_TRUE(engine.started());
  std::string reply = get(engine.port(), "/f.txt");
  EXPECT_EQ("HTTP/1.1 200 OK", status_line(reply));
  EXPECT_EQ(thousand_bytes(), body_of(reply));
  expect_honest_length(reply);
  EXPECT_EQ("text/plain", header_value(reply, "Content-Type"));
  EXPECT_EQ("bytes", header_value(reply, "Accept-Ranges"));
  std::regex date("[A-Z][a-z]{2}, \\d\\d [A-Z][a-z]{2} \\d{4} \\d\\d:\\d\\d:\\d\\d GMT");
  EXPECT_TRUE(std::regex_match(header_value(reply, "Date"), date));
  EXPECT_TRUE(std::regex_match(header_value(reply, "Last-Modified"), date));
  EXPECT_TRUE(std::regex_match(header_value(reply, "ETag"), std::regex("W/\"3e8-[0-9a-f]+\"")));
  EXPECT_EQ("no-cache", header_value(reply, "Cache-Control"));

  // HEAD: the same head, no body.
  std::string head = http_exchange(engine.port(), "HEAD /f.txt HTTP/1.0\r\n\r\n");
  EXPECT_EQ("1000", header_value(head, "Content-Length"));
  EXPECT_EQ("", body_of(head));
  EXPECT_EQ(header_value(reply, "ETag"), header_value(head, "ETag"));
  // An error reply to HEAD has no body either.
  std::string missing = http_exchange(engine.port(), "HEAD /nope HTTP/1.0\r\n\r\n");
  EXPECT_EQ("HTTP/1.1 404 Not Found", status_line(missing));
  EXPECT_EQ("", body_of(missing));
}

TEST_F(EngineStaticFiles, Ranges) {
  TestEngine engine({"document_root", www_});
  ASSERT_TRUE(engine.started());
  const std::string all = thousand_bytes();
  struct Case {
    const char* range;
    const char* content_range;
    size_t first;
    size_t length;
  };
  const Case cases[] = {
      {"bytes=100-199", "bytes 100-199/1000", 100, 100},
      {"bytes=100-", "bytes 100-999/1000", 100, 900},
      {"bytes=-500", "bytes 500-999/1000", 500, 500},
      {"bytes=900-5000", "bytes 900-999/1000", 900, 100},
      {"bytes=0-0", "bytes 0-0/1000", 0, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.range);
    std::string reply = get(engine.port(), "/f.txt", std::string("Range: ") + c.range + "\r\n");
    EXPECT_EQ("HTTP/1.1 206 Partial Content", status_line(reply));
    EXPECT_EQ(c.content_range, header_value(reply, "Content-Range"));
    EXPECT_EQ(all.substr(c.first, c.length), body_of(reply));
    expect_honest_length(reply);
  }
  for (const char* range : {"bytes=1000-", "bytes=5000-6000", "bytes=-0"}) {
    SCOPED_TRACE(range);
    std::string reply = get(engine.port(), "/f.txt", std::string("Range: ") + range + "\r\n");
    EXPECT_EQ("HTTP/1.1 416 Requested Range Not Satisfiable", status_line(reply));
    EXPECT_EQ("bytes */1000", header_value(reply, "Content-Range"));
    expect_honest_length(reply);
  }
  // Not a byte range: the whole file.
  std::string reply = get(engine.port(), "/f.txt", "Range: bytes=9-3\r\n");
  EXPECT_EQ("HTTP/1.1 200 OK", status_line(reply));
  expect_honest_length(reply);
}

TEST_F(EngineStaticFiles, FilesBeyondFourGigabytes) {
  const int64_t size = 5LL << 30;
  const int64_t marker_at = (4LL << 30) + 10;
  std::string big = dir_.file("www/big.bin", "");
  int fd = open(big.c_str(), O_WRONLY);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(0, ftruncate(fd, size));  // sparse: no disk space used
  ASSERT_EQ(6, pwrite(fd, "MARKER", 6, marker_at));
  close(fd);
  TestEngine engine({"document_root", www_});
  ASSERT_TRUE(engine.started());

  std::string range = "Range: bytes=" + std::to_string(marker_at) + "-" + std::to_string(marker_at + 5) + "\r\n";
  std::string reply = get(engine.port(), "/big.bin", range);
  EXPECT_EQ("HTTP/1.1 206 Partial Content", status_line(reply));
  EXPECT_EQ("MARKER", body_of(reply));
  EXPECT_EQ("bytes 4294967306-4294967311/5368709120", header_value(reply, "Content-Range"));
  std::string head = http_exchange(engine.port(), "HEAD /big.bin HTTP/1.0\r\n\r\n");
  EXPECT_EQ("5368709120", header_value(head, "Content-Length"));
  std::string listing = get(engine.port(), "/");
  EXPECT_NE(std::string::npos, listing.find(">big.bin</a></td><td>&nbsp;")) << listing;
  EXPECT_NE(std::string::npos, listing.find("&nbsp;&nbsp;5.0G</td>")) << listing;
}

TEST_F(EngineStaticFiles, DirectoryRedirectAndIndexFiles) {
  dir_.file("www/docs/index.html", "docs index");
  dir_.file("www/alt/index.htm", "alt index");
  dir_.dir("www/alt/index.html");  // a directory is no index file
  dir_.dir("www/a\r\nX-Injected: 1");
  TestEngine engine({"document_root", www_, "index_files", "index.html,index.htm"});
  ASSERT_TRUE(engine.started());

  std::string reply = get(engine.port(), "/docs");
  EXPECT_EQ("HTTP/1.1 301 Moved Permanently", status_line(reply));
  EXPECT_EQ("/docs/", header_value(reply, "Location"));
  EXPECT_EQ("0", header_value(reply, "Content-Length"));
  EXPECT_EQ("docs index", body_of(get(engine.port(), "/docs/")));
  EXPECT_EQ("alt index", body_of(get(engine.port(), "/alt/")));

  // A decoded line break must not end the Location header.
  reply = get(engine.port(), "/a%0d%0aX-Injected:%201");
  EXPECT_EQ("HTTP/1.1 301 Moved Permanently", status_line(reply));
  EXPECT_FALSE(has_header(reply, "X-Injected"));
  EXPECT_EQ("/a%0d%0aX-Injected:%201/", header_value(reply, "Location"));
}

TEST_F(EngineStaticFiles, ListingSortsAndTogglesAndEscapes) {
  dir_.file("www/list/b.txt", std::string(10, 'b'));
  dir_.file("www/list/a.txt", std::string(3000, 'a'));
  dir_.file("www/list/c.txt", std::string(2000, 'c'));
  dir_.file("www/list/<i>.txt", std::string(5, 'i'));
  dir_.dir("www/list/zdir");
  dir_.dir("www/list/adir");
  TestEngine engine({"document_root", www_});
  ASSERT_TRUE(engine.started());

  auto order = [](const std::string& page) {
    std::vector<std::string> names;
    std::regex row("<tr><td><a href=\"[^\"]*\">([^<]*)</a>");
    for (std::sregex_iterator it(page.begin(), page.end(), row), end; it != end; ++it) names.push_back((*it)[1]);
    return names;
  };

  std::string page = get(engine.port(), "/list/");
  EXPECT_EQ("close", header_value(page, "Connection"));
  EXPECT_EQ("text/html; charset=utf-8", header_value(page, "Content-Type"));
  EXPECT_NE(std::string::npos, page.find("<title>Index of /list/</title>"));
  EXPECT_NE(std::string::npos, page.find("<a href=\"?nd\">Name</a>"));
  EXPECT_NE(std::string::npos, page.find("<a href=\"?sd\">Size</a>"));
  std::vector<std::string> by_name = {"Parent directory", "adir/", "zdir/", "&lt;i&gt;.txt", "a.txt", "b.txt", "c.txt"};
  EXPECT_EQ(by_name, order(page));
  EXPECT_NE(std::string::npos, page.find("<a href=\"/list/%3ci%3e.txt\">"));
  EXPECT_NE(std::string::npos, page.find("<a href=\"/list/adir/\">adir/</a></td><td>&nbsp;"));
  EXPECT_NE(std::string::npos, page.find("&nbsp;&nbsp;[DIRECTORY]</td>"));
  EXPECT_NE(std::string::npos, page.find(">b.txt</a></td><td>&nbsp;"));
  EXPECT_NE(std::string::npos, page.find("&nbsp;&nbsp;10</td>"));
  EXPECT_NE(std::string::npos, page.find("&nbsp;&nbsp;2.9k</td>"));

  EXPECT_EQ("", body_of(http_exchange(engine.port(), "HEAD /list/ HTTP/1.0\r\n\r\n")));

  page = get(engine.port(), "/list/?sd");
  EXPECT_NE(std::string::npos, page.find("<a href=\"?na\">Name</a>"));
  EXPECT_NE(std::string::npos, page.find("<a href=\"?da\">Modified</a>"));
  EXPECT_NE(std::string::npos, page.find("<a href=\"?sa\">Size</a>"));
  std::vector<std::string> names = order(page);
  ASSERT_EQ(7u, names.size());
  // Directories first, then files from the largest.
  EXPECT_TRUE((names[1] == "adir/" && names[2] == "zdir/") || (names[1] == "zdir/" && names[2] == "adir/"));
  std::vector<std::string> files(names.begin() + 3, names.end());
  EXPECT_EQ((std::vector<std::string>{"a.txt", "c.txt", "b.txt", "&lt;i&gt;.txt"}), files);

  names = order(get(engine.port(), "/list/?nd"));
  EXPECT_EQ((std::vector<std::string>{"Parent directory", "zdir/", "adir/", "c.txt", "b.txt", "a.txt", "&lt;i&gt;.txt"}),
            names);
}

TEST_F(EngineStaticFiles, ExtraHeaderLinesGoWithEveryFileReply) {
  dir_.dir("www/list");
  // Both line ends, an empty line and no end after the last line.
  TestEngine engine({"document_root", www_, "extra_headers", "X-Frame-Options: SAMEORIGIN\r\n\nX-Test: a b\nX-Last:"});
  ASSERT_TRUE(engine.started());
  const std::string lines = "\r\nX-Frame-Options: SAMEORIGIN\r\nX-Test: a b\r\nX-Last:\r\n";
  const std::string whole = get(engine.port(), "/f.txt");
  EXPECT_NE(std::string::npos, whole.find(lines)) << whole;
  EXPECT_EQ(thousand_bytes(), body_of(whole));
  const std::string partial = get(engine.port(), "/f.txt", "Range: bytes=1-2\r\n");
  EXPECT_EQ("HTTP/1.1 206 Partial Content", status_line(partial));
  EXPECT_NE(std::string::npos, partial.find(lines)) << partial;
  const std::string unchanged = get(engine.port(), "/f.txt", "If-None-Match: " + header_value(whole, "ETag") + "\r\n");
  EXPECT_EQ("HTTP/1.1 304 Not Modified", status_line(unchanged));
  EXPECT_NE(std::string::npos, unchanged.find(lines)) << unchanged;
  const std::string listing = get(engine.port(), "/list/");
  EXPECT_EQ("HTTP/1.1 200 OK", status_line(listing));
  EXPECT_NE(std::string::npos, listing.find(lines)) << listing;
  EXPECT_NE(std::string::npos, listing.find("<title>Index of /list/</title>"));

  // By default there are none.
  TestEngine plain({"document_root", www_});
  ASSERT_TRUE(plain.started());
  EXPECT_STREQ("", mg_get_option(plain.context(), "extra_headers"));
  EXPECT_FALSE(has_header(get(plain.port(), "/f.txt"), "X-Frame-Options"));
}

TEST_F(EngineStaticFiles, ListingCanBeDenied) {
  dir_.dir("www/list");
  TestEngine engine({"document_root", www_, "enable_directory_listing", "no"});
  ASSERT_TRUE(engine.started());
  std::string reply = get(engine.port(), "/list/");
  EXPECT_EQ("HTTP/1.1 403 Directory Listing Denied", status_line(reply));
  EXPECT_NE(std::string::npos, body_of(reply).find("Directory listing denied"));
}

TEST_F(EngineStaticFiles, TraversalNeverLeavesTheRoots) {
  dir_.file("www/a/b", "a-b");
  dir_.file("dl/x.bin", "x");
  std::string roots = www_ + ",/dl=" + dir_.path() + "/dl/";
  TestEngine engine({"document_root", roots});
  ASSERT_TRUE(engine.started());
  EXPECT_EQ("a-b", body_of(get(engine.port(), "/a/%2e%2e/b")));
  EXPECT_EQ("a-b", body_of(get(engine.port(), "/a\\..\\b")));
  EXPECT_EQ("x", body_of(get(engine.port(), "/dl/x.bin")));
  for (const char* uri : {"/../secret.txt", "/%2e%2e/secret.txt", "/..%2fsecret.txt", "/..\\secret.txt",
                          "/%2e%2e%5csecret.txt", "/a/../../secret.txt", "/dl../secret.txt", "/dl%2e%2e/secret.txt"}) {
    std::string reply = get(engine.port(), uri);
    EXPECT_EQ("HTTP/1.1 404 Not Found", status_line(reply)) << uri;
    EXPECT_EQ(std::string::npos, reply.find("secret\n")) << uri;
    EXPECT_EQ(std::string::npos, body_of(reply).find("secret")) << uri;
  }
}

// A decoded NUL would cut the path: "/f.txt%00.css" is not "/f.txt".
TEST_F(EngineStaticFiles, ANulInTheDecodedPathIsRefused) {
  std::atomic<int> requests{0};
  TestEngine engine({"document_root", www_}, [&](mg_event event, Connection*, RequestInfo*) -> void* {
    if (event == EVT_NEW_REQUEST) requests++;
    return nullptr;
  });
  ASSERT_TRUE(engine.started());
  for (const char* uri : {"/f.txt%00.css", "/f.txt%00", "/%00/f.txt", "/f.txt%00?x=1"}) {
    std::string reply = get(engine.port(), uri);
    EXPECT_EQ("HTTP/1.1 400 Bad Request", status_line(reply)) << uri;
    EXPECT_EQ("close", header_value(reply, "Connection")) << uri;
  }
  EXPECT_EQ(0, requests.load());
  // In the query it is the callback's business.
  EXPECT_EQ(thousand_bytes(), body_of(get(engine.port(), "/f.txt?x=%00")));
  EXPECT_EQ(1, requests.load());
}

TEST_F(EngineStaticFiles, EmptyRootServesNothing) {
  TestEngine engine({"document_root", ",/download="});
  ASSERT_TRUE(engine.started());
  std::string target = dir_.path() + "/secret.txt";
  EXPECT_EQ("HTTP/1.1 404 Not Found", status_line(get(engine.port(), target)));
  EXPECT_EQ("HTTP/1.1 404 Not Found", status_line(get(engine.port(), "/download" + target)));
}

TEST_F(EngineStaticFiles, SuspiciousFileNamesAreNeverOpened) {
  dir_.file("www/space ", "1");
  dir_.file("www/dot.", "2");
  dir_.file("www/plus+", "3");
  dir_.file("www/caf\xc3\xa9", "4");
  dir_.file("www/ok\xc3\xa9.txt", "5");
  TestEngine engine({"document_root", www_});
  ASSERT_TRUE(engine.started());
  for (const char* uri : {"/space%20", "/dot.", "/plus+", "/caf%c3%a9"}) {
    EXPECT_EQ("HTTP/1.1 404 Not Found", status_line(get(engine.port(), uri))) << uri;
  }
  EXPECT_EQ("5", body_of(get(engine.port(), "/ok%c3%a9.txt")));
}

TEST_F(EngineStaticFiles, DownloadAliasCoversWholeSegmentsAndLinksStayInside) {
  dir_.file("www/index.html", "home");
  dir_.file("dl/a.zip", "zip");
  dir_.file("dls/x", "sibling");
  std::string roots = www_ + ",/download=" + dir_.path() + "/dl";
  TestEngine engine({"document_root", roots});
  ASSERT_TRUE(engine.started());
  std::string reply = get(engine.port(), "/download/a.zip");
  EXPECT_EQ("zip", body_of(reply));
  EXPECT_EQ("application/x-zip-compressed", header_value(reply, "Content-Type"));
  EXPECT_EQ("HTTP/1.1 404 Not Found", status_line(get(engine.port(), "/downloads/x")));
  EXPECT_EQ("home", body_of(get(engine.port(), "/index.html")));
  ASSERT_EQ(0, symlink("/etc", (www_ + "/etc").c_str()));
  ASSERT_EQ(0, symlink((dir_.path() + "/dls").c_str(), (www_ + "/dls").c_str()));
  EXPECT_EQ("HTTP/1.1 404 Not Found", status_line(get(engine.port(), "/etc/hostname")));
  EXPECT_EQ("HTTP/1.1 404 Not Found", status_line(get(engine.port(), "/dls/x")));
  ASSERT_EQ(0, symlink((dir_.path() + "/dl").c_str(), (www_ + "/dl").c_str()));
  EXPECT_EQ("zip", body_of(get(engine.port(), "/dl/a.zip")));
  EXPECT_EQ("home", body_of(get(engine.port(), "/")));
}

// An index file is checked against the roots as any file is: one that links
// out of every root is missing, and the next index name is tried.
TEST_F(EngineStaticFiles, IndexFileLinkingOutOfTheRootsIsMissing) {
  dir_.dir("www/out");
  dir_.dir("www/in");
  ASSERT_EQ(0, symlink((dir_.path() + "/secret.txt").c_str(), (www_ + "/out/index.html").c_str()));
  ASSERT_EQ(0, symlink((www_ + "/f.txt").c_str(), (www_ + "/in/index.html").c_str()));
  TestEngine engine({"document_root", www_, "index_files", "index.html,index.htm", "enable_directory_listing", "no"});
  ASSERT_TRUE(engine.started());
  std::string reply = get(engine.port(), "/out/");
  EXPECT_EQ("HTTP/1.1 403 Directory Listing Denied", status_line(reply));
  EXPECT_EQ(std::string::npos, body_of(reply).find("secret"));
  dir_.file("www/out/index.htm", "the next one");
  EXPECT_EQ("the next one", body_of(get(engine.port(), "/out/")));
  EXPECT_EQ(thousand_bytes(), body_of(get(engine.port(), "/in/")));
}

TEST_F(EngineStaticFiles, MethodsTheEngineRefuses) {
  TestEngine engine({"document_root", www_});
  ASSERT_TRUE(engine.started());
  std::string reply;
  for (const char* method : {"PUT", "DELETE"}) {
    reply = http_exchange(engine.port(), std::string(method) + " /f.txt HTTP/1.0\r\nContent-Length: 0\r\n\r\n");
    EXPECT_EQ("HTTP/1.1 401 Unauthorized", status_line(reply)) << method;
    EXPECT_NE(std::string::npos, header_value(reply, "WWW-Authenticate").find("Digest qop=\"auth\", realm=\""));
  }
  reply = http_exchange(engine.port(), "OPTIONS /f.txt HTTP/1.0\r\n\r\n");
  EXPECT_EQ("HTTP/1.1 200 OK", status_line(reply));
  EXPECT_EQ("GET, POST, HEAD, CONNECT, PUT, DELETE, OPTIONS", header_value(reply, "Allow"));
  // The file still exists after the refused DELETE.
  EXPECT_EQ(thousand_bytes(), body_of(get(engine.port(), "/f.txt")));
}

TEST_F(EngineStaticFiles, CurlAgrees) {
  TestEngine engine({"document_root", www_, "enable_keep_alive", "yes"});
  ASSERT_TRUE(engine.started());
  std::string base = "http://127.0.0.1:" + std::to_string(engine.port());
  int status = -1;
  std::string out = run("curl -sS --max-time 10 " + base + "/f.txt " + base + "/f.txt", &status);
  EXPECT_EQ(0, status);
  EXPECT_EQ(thousand_bytes() + thousand_bytes(), out);  // two requests, one kept connection
  out = run("curl -sS --max-time 10 -r 10-19 " + base + "/f.txt", &status);
  EXPECT_EQ(0, status);
  EXPECT_EQ(thousand_bytes().substr(10, 10), out);
  out = run("curl -sS --max-time 10 -I " + base + "/f.txt", &status);
  EXPECT_EQ(0, status);
  EXPECT_NE(std::string::npos, out.find("Content-Length: 1000"));
  out = run("curl -sS --max-time 10 -L -o /dev/null -w '%{http_code} %{url_effective}' " + base + "/", &status);
  EXPECT_EQ("200 " + base + "/", out);
}

// Replies over one kept connection, read as a slow client with a small
// receive buffer: a large file, then small ones whose head and body leave in
// one write, each reply exact and the connection still usable.
TEST_F(EngineStaticFiles, SlowReaderGetsWholeRepliesOnAKeptConnection) {
  std::string large(3 * 1024 * 1024 + 7, '\0');
  for (size_t i = 0; i < large.size(); i++) large[i] = static_cast<char>(i * 31 + i / 4093);
  dir_.file("www/large.bin", large);
  const std::string small(15000, 's');  // just fits behind the head
  dir_.file("www/small.bin", small);
  dir_.file("www/empty.txt", "");
  TestEngine engine({"document_root", www_, "enable_keep_alive", "yes"});
  ASSERT_TRUE(engine.started());

  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  int rcvbuf = 4096;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &rcvbuf, sizeof(rcvbuf));
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(engine.port()));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)));
  ASSERT_TRUE(send_all(fd, "GET /large.bin HTTP/1.1\r\n\r\n"));
  std::string reply = read_reply(fd, 30000);
  EXPECT_EQ("HTTP/1.1 200 OK", status_line(reply));
  EXPECT_TRUE(body_of(reply) == large);
  expect_honest_length(reply);

  for (const char* uri : {"/small.bin", "/empty.txt", "/small.bin"}) {
    ASSERT_TRUE(send_all(fd, std::string("GET ") + uri + " HTTP/1.1\r\n\r\n"));
    reply = read_reply(fd);
    EXPECT_EQ("HTTP/1.1 200 OK", status_line(reply)) << uri;
    EXPECT_EQ(uri == std::string("/empty.txt") ? "" : small, body_of(reply)) << uri;
    EXPECT_EQ("Keep-Alive", header_value(reply, "Connection"));
    expect_honest_length(reply);
  }
  // A range of the large file goes through the same paths.
  ASSERT_TRUE(send_all(fd, "GET /large.bin HTTP/1.1\r\nRange: bytes=100-20099\r\n\r\n"));
  reply = read_reply(fd, 30000);
  EXPECT_EQ("HTTP/1.1 206 Partial Content", status_line(reply));
  EXPECT_TRUE(body_of(reply) == large.substr(100, 20000));
  close(fd);
}

// A named pipe has no end to wait for: it is served as the empty file its
// status says, at once, instead of holding a worker until a writer comes.
TEST_F(EngineStaticFiles, NamedPipeDoesNotHoldAWorker) {
  ASSERT_EQ(0, mkfifo((www_ + "/pipe").c_str(), 0644));
  TestEngine engine({"document_root", www_});
  ASSERT_TRUE(engine.started());
  std::string reply = get(engine.port(), "/pipe");
  EXPECT_EQ("HTTP/1.1 200 OK", status_line(reply));
  EXPECT_EQ("0", header_value(reply, "Content-Length"));
}

// The "Date" of replies on one kept connection follows the clock across a
// second, though the text is formatted once a second.
TEST_F(EngineStaticFiles, DateFollowsTheClockAcrossASecond) {
  TestEngine engine({"document_root", www_, "enable_keep_alive", "yes"});
  ASSERT_TRUE(engine.started());
  int fd = connect_to(engine.port());
  std::string first_date;
  bool changed = false;
  auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (!changed && std::chrono::steady_clock::now() < give_up) {
    time_t before = time(nullptr);
    ASSERT_TRUE(send_all(fd, "HEAD /f.txt HTTP/1.1\r\n\r\n"));
    std::string date = header_value(read_reply(fd, 5000, true), "Date");
    time_t after = time(nullptr);
    char low[64];
    char high[64];
    gmt_time_string(low, sizeof(low), before);
    gmt_time_string(high, sizeof(high), after);
    ASSERT_TRUE(date == low || date == high) << date << " not in " << low << " .. " << high;
    if (first_date.empty()) first_date = date;
    changed = date != first_date;
  }
  EXPECT_TRUE(changed);
  close(fd);
}

TEST(EngineHttpDate, KnownInstantsAndTheCalendarAgree) {
  char buf[64];
  const struct {
    int64_t t;
    const char* text;
  } known[] = {
      {784111777, "Sun, 06 Nov 1994 08:49:37 GMT"},
      {0, "Thu, 01 Jan 1970 00:00:00 GMT"},
      {-1, "Wed, 31 Dec 1969 23:59:59 GMT"},
      {951782400, "Tue, 29 Feb 2000 00:00:00 GMT"},
      {4107456000, "Sun, 28 Feb 2100 00:00:00 GMT"},  // no leap day in 2100
      {4107542400, "Mon, 01 Mar 2100 00:00:00 GMT"},
      {253402300799, "Fri, 31 Dec 9999 23:59:59 GMT"},
  };
  for (const auto& k : known) {
    gmt_time_string(buf, sizeof(buf), k.t);
    EXPECT_STREQ(k.text, buf) << k.t;
  }
  // Every day over three centuries, at an hour that moves, as the C library has it.
  for (int64_t t = -2208988800; t < 7258118400; t += 86400 + 3607) {
    time_t tt = static_cast<time_t>(t);
    struct tm tm;
    char expected[64];
    ASSERT_NE(nullptr, gmtime_r(&tt, &tm));
    strftime(expected, sizeof(expected), "%a, %d %b %Y %H:%M:%S GMT", &tm);
    gmt_time_string(buf, sizeof(buf), t);
    ASSERT_STREQ(expected, buf) << t;
  }
  // Too short a buffer: empty, never cut.
  gmt_time_string(buf, 29, 0);
  EXPECT_STREQ("", buf);
  gmt_time_string(buf, 30, 0);
  EXPECT_STREQ("Thu, 01 Jan 1970 00:00:00 GMT", buf);
}

TEST(EngineHttpDate, CachedTextChangesWithTheSecond) {
  const int64_t t = 1700000000;
  std::string at_t = cached_gmt_time_string(t);
  EXPECT_EQ("Tue, 14 Nov 2023 22:13:20 GMT", at_t);
  EXPECT_EQ(at_t, cached_gmt_time_string(t));
  EXPECT_EQ("Tue, 14 Nov 2023 22:13:21 GMT", std::string(cached_gmt_time_string(t + 1)));
  EXPECT_EQ(at_t, cached_gmt_time_string(t));
  // Each thread has its own text: another thread's second does not show here.
  std::string other = std::async(std::launch::async, [&] { return std::string(cached_gmt_time_string(t + 60)); }).get();
  EXPECT_EQ("Tue, 14 Nov 2023 22:14:20 GMT", other);
  EXPECT_EQ(at_t, cached_gmt_time_string(t));
}
