// Forwarding on listeners with the proxy flag, to a second engine as the
// server: the request line, headers and body out, the answer back.

#include <mutex>

#include <gtest/gtest.h>

#include "ostrel/engine/EngineTestUtil.h"
#include "support/Portable.h"
#include "ostrel/engine/proxy.h"

using namespace enginetest;

namespace {

void* taken() { return const_cast<char*>("OK"); }

// The server side: records each request head and answers with what it saw.
class Peer {
 public:
  explicit Peer(std::vector<std::string> options)
      : engine_(std::move(options), [this](mg_event event, Connection* conn, RequestInfo* info) -> void* {
          if (event != EVT_NEW_REQUEST) return nullptr;
          std::string body;
          char buf[4096];
          int n;
          while ((n = mg_read_body(conn, buf, sizeof(buf))) > 0) body.append(buf, static_cast<size_t>(n));
          std::string seen = std::string(info->request_method) + " " + info->uri + " HTTP/" + info->http_version;
          for (int i = 0; i < info->num_headers; i++) {
            seen += std::string("|") + info->http_headers[i].name + ": " + info->http_headers[i].value;
          }
          {
            std::lock_guard<std::mutex> lock(mutex_);
            heads_.push_back(seen);
          }
          std::string reply_body = "body=" + body;
          mg_send_formatted(conn, "HTTP/1.1 203 Seen\r\nContent-Length: %d\r\n\r\n%s",
                            static_cast<int>(reply_body.size()), reply_body.c_str());
          return taken();
        }) {}
  TestEngine& engine() { return engine_; }
  std::vector<std::string> heads() {
    std::lock_guard<std::mutex> lock(mutex_);
    return heads_;
  }

 private:
  std::mutex mutex_;  // guards heads_
  std::vector<std::string> heads_;
  TestEngine engine_;
};

int closed_port() {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof(sa);
  bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  closeSocket(fd);
  return ntohs(sa.sin_port);
}

}  // namespace

TEST(EngineProxy, ParsesTheTarget) {
  char host[64];
  int port = 0;
  const char* rest = nullptr;
  ASSERT_EQ(0, parse_proxy_uri("http://example.org:8080/p?q=1", host, sizeof(host), &port, &rest));
  EXPECT_STREQ("example.org", host);
  EXPECT_EQ(8080, port);
  EXPECT_STREQ("/p?q=1", rest);
  ASSERT_EQ(0, parse_proxy_uri("example.org/x", host, sizeof(host), &port, &rest));
  EXPECT_EQ(80, port);
  EXPECT_STREQ("/x", rest);
  ASSERT_EQ(0, parse_proxy_uri("example.org:443", host, sizeof(host), &port, &rest));
  EXPECT_EQ(443, port);
  EXPECT_STREQ("/", rest);
  for (const char* bad : {"", "http://", ":80/", "h:abc/", "h:0/", "h:70000/", "h:80x/"}) {
    EXPECT_EQ(-1, parse_proxy_uri(bad, host, sizeof(host), &port, &rest)) << bad;
  }
  EXPECT_EQ(-1, parse_proxy_uri((std::string(100, 'h') + "/").c_str(), host, sizeof(host), &port, &rest));
}

TEST(EngineProxy, ForwardsRequestsAndBodies) {
  Peer peer({});
  ASSERT_TRUE(peer.engine().started());
  TestEngine proxy({"listening_ports", "127.0.0.1:0p", "enable_keep_alive", "yes"});
  ASSERT_TRUE(proxy.started());
  std::string target = "http://127.0.0.1:" + std::to_string(peer.engine().port());

  std::string reply = http_exchange(
      proxy.port(), "GET " + target + "/a/b?c=d HTTP/1.1\r\nConnection: keep-alive\r\nX-Custom: v\r\n\r\n");
  EXPECT_EQ("HTTP/1.1 203 Seen", status_line(reply));
  EXPECT_EQ("body=", body_of(reply));
  reply = http_exchange(proxy.port(),
                        "POST " + target + "/post HTTP/1.1\r\nContent-Length: 11\r\n\r\nhello proxy");
  EXPECT_EQ("body=hello proxy", body_of(reply));
  // With curl as the client, the way a proxy is meant to be used.
  int status = -1;
  std::string out = run("curl -sS --max-time 10 -x http://127.0.0.1:" + std::to_string(proxy.port()) + " " + target +
                            "/via-curl",
                        &status);
  EXPECT_EQ(0, status);
  EXPECT_EQ("body=", out);

  std::vector<std::string> heads = peer.heads();
  ASSERT_EQ(3u, heads.size());
  // The server is asked to close, so that the relay ends with its answer.
  EXPECT_EQ("GET /a/b HTTP/1.1|X-Custom: v|Connection: close", heads[0]);
  EXPECT_EQ("POST /post HTTP/1.1|Content-Length: 11|Connection: close", heads[1]);
  EXPECT_EQ(0u, heads[2].find("GET /via-curl HTTP/1.1|Host: 127.0.0.1:"));
}

TEST(EngineProxy, UnusableTargetsAreDropped) {
  TestEngine proxy({"listening_ports", "127.0.0.1:0p"});
  ASSERT_TRUE(proxy.started());
  EXPECT_EQ("", http_exchange(proxy.port(), "GET /local/path HTTP/1.1\r\n\r\n"));
  EXPECT_EQ("", http_exchange(proxy.port(), "GET http://:80/ HTTP/1.1\r\n\r\n"));
  int port = closed_port();
  EXPECT_EQ("", http_exchange(proxy.port(), "GET http://127.0.0.1:" + std::to_string(port) + "/ HTTP/1.1\r\n\r\n"));
  EXPECT_TRUE(proxy.log().wait_for("mg_connect: connect(127.0.0.1:" + std::to_string(port) + "): Connection refused",
                                   5000));
  // CONNECT goes out over TLS, which needs a certificate.
  EXPECT_EQ("", http_exchange(proxy.port(), "CONNECT 127.0.0.1:443 HTTP/1.1\r\n\r\n"));
  EXPECT_TRUE(proxy.log().wait_for("mg_connect: SSL is not initialized", 5000));
}

TEST(EngineProxy, ConnectGoesOutOverTls) {
  TempDir dir;
  std::string pem = dir.path() + "/cert.pem";
  ASSERT_TRUE(make_test_certificate(pem));
  Peer peer({"listening_ports", "127.0.0.1:0s", "ssl_certificate", pem});
  ASSERT_TRUE(peer.engine().started());
  TestEngine proxy({"listening_ports", "127.0.0.1:0p", "ssl_certificate", pem});
  ASSERT_TRUE(proxy.started());
  std::string reply = http_exchange(
      proxy.port(), "CONNECT 127.0.0.1:" + std::to_string(peer.engine().port()) + " HTTP/1.1\r\n\r\n");
  EXPECT_EQ("HTTP/1.1 203 Seen", status_line(reply));
  ASSERT_EQ(1u, peer.heads().size());
  EXPECT_EQ("CONNECT / HTTP/1.1|Connection: close", peer.heads()[0]);
}
