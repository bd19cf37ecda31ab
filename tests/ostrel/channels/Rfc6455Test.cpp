// RFC 6455 channels: raw exchanges for the exact bytes, and an independent
// client (the npm package "ws", driven by client/channel-client.js) for what a
// browser of today does.

#include <gtest/gtest.h>

#include "ChannelTestSupport.h"
#include "support/OriginTable.h"
#include "support/Subprocess.h"

namespace {

// Installs the client's packages into the build tree, once per lock file.
bool installClient() {
  Subprocess npm({NPM_CI, WS_CLIENT_DIR, NPM_EXECUTABLE});
  const int status = npm.wait(std::chrono::seconds(240));
  if (status != 0) ADD_FAILURE() << "npm-ci ended with " << status << ": " << npm.output();
  return status == 0;
}

class Rfc6455Test : public ChannelTest {
 protected:
  void SetUp() override {
    ASSERT_TRUE(installClient()) << "npm could not install the test client";
    ChannelTest::SetUp();
  }

  std::string url(const std::string& route) { return "ws://127.0.0.1:" + std::to_string(port) + route; }
  std::string localOrigin() { return "http://127.0.0.1:" + std::to_string(port); }
  Subprocess client(const std::string& route, const std::string& origin, const std::string& mode) {
    return Subprocess({NODE_EXECUTABLE, WS_CLIENT_DIR "/channel-client.js", url(route), origin, mode});
  }

  // The reply head to a handshake, without waiting for the channel to end.
  std::string handshakeHead(const std::string& request) {
    int fd = connectLoopback(port);
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    std::string reply;
    eventually([&] {
      char bytes[512];
      ssize_t n = recv(fd, bytes, sizeof bytes, MSG_DONTWAIT);
      if (n > 0) reply.append(bytes, size_t(n));
      return n == 0 || reply.find("\r\n\r\n") != std::string::npos;
    });
    ::close(fd);
    return reply;
  }

  std::string rawRequest(const std::string& origin) {
    return "GET /1.0/Events/all.ws HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
           "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n"
           "Sec-WebSocket-Version: 13\r\n" + origin + "\r\n";
  }
};

const char kForbidden[] =
    "HTTP/1.1 403 Forbidden\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
const char kSwitching[] =
    "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
    "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n\r\n";

TEST_F(Rfc6455Test, RawHandshakeCloseAndProtocolErrors) {
  auto factory = std::make_shared<RecordingFactory>();
  manager.addRoute("1.0/Events/all", factory);
  const std::string close = std::string("\x88\x82\x01\x02\x03\x04", 6) + char(0x03 ^ 0x01) + char(0xE8 ^ 0x02);

  int fd = connectLoopback(port);
  std::string request = rawRequest("Origin: " + localOrigin() + "\r\n");
  send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string reply;
  ASSERT_TRUE(eventually([&] {
    char bytes[512];
    ssize_t n = recv(fd, bytes, sizeof bytes, MSG_DONTWAIT);
    if (n > 0) reply.append(bytes, size_t(n));
    return reply.size() >= sizeof kSwitching - 1;
  }));
  EXPECT_EQ(kSwitching, reply);
  ASSERT_TRUE(eventually([&] { return factory->made(0) && !factory->made(0)->events().empty(); }));
  // A close with 1000 is answered with 1000, then the connection ends.
  send(fd, close.data(), close.size(), MSG_NOSIGNAL);
  bool closed = false;
  EXPECT_EQ(std::string("\x88\x02\x03\xE8", 4), readAll(fd, &closed));
  EXPECT_TRUE(closed);
  ::close(fd);
  EXPECT_TRUE(eventually([&] { return factory->made(0)->events().size() == 2; }));
  EXPECT_EQ((std::vector<std::string>{"open", "close"}), factory->made(0)->events());

  // Protocol errors close with 1002: an unmasked frame, a close whose payload is
  // one byte, a close with a code no peer may send (999, 1005). Text that is
  // not UTF-8 closes with 1007, in a message or in a close's reason.
  const std::string zeroMask("\x00\x00\x00\x00", 4);
  const std::string protocolError("\x88\x02\x03\xEA", 4), invalidPayload("\x88\x02\x03\xEF", 4);
  const std::pair<std::string, std::string> cases[] = {
      {std::string("\x81\x02hi", 4), protocolError},
      {"\x88\x81" + zeroMask + "\x03", protocolError},
      {"\x88\x82" + zeroMask + "\x03\xE7", protocolError},
      {"\x88\x82" + zeroMask + "\x03\xED", protocolError},
      {"\x81\x82" + zeroMask + "\xC3\x28", invalidPayload},
      {"\x88\x83" + zeroMask + "\x03\xE8\xFF", invalidPayload},
  };
  for (const auto& [bad, answer] : cases) {
    fd = connectLoopback(port);
    send(fd, request.data(), request.size(), MSG_NOSIGNAL);
    reply.clear();
    ASSERT_TRUE(eventually([&] {
      char bytes[512];
      ssize_t n = recv(fd, bytes, sizeof bytes, MSG_DONTWAIT);
      if (n > 0) reply.append(bytes, size_t(n));
      return reply.size() >= sizeof kSwitching - 1;
    }));
    send(fd, bad.data(), bad.size(), MSG_NOSIGNAL);
    EXPECT_EQ(answer, readAll(fd, &closed));
    EXPECT_TRUE(closed);
    ::close(fd);
  }
}

TEST_F(Rfc6455Test, ABrowserThatPingsAndNeverReadsIsNoLongerRead) {
  // Each ping owes a pong; once the pongs could not be written, the pings were
  // still read and the pongs grew without end.
  auto factory = std::make_shared<RecordingFactory>();
  manager.addRoute("1.0/Events/all", factory);
  int fd = connectLoopback(port);
  const int small = 4096;
  setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &small, sizeof small);
  const std::string request = rawRequest("Origin: " + localOrigin() + "\r\n");
  send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  ASSERT_TRUE(eventually([&] { return factory->made(0) && !factory->made(0)->events().empty(); }));
  const std::string ping = std::string("\x89\xFD\x00\x00\x00\x00", 6) + std::string(125, 'p');
  std::string pings;
  for (int i = 0; i < 1024; ++i) pings += ping;
  size_t sent = 0;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (sent < (256u << 20) && std::chrono::steady_clock::now() < deadline) {
    const size_t at = sent % pings.size();  // pings stay whole frames across short sends
    const ssize_t n = send(fd, pings.data() + at, pings.size() - at, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) sent += size_t(n);
    if (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK) break;
    if (n < 0 && !eventually([&] {
          pollfd p{fd, POLLOUT, 0};
          return poll(&p, 1, 0) > 0;
        }, std::chrono::milliseconds(500)))
      break;
  }
  // What the socket buffers of both ends hold, and the owed pongs' bound.
  EXPECT_LT(sent, size_t(64) << 20);
  ::close(fd);
}

TEST_F(Rfc6455Test, OnlyAnOriginOfThisServerOpensAChannel) {
  auto factory = std::make_shared<RecordingFactory>();
  manager.addRoute("1.0/Events/all", factory);
  size_t made = 0;
  for (const OriginCase& row : originTable(port)) {
    if (row.origin.empty()) continue;  // no origin at all: a native client, below
    EXPECT_EQ(row.accepted ? kSwitching : kForbidden, handshakeHead(rawRequest("Origin: " + row.origin + "\r\n")))
        << row.origin;
    // A refused channel's listener hears of it at once; an opened one's only
    // whether its client stayed (this one leaves at once).
    ASSERT_TRUE(eventually([&] { return factory->made(made) && !factory->made(made)->events().empty(); }));
    if (!row.accepted) {
      EXPECT_EQ("abort", factory->made(made)->events()[0]) << row.origin;
    }
    ++made;
  }
  // Two origins never reach the channel at all.
  EXPECT_EQ("HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n",
            httpExchange(port, rawRequest("Origin: " + localOrigin() + "\r\norigin: http://evil.example\r\n")));
  EXPECT_FALSE(factory->made(made));

  Subprocess foreign = client("/1.0/Events/all.ws", "http://evil.example", "events");
  EXPECT_TRUE(foreign.waitForOutput("status 403\n")) << foreign.output();
  EXPECT_EQ(0, foreign.wait());
}

TEST_F(Rfc6455Test, BrowsersByEveryLocalNameAndNativeClientsReceiveEvents) {
  useFormat(1);
  bindPluginRoutes();
  // A page opened as http://localhost:PORT/, one reached over IPv6, and a
  // client that sends no Origin (ws sends none for an empty one).
  const std::string p = std::to_string(port);
  const std::pair<std::string, std::string> clients[] = {
      {"ws://127.0.0.1:" + p, "http://localhost:" + p},
      {"ws://[::1]:" + p, "http://[::1]:" + p},
      {"ws://127.0.0.1:" + p, ""},
  };
  for (const auto& [server, origin] : clients) {
    Subprocess browser({NODE_EXECUTABLE, WS_CLIENT_DIR "/channel-client.js", server + "/1.0/Events/all.ws", origin,
                        "events"});
    ASSERT_TRUE(browser.waitForOutput("open\n")) << origin << ": " << browser.output();
    publish(std::string(kEventTopic) + "x", "<Event><Type>Purchase</Type></Event>");
    EXPECT_TRUE(browser.waitForOutput("close 1000\n")) << browser.output();
    EXPECT_EQ(0, browser.wait());
    EXPECT_EQ("open\nmessage {\"event\":{\"type\":\"Purchase\"}}\npong hi\nclose 1000\n", browser.output()) << origin;
    EXPECT_TRUE(eventually([&] { return manager.openChannels() == 0; }));
  }
  EXPECT_EQ(kSwitching, handshakeHead(rawRequest("")));
}

TEST_F(Rfc6455Test, BrowserReceivesAnEventAndItsPingAndCloseAreAnswered) {
  useFormat(1);
  bindPluginRoutes();
  Subprocess browser = client("/1.0/Events/all.ws", localOrigin(), "events");
  ASSERT_TRUE(browser.waitForOutput("open\n")) << browser.output();
  publish(std::string(kEventTopic) + "x", "<Event><Type>Purchase</Type></Event>");
  EXPECT_TRUE(browser.waitForOutput("close 1000\n")) << browser.output();
  EXPECT_EQ(0, browser.wait());
  EXPECT_EQ("open\nmessage {\"event\":{\"type\":\"Purchase\"}}\npong hi\nclose 1000\n", browser.output());
  EXPECT_TRUE(eventually([&] { return manager.openChannels() == 0; }));
}

TEST_F(Rfc6455Test, TextFromTheBrowserReachesTheListenerAndServerStopClosesWith1001) {
  auto factory = std::make_shared<RecordingFactory>();
  manager.addRoute("1.0/Events/all", factory);
  Subprocess browser = client("/1.0/Events/all.ws", localOrigin(), "talk");
  ASSERT_TRUE(browser.waitForOutput("open\n")) << browser.output();
  ASSERT_TRUE(eventually([&] { return factory->made(0) && factory->made(0)->events().size() == 2; }));
  EXPECT_EQ((std::vector<std::string>{"open", "text hello"}), factory->made(0)->events());
  // Long texts go out in one frame with the longer length forms.
  EventChannelPtr socket = factory->made(0)->getSender();
  ASSERT_TRUE(socket);
  EXPECT_TRUE(socket->postAndWait(std::string(70000, 'x')));
  EXPECT_TRUE(browser.waitForOutput("message " + std::string(70000, 'x') + "\n")) << browser.output().size();
  manager.closeAll();
  EXPECT_TRUE(browser.waitForOutput("close 1001\n")) << browser.output();
  EXPECT_EQ(0, browser.wait());
}

}  // namespace
