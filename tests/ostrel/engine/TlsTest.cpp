// HTTPS with a certificate made by the openssl tool, checked with curl.
#include <unistd.h>

#include <gtest/gtest.h>

#include "ostrel/engine/EngineTestUtil.h"

using namespace enginetest;

TEST(EngineTls, ServesFilesOverHttpsToCurl) {
  TempDir dir;
  dir.file("www/hello.txt", "over tls");
  std::string pem = dir.path() + "/cert.pem";
  ASSERT_TRUE(make_test_certificate(pem));
  int status = -1;

  bool ssl_init_seen = false;
  TestEngine engine({"listening_ports", "127.0.0.1:0s", "ssl_certificate", pem, "document_root", dir.path() + "/www"},
                    [&](mg_event event, Connection* conn, RequestInfo*) -> void* {
                      if (event == EVT_INIT_SSL && conn != nullptr) ssl_init_seen = true;
                      return nullptr;
                    });
  ASSERT_TRUE(engine.started());
  EXPECT_TRUE(ssl_init_seen);
  std::string url = "https://127.0.0.1:" + std::to_string(engine.port()) + "/hello.txt";
  std::string out = run("curl -sS --max-time 10 -k " + url, &status);
  EXPECT_EQ(0, status);
  EXPECT_EQ("over tls", out);
  // The certificate curl saw is ours.
  out = run("curl -sS --max-time 10 --cacert " + pem + ".crt -r 0-3 " + url, &status);
  EXPECT_EQ(0, status);
  EXPECT_EQ("over", out);
  // A plain-text client on the TLS port gets no reply and the engine goes on.
  EXPECT_EQ("", http_exchange(engine.port(), "GET /hello.txt HTTP/1.0\r\n\r\n", 5000));
  out = run("curl -sS --max-time 10 -k " + url, &status);
  EXPECT_EQ("over tls", out);
}

TEST(EngineTls, SilentClientCannotHoldTheHandshake) {
  TempDir dir;
  std::string pem = dir.path() + "/cert.pem";
  ASSERT_TRUE(make_test_certificate(pem));
  ScopedReadTimeout timeout(300);
  TestEngine engine({"listening_ports", "127.0.0.1:0s", "ssl_certificate", pem, "num_threads", "1"});
  ASSERT_TRUE(engine.started());
  int fd = connect_to(engine.port());
  EXPECT_TRUE(peer_closes(fd, 10000));
  close(fd);
  // The only worker is free again.
  std::string url = "https://127.0.0.1:" + std::to_string(engine.port()) + "/";
  int status = -1;
  run("curl -sS --max-time 10 -k -o /dev/null " + url, &status);
  EXPECT_EQ(0, status);
}

TEST(EngineTls, CertificateWithoutKeyFailsStart) {
  TempDir dir;
  std::string crt = dir.path() + "/crt.pem";
  int status = -1;
  run("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=x -keyout /dev/null -out " + crt + " 2>/dev/null",
      &status);
  ASSERT_EQ(0, status);
  LogSink log;
  EngineContext* ctx = launch({"listening_ports", "127.0.0.1:0s", "ssl_certificate", crt}, &log);
  EXPECT_EQ(nullptr, ctx);
  if (ctx != nullptr) mg_halt(ctx);
  EXPECT_TRUE(log.contains("set_ssl_option: cannot open " + crt + ": "));
}
