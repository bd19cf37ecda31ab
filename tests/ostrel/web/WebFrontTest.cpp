// The request callback over real sockets, with the real engine.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <stdexcept>
#include <vector>

#include "ostrel/engine/engine.h"
#include "ostrel/web/MessageRouter.h"
#include "ostrel/web/ResourcesStorage.h"
#include "ostrel/web/WebServer.h"
#include "support/Eventually.h"
#include "support/HttpExchange.h"
#include "support/LogCapture.h"
#include "support/OriginTable.h"
#include "support/TempDir.h"

namespace {

// Answers with what it was given: "type=N" picks the reply type, "size=N" a body
// of N bytes, "nul" a body with a NUL byte, "throw" a standard exception.
class EchoReceiver : public MessageReceiver {
 public:
  void process(MessagePtr& result, const std::string& query, const std::string& uri,
               const SocketPtr& socket) override {
    if (query.find("throw") != std::string::npos) throw std::runtime_error("receiver failed");
    int type = Message::JsonReply;
    size_t at = query.find("type=");
    if (at != std::string::npos) type = std::stoi(query.substr(at + 5));
    std::string body = "query=" + query + "|uri=" + uri + "|coding=" + std::to_string(responseCoding()) +
                       "|ua=" + socket->header("User-Agent");
    at = query.find("size=");
    if (at != std::string::npos) body = std::string(size_t(std::stoi(query.substr(at + 5))), 'b');
    if (query.find("nul") != std::string::npos) body = std::string("a\0b", 3);
    result = std::make_shared<Message>(body, type);
  }
};

// The event-channel receiver: only "/1.0/Events/all.ws" is a channel.
class ChannelReceiver : public EchoReceiver {
 public:
  bool opensChannel(const std::string& uri) const override { return uri == "/1.0/Events/all.ws"; }
};

class WebFrontTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir.write("ui/index.html", "<p>index</p>");
    dir.write("ui/app.js", "js");
    dir.write("dl/file.bin", "bin");
    // The plug-in's listeners: every loopback address on one port.
    port = freePortOnEveryLoopback();
    ASSERT_NE(0, port);
    ASSERT_TRUE(server.start(everyLoopback(port), 4, kLoopbackAccessList, 0, 1,
                             dir.file("ui") + ",/download=" + dir.file("dl"), true, true));
  }
  void TearDown() override { server.stop(); }

  std::string get(const std::string& target, const std::string& headers = "") {
    // Static files are served with keep-alive: ask for the end of the connection.
    return httpExchange(port, "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                  "\r\nConnection: close\r\n" + headers + "\r\n");
  }
  std::string referer() { return "Referer: http://127.0.0.1:" + std::to_string(port) + "/index.html\r\n"; }
  static std::string body(const std::string& reply) {
    size_t end = reply.find("\r\n\r\n");
    return end == std::string::npos ? "" : reply.substr(end + 4);
  }

  TempDir dir;
  EchoReceiver services;
  ChannelReceiver channels;
  WebServer server{Receivers{&services, &channels, nullptr}};
  int port = 0;
};

TEST_F(WebFrontTest, RefererRules) {
  EXPECT_EQ("HTTP/1.1 500 Internal Server Error\r\nReferrer: is NULL\r\n\r\n", get("/index.html"));
  // No dot in "/": no referrer step.
  EXPECT_EQ("<p>index</p>", body(get("/")));
  // Only a URI that opens a channel skips the step: services and files whose
  // names merely end in ".ws" do not.
  EXPECT_EQ(0u, get("/1.0/Events/all.ws").find("HTTP/1.1 200 OK\r\n"));
  for (const char* uri : {"/x.wsdl", "/1.0/Events/unbound.ws",
                          "/1.0/UXUpdate/uxUpdate.svc.ws?Action=UPDATE_ACTIVATE&Path=/tmp/p.zip",
                          "/1.0/Process/purchaseApplication.svc.ws", "/1.0/Process/purchaseApplication.svc%2ews"})
    EXPECT_EQ("HTTP/1.1 500 Internal Server Error\r\nReferrer: is NULL\r\n\r\n", get(uri)) << uri;
  EXPECT_EQ("HTTP/1.1 500 Internal Server Error\r\nReferrer: https://127.0.0.1/\r\n\r\n",
            get("/index.html", "Referer: https://127.0.0.1/\r\n"));
  for (const char* lookAlike : {"http://localhost.attacker.example/", "http://localhostx.example/",
                                "http://127.attacker.example/"})
    EXPECT_EQ(std::string("HTTP/1.1 500 Internal Server Error\r\nReferrer: ") + lookAlike + "\r\n\r\n",
              get("/index.html", std::string("Referer: ") + lookAlike + "\r\n"));
  EXPECT_EQ("js", body(get("/app.js", referer())));
  // Pages of this server by any name a browser reaches it by pass; pages of
  // other servers on this machine, and look-alikes, are foreign.
  for (const OriginCase& row : originTable(port)) {
    const std::string page = row.origin + (row.origin.empty() ? "" : "/desktop/index.html");
    const std::string reply = get("/app.js", "Referer: " + page + "\r\n");
    if (row.accepted)
      EXPECT_EQ("js", body(reply)) << page;
    else
      EXPECT_EQ("HTTP/1.1 500 Internal Server Error\r\nReferrer: " + page + "\r\n\r\n", reply) << page;
  }
}

TEST_F(WebFrontTest, AStoreOpenedAsLocalhostOrOverIPv6IsServed) {
  // What a browser sends for http://localhost:PORT/ once the page has
  // redirected to its index: the Host and the Referer by that name.
  const std::string byName = "localhost:" + std::to_string(port);
  EXPECT_EQ("js", body(httpExchange(port, "GET /app.js HTTP/1.1\r\nHost: " + byName + "\r\nReferer: http://" +
                                              byName + "/desktop/index.html\r\nConnection: close\r\n\r\n")));
  // The same over IPv6, which browsers try first for "localhost".
  const std::string ipv6 = "[::1]:" + std::to_string(port);
  int fd = connectIPv6Loopback(port);
  ASSERT_GE(fd, 0);
  const std::string request = "GET /app.js HTTP/1.1\r\nHost: " + ipv6 + "\r\nReferer: http://" + ipv6 +
                              "/desktop/index.html\r\nConnection: close\r\n\r\n";
  send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  EXPECT_EQ("js", body(readAll(fd)));
  close(fd);
}

TEST_F(WebFrontTest, ALongForeignRefererIsCutToFitTheHead) {
  // Once crashed the host: the cut reply was logged, and the log event ran the
  // referrer step again, without end.
  const std::string foreign = "http://evil.example/" + std::string(450, 'a');
  const std::string reply = get("/desktop/style.css", "Referer: " + foreign + "\r\n");
  const std::string prefix = "HTTP/1.1 500 Internal Server Error\r\nReferrer: ";
  ASSERT_EQ(0u, reply.find(prefix)) << reply;
  EXPECT_EQ(511u, reply.size());
  EXPECT_EQ("\r\n\r\n", reply.substr(reply.size() - 4));
  EXPECT_EQ(0u, foreign.find(reply.substr(prefix.size(), reply.size() - prefix.size() - 4)));
  // Short enough to fit: echoed whole.
  EXPECT_EQ(prefix + "http://evil.example/x\r\n\r\n", get("/app.js", "Referer: http://evil.example/x\r\n"));
  EXPECT_EQ("js", body(get("/app.js", referer())));
}

TEST_F(WebFrontTest, EngineErrorsGetABareStatusLine) {
  auto bare = [](const std::string& status) {
    return "HTTP/1.1 " + status + "\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  };
  const std::string host = "Host: localhost\r\n";
  EXPECT_EQ(bare("404 Not Found"), get("/missing.html", referer()));
  EXPECT_EQ(bare("404 Not Found"), get("/favicon.ico", referer()));
  EXPECT_EQ(bare("400 Bad Request"), httpExchange(port, "GET index.html HTTP/1.1\r\n" + host + "\r\n"));
  EXPECT_EQ(bare("400 Bad Request"), httpExchange(port, "GET * HTTP/1.1\r\n" + host + "\r\n"));
  EXPECT_EQ(bare("505 HTTP Version Not Supported"), httpExchange(port, "GET / HTTP/2.0\r\n" + host + "\r\n"));
  EXPECT_EQ(bare("413 Payload Too Large"),
            httpExchange(port, "GET / HTTP/1.1\r\nX: " + std::string(20000, 'x') + "\r\n\r\n"));
  // A head that two readers could read differently is refused whole.
  EXPECT_EQ(bare("400 Bad Request"),
            httpExchange(port, "GET / HTTP/1.1\r\nHost: localhost\r\nHost: rebind.attacker.example\r\n\r\n"));
  EXPECT_EQ(bare("400 Bad Request"), httpExchange(port, "GET / HTTP/1.1\r\n" + host + "Origin: http://a\r\n"
                                                        "origin: http://b\r\n\r\n"));
  EXPECT_EQ(bare("400 Bad Request"),
            httpExchange(port, "GET / HTTP/1.1\r\nHost: localhost" + std::string(1, '\0') + "evil\r\n\r\n"));
  std::string crowded = "GET / HTTP/1.1\r\n";
  for (int i = 0; i < 64; ++i) crowded += "X-" + std::to_string(i) + ": v\r\n";
  EXPECT_EQ(bare("431 Request Header Fields Too Large"),
            httpExchange(port, crowded + "Host: rebind.attacker.example\r\n\r\n"));
  EXPECT_EQ(bare("400 Bad Request"),
            httpExchange(port, "GET / HTTP/1.1\r\n" + host + referer() + "Referer: http://evil.example/\r\n\r\n"));
  EXPECT_EQ(bare("501 Not Implemented"),
            httpExchange(port, "POST /a.svc HTTP/1.1\r\n" + host + "Transfer-Encoding: chunked\r\n\r\n0\r\n\r\n"));
}

TEST_F(WebFrontTest, PathsStayInsideTheirRoots) {
  dir.write("dl_private/secret", "secret");
  ASSERT_EQ(0, symlink("/etc", dir.file("ui/etc").c_str()));
  ASSERT_EQ(0, symlink(dir.file("dl/file.bin").c_str(), dir.file("ui/inside.bin").c_str()));
  const std::string notFound = "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  EXPECT_EQ(notFound, get("/download_private/secret", referer()));
  EXPECT_EQ(notFound, get("/download_private/", referer()));
  EXPECT_EQ(notFound, get("/etc/hostname", referer()));
  // A link from one root into another stays inside the roots.
  EXPECT_EQ("bin", body(get("/inside.bin", referer())));
  EXPECT_EQ("bin", body(get("/download/file.bin", referer())));
}

TEST_F(WebFrontTest, ForeignHostHeaderIsRefused) {
  const std::string forbidden =
      "HTTP/1.1 403 Forbidden\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  EXPECT_EQ(forbidden, httpExchange(port, "GET / HTTP/1.1\r\nHost: rebind.attacker.example\r\n\r\n"));
  EXPECT_EQ("<p>index</p>", body(httpExchange(port, "GET / HTTP/1.1\r\nHost: localhost\r\nConnection: close\r\n\r\n")));
  // HTTP/1.0 without "Host" is served.
  EXPECT_EQ("<p>index</p>", body(httpExchange(port, "GET / HTTP/1.0\r\n\r\n")));
}

TEST_F(WebFrontTest, PostBodyIsMergedIntoTheQuery) {
  std::string head = "POST /1.0/Catalog/getBanners.svc?x=1 HTTP/1.1\r\nHost: localhost\r\n" + referer();
  EXPECT_EQ("query=x=1&y=2|uri=/1.0/Catalog/getBanners.svc|coding=1|ua=",
            body(httpExchange(port, head + "Content-Length: 3\r\n\r\ny=2")));
  EXPECT_EQ("query=y=2|uri=/a.svc|coding=1|ua=",
            body(httpExchange(port, "POST /a.svc HTTP/1.1\r\nHost: localhost\r\n" + referer() +
                                        "Content-Length: 3\r\n\r\ny=2")));
  // A NUL in the body ends what is appended.
  EXPECT_EQ("query=x=1&a|uri=/1.0/Catalog/getBanners.svc|coding=1|ua=",
            body(httpExchange(port, head + "Content-Length: 3\r\n\r\na" + std::string(1, '\0') + "b")));
  for (const char* length : {"3x", "3 3", "-3", "4294967296", ""})
    EXPECT_EQ("HTTP/1.1 500 Internal Server Error\r\n\r\n",
              httpExchange(port, head + "Content-Length: " + length + "\r\n\r\ny=2"))
        << length;
  // The engine trims the blanks around a value, as HTTP has them.
  EXPECT_EQ("query=x=1&y=2|uri=/1.0/Catalog/getBanners.svc|coding=1|ua=",
            body(httpExchange(port, head + "Content-Length: 3 \t\r\n\r\ny=2")));
  // Exactly the limit is accepted.
  const std::string limit = "y=" + std::string(1048576 - 2, 'v');
  EXPECT_EQ("query=x=1&" + limit + "|uri=/1.0/Catalog/getBanners.svc|coding=1|ua=",
            body(httpExchange(port, head + "Content-Length: 1048576\r\n\r\n" + limit)));
  // A body that ends before its length is no request: nothing is served.
  LogCapture capture;
  int fd = connectLoopback(port);
  std::string request = head + "Content-Length: 100\r\n\r\ny=2";
  send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  shutdown(fd, SHUT_WR);
  EXPECT_EQ("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n", readAll(fd));
  close(fd);
  for (const std::string& record : capture.records()) EXPECT_EQ(std::string::npos, record.find(" 200 ")) << record;
  // Without "Content-Length" the body's end is unknown; once answered with no reply at all.
  bool closed = false;
  EXPECT_EQ("HTTP/1.1 411 Length Required\r\nContent-Length: 0\r\nConnection: close\r\n\r\n",
            httpExchange(port, head + "\r\n", &closed));
  EXPECT_TRUE(closed);
}

// The resident memory of this process, in bytes.
size_t residentBytes() {
  std::FILE* status = std::fopen("/proc/self/status", "r");
  if (!status) return 0;
  char line[256];
  size_t kib = 0;
  while (std::fgets(line, sizeof line, status))
    if (std::sscanf(line, "VmRSS: %zu kB", &kib) == 1) break;
  std::fclose(status);
  return kib * 1024;
}

// Twenty concurrent 9 MiB bodies once took gigabytes, and kept them.
TEST_F(WebFrontTest, ABodyBeyondTheServiceLimitIsRefusedBeforeItIsRead) {
  const std::string tooLarge = "HTTP/1.1 413 Payload Too Large\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  const std::string head = "POST /1.0/Catalog/search.svc HTTP/1.1\r\nHost: localhost\r\n" + referer();
  // The head alone: the refusal cannot have waited for a byte of the body.
  bool closed = false;
  const auto asked = std::chrono::steady_clock::now();
  EXPECT_EQ(tooLarge, httpExchange(port, head + "Content-Length: 9437184\r\n\r\n", &closed));
  EXPECT_TRUE(closed);
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(5));
  for (const char* length : {"1048577", "10485760", "10485761", "4294967295"})
    EXPECT_EQ(tooLarge, httpExchange(port, head + "Content-Length: " + length + "\r\n\r\n")) << length;

  // Twenty at once, each with the head and as much of its body as the socket
  // takes without waiting: all refused, and nothing of the bodies is held.
  const size_t before = residentBytes();
  const std::string chunk(256 * 1024, 'q');
  std::vector<int> clients;
  for (int i = 0; i < 20; ++i) {
    clients.push_back(connectLoopback(port));
    const std::string request = head + "Content-Length: 9437184\r\n\r\n";
    send(clients.back(), request.data(), request.size(), MSG_NOSIGNAL);
    send(clients.back(), chunk.data(), chunk.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
  }
  for (int fd : clients) {
    EXPECT_EQ(0u, readAll(fd).find(tooLarge));
    close(fd);
  }
  EXPECT_LT(residentBytes(), before + 32 * 1024 * 1024);
  // Each answer ended its connection, and the workers serve on.
  EXPECT_EQ("js", body(get("/app.js", referer())));
}

TEST_F(WebFrontTest, RoutesByUriAndWritesFixedHeads) {
  MessagePtr result;
  server.resources().process(result, "q", "/download/file.bin", nullptr);
  EXPECT_EQ(Message::StaticResource, result->type());

  EXPECT_EQ("bin", body(get("/download/file.bin", referer())));
  // ".svc" wins over a later ".ws".
  EXPECT_EQ("query=|uri=/a.svc/b.ws|coding=1|ua=curl", body(get("/a.svc/b.ws", referer() + "User-Agent: curl\r\n")));
  EXPECT_EQ(0u, get("/a.svc?type=0", referer())
                    .find("HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: text/xml; charset=utf-8\r\n\r\n"
                          "query=type=0|"));
  EXPECT_EQ(0u, get("/a.svc?type=1", referer()).find(
                    "HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: text/html; charset=utf-8\r\n\r\n"));
  std::string jsonError = get("/a.svc?type=5&size=600", referer());
  EXPECT_EQ("HTTP/1.1 500 Internal Server Error\r\nConnection: close\r\nContent-Length: 600\r\n"
            "Content-Type: text/json; charset=utf-8\r\n\r\n" + std::string(600, 'b'),
            jsonError);
  // Bodies leave whole: beyond a socket buffer, and past a NUL byte, which
  // once cut the body short of its Content-Length.
  EXPECT_EQ(std::string(300000, 'b'), body(get("/a.svc?type=3&size=300000", referer())));
  EXPECT_EQ("HTTP/1.1 500 Internal Server Error\r\nConnection: close\r\nContent-Length: 3\r\n"
            "Content-Type: text/xml; charset=utf-8\r\n\r\n" + std::string("a\0b", 3),
            get("/a.svc?type=6&nul", referer()));
  EXPECT_EQ(0u, get("/a.svc?type=6&size=3", referer())
                    .find("HTTP/1.1 500 Internal Server Error\r\nConnection: close\r\nContent-Length: 3\r\n"
                          "Content-Type: text/xml; charset=utf-8\r\n\r\nbbb"));
  EXPECT_EQ("HTTP/1.1 500 Internal Server Error\r\nContent-Type: text/html; charset=utf-8\r\n"
            "Content-Length: 15\r\nConnection: close\r\n\r\nreceiver failed",
            get("/a.svc?throw", referer()));
  // HEAD gets the head alone.
  EXPECT_EQ("HTTP/1.1 200 OK\r\nConnection: close\r\nContent-Type: text/json; charset=utf-8\r\n\r\n",
            httpExchange(port, "HEAD /a.svc HTTP/1.1\r\nHost: localhost\r\n" + referer() + "\r\n"));
  // No such service: a failure, with its text.
  EXPECT_EQ("HTTP/1.1 404 Not Found\r\nConnection: close\r\nContent-Length: 10\r\n"
            "Content-Type: text/html; charset=utf-8\r\nContent-Security-Policy: frame-ancestors 'self'\r\n"
            "X-Frame-Options: SAMEORIGIN\r\n\r\nbbbbbbbbbb",
            get("/a.svc?type=7&size=10", referer()));
  // Taken over (and unknown types): nothing written.
  EXPECT_EQ("", get("/a.svc?type=4", referer()));
  EXPECT_EQ("", get("/a.svc?type=9", referer()));
}

TEST_F(WebFrontTest, UnboundReceiversAnswerNotImplemented) {
  server.stop();
  WebServer unbound;
  ASSERT_TRUE(unbound.start("127.0.0.1:" + std::to_string(port), 4, "-0.0.0.0/0,+127.0.0.1", 0, 1,
                            dir.file("ui") + ",/download=" + dir.file("dl"), true, true));
  const std::string reply = get("/1.0/Catalog/getBanners.svc", referer());
  EXPECT_EQ(0u, reply.find("HTTP/1.1 404 Not Found\r\n")) << reply;
  EXPECT_EQ("Not implemented", body(reply));
  // Not a channel while nothing is bound: the Referer decides, then nothing is written.
  EXPECT_EQ("HTTP/1.1 500 Internal Server Error\r\nReferrer: is NULL\r\n\r\n", get("/1.0/Events/all.ws"));
  EXPECT_EQ("", get("/1.0/Events/all.ws", referer()));
  unbound.stop();
}

TEST_F(WebFrontTest, RepliesEndKeptAliveConnections) {
  // The fixed heads carry no length: the connection must close after them.
  bool closed = false;
  std::string reply = httpExchange(port, "GET /a.svc HTTP/1.1\r\nHost: localhost\r\nConnection: keep-alive\r\n" +
                                             referer() + "\r\n", &closed);
  EXPECT_TRUE(closed);
  EXPECT_EQ("query=|uri=/a.svc|coding=1|ua=", body(reply));
}

// One line per request, with what the reply said, and nothing a client could
// use to forge a line.
TEST_F(WebFrontTest, EachRequestLeavesAnAccessLine) {
  LogCapture capture;
  get("/app.js", referer());
  get("/a.svc?type=5&size=7", referer());
  get("/app.js");
  get("/a.svc?type=7&size=15", referer());
  get("/x%0Ay.js", referer());
  std::vector<std::string> lines;
  for (const std::string& record : capture.records())
    if (record.find("INFO GET ") == 0) lines.push_back(record.substr(0, record.rfind(' ', record.size() - 4)));
  const std::vector<std::string> expected = {"INFO GET /app.js 200 2 bytes", "INFO GET /a.svc 500 7 bytes",
                                             "INFO GET /app.js 500 0 bytes", "INFO GET /a.svc 404 15 bytes",
                                             "INFO GET /x?y.js 404"};
  ASSERT_EQ(expected.size(), lines.size());
  for (size_t i = 0; i < 4; ++i) EXPECT_EQ(expected[i], lines[i]);
  EXPECT_EQ(0u, lines[4].find(expected[4])) << lines[4];
}

// A refused page shows only a bare 500: the log tells why, once per request.
TEST_F(WebFrontTest, ARefusedRefererIsLoggedWithTheReason) {
  LogCapture capture;
  const std::string origin = "http://127.0.0.1:" + std::to_string(port);
  get("/desktop/index.html");
  get("/app.js", "Referer: http://evil.example/page\r\n");
  httpExchange(port, "GET /desktop/index.html HTTP/1.0\r\n\r\n");
  get("/app.js", referer());
  std::vector<std::string> warnings;
  for (const std::string& record : capture.records())
    if (record.find("WARNING ") == 0) warnings.push_back(record);
  const std::vector<std::string> expected = {
      "WARNING Refused GET /desktop/index.html: it has no Referer (typed or bookmarked, not opened from the "
      "store); open " + origin + "/ instead",
      "WARNING Refused GET /app.js: its Referer http://evil.example/page is not a page of this server",
      "WARNING Refused GET /desktop/index.html: it has no Referer (typed or bookmarked, not opened from the "
      "store); open the store's root URL instead"};
  EXPECT_EQ(expected, warnings);
}

TEST_F(WebFrontTest, RefusalsComingFasterThanTenASecondAreCountedNotLogged) {
  // Any page the user has open may ask for the store's files in a loop.
  LogCapture capture;
  const auto started = std::chrono::steady_clock::now();
  for (int i = 0; i < 100; ++i) get("/app.js", "Referer: http://evil.example/page\r\n");
  const auto took = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - started);
  // The next refusal in a new second names how many were left out.
  const auto second = std::chrono::duration_cast<std::chrono::seconds>(
      std::chrono::steady_clock::now().time_since_epoch());
  ASSERT_TRUE(eventually([&] {
    return std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch()) >
           second;
  }, std::chrono::seconds(3)));
  get("/app.js", "Referer: http://evil.example/page\r\n");
  size_t warnings = 0, accessLines = 0;
  std::string last;
  for (const std::string& record : capture.records()) {
    if (record.find("WARNING Refused GET /app.js") == 0) ++warnings, last = record;
    if (record.find("INFO GET /app.js 500") == 0) ++accessLines;
  }
  // Ten in each second the loop touched, and the one after.
  EXPECT_LE(warnings, size_t(10 * (took.count() + 2)) + 1);
  EXPECT_EQ(warnings, accessLines);
  EXPECT_NE(std::string::npos, last.find(" more refused since the last of these lines)")) << last;
}

// A foreign page that frames the store would have its clicks land on the
// store's buttons.
TEST_F(WebFrontTest, StoreFilesForbidFramingByOtherSites) {
  for (const std::string& reply : {get("/"), get("/app.js", referer()), get("/download/file.bin", referer())}) {
    EXPECT_NE(std::string::npos, reply.find("\r\nContent-Security-Policy: frame-ancestors 'self'\r\n")) << reply;
    EXPECT_NE(std::string::npos, reply.find("\r\nX-Frame-Options: SAMEORIGIN\r\n")) << reply;
  }
  // A revalidated file keeps them too.
  const std::string first = get("/app.js", referer());
  const size_t at = first.find("ETag: ");
  ASSERT_NE(std::string::npos, at);
  const std::string tag = first.substr(at + 6, first.find("\r\n", at) - at - 6);
  const std::string notModified = get("/app.js", referer() + "If-None-Match: " + tag + "\r\n");
  EXPECT_EQ(0u, notModified.find("HTTP/1.1 304 Not Modified\r\n")) << notModified;
  EXPECT_NE(std::string::npos, notModified.find("\r\nX-Frame-Options: SAMEORIGIN\r\n")) << notModified;
}

TEST(WebServerTest, AFailedStartLogsNothingAndTellsWhyAndStopIsSafeTwice) {
  LogCapture capture;
  WebServer server;
  EXPECT_FALSE(server.start("not-a-port", 1, "", 0, 1, ".", true, false));
  // The caller judges the engine's message (a busy port is no error).
  EXPECT_EQ(std::vector<std::string>{}, capture.records());
  EXPECT_EQ("set_ports_option: not-a-port: invalid port spec. Expecting list of: [IP_ADDRESS:]PORT[s|p]",
            server.lastStartFailure().text);
  EXPECT_EQ(0, server.lastStartFailure().error);
  const int busy = freeLoopbackPort();
  const int holder = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(uint16_t(busy));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, bind(holder, reinterpret_cast<sockaddr*>(&address), sizeof address));
  ASSERT_EQ(0, listen(holder, 1));
  EXPECT_FALSE(server.start("127.0.0.1:" + std::to_string(busy), 1, "", 0, 1, ".", true, false));
  EXPECT_EQ(EADDRINUSE, server.lastStartFailure().error);
  close(holder);
  server.stop();
  ASSERT_TRUE(server.start("127.0.0.1:" + std::to_string(freeLoopbackPort()), 1, "", 0, 1, ".", false, false));
  EXPECT_FALSE(server.referrerCheck());
  server.stop();
  server.stop();
}

}  // namespace
