// Option parsing, start failures, listeners and the address filter.

#include <cstdlib>
#include <cstring>

#include <gtest/gtest.h>

#include <chrono>

#include "ostrel/engine/EngineTestUtil.h"
#include "support/Portable.h"
#include "ostrel/engine/acl.h"
#include "ostrel/engine/address.h"
#include "ostrel/engine/engine.h"
#include "ostrel/engine/options.h"

using namespace enginetest;

namespace {

// A context that only carries an access list, for check_acl.
struct AclContext {
  explicit AclContext(const char* list) {
    ctx = new EngineContext();
    if (list != nullptr) ctx->config[ACCESS_CONTROL_LIST] = strdup(list);
  }
  ~AclContext() {
    std::free(ctx->config[ACCESS_CONTROL_LIST]);
    delete ctx;
  }
  // IP is IPv4 or IPv6 text.
  int verdict(const char* ip) {
    SocketAddress a{};
    if (inet_pton(AF_INET, ip, &a.sin.sin_addr) == 1) {
      a.sin.sin_family = AF_INET;
    } else {
      EXPECT_EQ(1, inet_pton(AF_INET6, ip, &a.sin6.sin6_addr)) << ip;
      a.sin6.sin6_family = AF_INET6;
    }
    return check_acl(ctx, &a);
  }
  EngineContext* ctx;
};

// Binds a listening socket on a free loopback port and returns it.
int occupy_port(int* port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa));
  listen(fd, 1);
  socklen_t len = sizeof(sa);
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  *port = ntohs(sa.sin_port);
  return fd;
}

}  // namespace

TEST(EngineOptions, VersionAndDefaults) {
  EXPECT_STREQ("3.2", mg_engine_version());
  TestEngine engine({});
  ASSERT_TRUE(engine.started());
  EXPECT_STREQ("index.html,index.htm,index.cgi", mg_get_option(engine.context(), "index_files"));
  EXPECT_STREQ("16384", mg_get_option(engine.context(), "M"));
  EXPECT_STREQ("no", mg_get_option(engine.context(), "enable_keep_alive"));
  EXPECT_STREQ("**.cgi$|**.pl$|**.php$", mg_get_option(engine.context(), "cgi_pattern"));
  EXPECT_STREQ("**.shtml$|**.shtm$", mg_get_option(engine.context(), "ssi_pattern"));
  EXPECT_NE(nullptr, mg_get_option(engine.context(), "authentication_domain"));
  EXPECT_EQ(nullptr, mg_get_option(engine.context(), "access_control_list"));
  EXPECT_EQ(nullptr, mg_get_option(engine.context(), "no_such_option"));
}

TEST(EngineOptions, ShortNameVSetsWsTimeoutAndCallbacksReadBothNumbers) {
  int seen_ws = -1;
  int seen_coding = -1;
  TestEngine engine({"v", "7", "resp_coding", "3"}, [&](mg_event event, Connection* conn, RequestInfo*) -> void* {
    if (event != EVT_NEW_REQUEST) return nullptr;
    seen_ws = mg_ws_timeout(conn);
    seen_coding = mg_resp_coding(conn);
    mg_send_formatted(conn, "HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n");
    return const_cast<char*>("OK");
  });
  ASSERT_TRUE(engine.started());
  EXPECT_STREQ("7", mg_get_option(engine.context(), "ws_timeout"));
  EXPECT_STREQ("3", mg_get_option(engine.context(), "resp_coding"));
  std::string reply = http_exchange(engine.port(), "GET / HTTP/1.1\r\n\r\n");
  EXPECT_EQ("HTTP/1.1 204 No Content", status_line(reply));
  EXPECT_EQ(7, seen_ws);
  EXPECT_EQ(3, seen_coding);
}

TEST(EngineOptions, NumbersOfUnsetOrTextOptionsReadAsZero) {
  int seen_ws = -1;
  int seen_coding = -1;
  TestEngine engine({"ws_timeout", "soon"}, [&](mg_event event, Connection* conn, RequestInfo*) -> void* {
    if (event != EVT_NEW_REQUEST) return nullptr;
    seen_ws = mg_ws_timeout(conn);
    seen_coding = mg_resp_coding(conn);
    mg_send_formatted(conn, "HTTP/1.1 204 No Content\r\nConnection: close\r\n\r\n");
    return const_cast<char*>("OK");
  });
  ASSERT_TRUE(engine.started());
  http_exchange(engine.port(), "GET / HTTP/1.1\r\n\r\n");
  EXPECT_EQ(0, seen_ws);
  EXPECT_EQ(0, seen_coding);
}

TEST(EngineOptions, DuplicateOptionIsReportedAndTheLastValueWins) {
  TestEngine engine({"num_threads", "2", "t", "3"});
  ASSERT_TRUE(engine.started());
  EXPECT_TRUE(engine.log().contains("t: duplicate option"));
  EXPECT_STREQ("3", mg_get_option(engine.context(), "num_threads"));
  EXPECT_EQ(3, engine.context()->num_threads);
}

TEST(EngineOptions, StartFailuresReportTheirMessage) {
  struct Case {
    std::vector<std::string> options;
    std::string message;
  };
  const Case cases[] = {
      {{"bogus", "1"}, "Invalid option: bogus"},
      {{"listening_ports", "127.0.0.1:abc"},
       "set_ports_option: 127.0.0.1:abc: invalid port spec. Expecting list of: [IP_ADDRESS:]PORT[s|p]"},
      {{"listening_ports", "0x"}, "set_ports_option: 0x: invalid port spec"},
      {{"listening_ports", "70000"}, "set_ports_option: 70000: invalid port spec"},
      {{"listening_ports", "8080sp"}, "set_ports_option: 8080sp: invalid port spec"},
      {{"listening_ports", "[::1]"}, "set_ports_option: [::1]: invalid port spec"},
      {{"listening_ports", "[::1:0"}, "set_ports_option: [::1:0: invalid port spec"},
      {{"listening_ports", "[]:0"}, "set_ports_option: []:0: invalid port spec"},
      {{"listening_ports", "[::g]:0"}, "set_ports_option: [::g]:0: invalid port spec"},
      {{"listening_ports", "::1:0"}, "set_ports_option: ::1:0: invalid port spec"},
      {{"access_control_list", "+::g"}, "check_acl: bad ip address: [+::g]"},
      {{"access_control_list", "+::1/129"}, "check_acl: bad subnet mask: 129 [+::1/129]"},
      {{"listening_ports", "127.0.0.1:0,0s"}, "Cannot add SSL socket, is -ssl_certificate option set?"},
      {{"access_control_list", "+1.2.3"}, "check_acl: subnet must be [+|-]x.x.x.x[/x]"},
      {{"access_control_list", "*1.2.3.4"}, "check_acl: flag must be + or -: [*1.2.3.4]"},
      {{"access_control_list", "+1.2.3.256"}, "check_acl: bad ip address: [+1.2.3.256]"},
      {{"access_control_list", "+1.2.3.4/33"}, "check_acl: bad subnet mask: 33 [+1.2.3.4/33]"},
      {{"access_control_list", "+1.2.3.4/-1"}, "check_acl: bad subnet mask: -1 [+1.2.3.4/-1]"},
      {{"max_request_size", "0"}, "max_request_size: invalid value: 0"},
      {{"extra_headers", "X-Ok: 1\nno colon"}, "extra_headers: not a header line: [no colon]"},
      {{"extra_headers", "Bad Name: 1"}, "extra_headers: not a header line: [Bad Name: 1]"},
      {{"extra_headers", ": 1"}, "extra_headers: not a header line: [: 1]"},
      {{"extra_headers", "X: a\rb"}, "extra_headers: not a header line: [X: a\rb]"},
      {{"extra_headers", "X: " + std::string(3000, 'a')}, "extra_headers: longer than 2048 bytes"},
      {{"ssl_certificate", "/nonexistent/cert.pem"}, "set_ssl_option: cannot open /nonexistent/cert.pem"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    int fds_before = count_open_fds();
    LogSink log;
    EngineContext* ctx = launch(c.options, &log);
    EXPECT_EQ(nullptr, ctx);
    if (ctx != nullptr) mg_halt(ctx);
    EXPECT_TRUE(log.contains(c.message));
    EXPECT_EQ(fds_before, count_open_fds());  // no listener left open
  }
}

TEST(EngineOptions, NullValueIsRefused) {
  LogSink log;
  const char* options[] = {"document_root", nullptr, nullptr, nullptr};
  EngineContext* ctx = mg_launch(
      [](mg_event event, Connection*, RequestInfo* info) -> void* {
        if (event == EVT_LOG_MESSAGE) static_cast<LogSink*>(info->user_data)->add(info->log_message);
        return nullptr;
      },
      &log, options);
  EXPECT_EQ(nullptr, ctx);
  EXPECT_TRUE(log.contains("document_root: option value cannot be NULL"));
}

TEST(EngineOptions, PortInUseFailsWithCannotBind) {
  int port = 0;
  int fd = occupy_port(&port);
  LogSink log;
  std::string spec = "127.0.0.1:" + std::to_string(port);
  EngineContext* ctx = launch({"listening_ports", spec}, &log);
  EXPECT_EQ(nullptr, ctx);
  if (ctx != nullptr) mg_halt(ctx);
  EXPECT_TRUE(log.contains("set_ports_option: cannot bind to " + spec + ": "));
  closeSocket(fd);
}

TEST(EngineOptions, ListenersRunInReverseOrderOfTheList) {
  TestEngine engine({"listening_ports", "127.0.0.1:0,127.0.0.2:0p"});
  ASSERT_TRUE(engine.started());
  const SocketRecord* first = engine.context()->listening_sockets;
  ASSERT_NE(nullptr, first);
  ASSERT_NE(nullptr, first->next);
  EXPECT_EQ(htonl(0x7f000002), first->local_addr.sin.sin_addr.s_addr);
  EXPECT_EQ(1, first->is_proxy);
  EXPECT_EQ(htonl(0x7f000001), first->next->local_addr.sin.sin_addr.s_addr);
  EXPECT_EQ(0, first->next->is_proxy);
  EXPECT_EQ(nullptr, first->next->next);
}

TEST(EngineAcl, Verdicts) {
  {
    AclContext acl("-0.0.0.0/0,+127.0.0.1");
    EXPECT_EQ(1, acl.verdict("127.0.0.1"));
    EXPECT_EQ(0, acl.verdict("127.0.0.2"));
    EXPECT_EQ(0, acl.verdict("10.0.0.1"));
  }
  {
    // The rule's own address is compared unmasked, so this never matches.
    AclContext acl("+127.0.0.1/8");
    EXPECT_EQ(0, acl.verdict("127.0.0.1"));
    EXPECT_EQ(0, acl.verdict("127.0.0.0"));
  }
  {
    AclContext acl("+127.0.0.0/8");
    EXPECT_EQ(1, acl.verdict("127.1.2.3"));
    EXPECT_EQ(0, acl.verdict("128.0.0.1"));
  }
  {
    // The last matching rule wins.
    AclContext acl("+10.0.0.0/8,-10.1.2.3");
    EXPECT_EQ(0, acl.verdict("10.1.2.3"));
    EXPECT_EQ(1, acl.verdict("10.9.9.9"));
  }
  {
    AclContext acl("");  // empty: nobody
    EXPECT_EQ(0, acl.verdict("127.0.0.1"));
  }
  {
    AclContext acl(nullptr);  // unset: everybody
    EXPECT_EQ(1, acl.verdict("127.0.0.1"));
    EXPECT_EQ(1, acl.verdict("8.8.8.8"));
  }
  {
    AclContext acl("+0.0.0.0/0");
    EXPECT_EQ(1, acl.verdict("255.255.255.255"));
  }
}

TEST(EngineAcl, IPv6ClientsAreJudgedByIPv6RulesAndMappedOnesAsIPv4) {
  {
    AclContext acl("-0.0.0.0/0,+127.0.0.1,+::1");
    EXPECT_EQ(1, acl.verdict("::1"));
    EXPECT_EQ(0, acl.verdict("::2"));
    EXPECT_EQ(0, acl.verdict("fe80::1"));
    // An IPv4-mapped address is the IPv4 client it maps.
    EXPECT_EQ(1, acl.verdict("::ffff:127.0.0.1"));
    EXPECT_EQ(0, acl.verdict("::ffff:10.0.0.1"));
  }
  {
    // IPv4 rules say nothing of IPv6 clients, which no rule admits then.
    AclContext acl("+0.0.0.0/0");
    EXPECT_EQ(0, acl.verdict("::1"));
  }
  {
    // A mapped address cannot pass by an IPv6 rule for every address.
    AclContext acl("-0.0.0.0/0,+::/0,-fe80::/10");
    EXPECT_EQ(1, acl.verdict("2001:db8::1"));
    EXPECT_EQ(0, acl.verdict("fe80::1:2"));
    EXPECT_EQ(0, acl.verdict("::ffff:10.0.0.1"));
  }
}

TEST(EngineOptions, ListensOnIPv6LoopbackForIPv6ClientsOnly) {
  TempDir dir;
  dir.file("www/hello.txt", "hello");
  std::string seen_address;
  std::mutex seen_lock;
  TestEngine engine({"listening_ports", "[::1]:0", "document_root", dir.path() + "/www", "access_control_list",
                     "-0.0.0.0/0,+::1"},
                    [&](mg_event event, Connection* conn, RequestInfo* info) -> void* {
                      if (event == EVT_NEW_REQUEST) {
                        char text[64];
                        address_to_text(&conn->client.remote_addr, text, sizeof text);
                        std::lock_guard<std::mutex> lock(seen_lock);
                        seen_address = std::string(text) + " " + std::to_string(info->remote_ip) + " " +
                                       std::to_string(info->remote_port > 0);
                      }
                      return nullptr;
                    });
  ASSERT_TRUE(engine.started());
  const SocketRecord* listener = engine.context()->listening_sockets;
  ASSERT_EQ(AF_INET6, listener->local_addr.sa.sa_family);
  const int port = address_port(&listener->local_addr);
  int fd = socket(AF_INET6, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in6 to{};
  to.sin6_family = AF_INET6;
  to.sin6_addr = in6addr_loopback;
  to.sin6_port = htons(uint16_t(port));
  ASSERT_EQ(0, connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to));
  ASSERT_TRUE(send_all(fd, "GET /hello.txt HTTP/1.0\r\n\r\n"));
  EXPECT_EQ("hello", body_of(read_until_close(fd)));
  closeSocket(fd);
  {
    std::lock_guard<std::mutex> lock(seen_lock);
    EXPECT_EQ("::1 0 1", seen_address);
  }
  // The IPv6 listener takes no IPv4 client, mapped or not.
  EXPECT_LT(connect_to(port), 0);
}

TEST(EngineAcl, RefusedClientIsClosedWithoutReply) {
  TestEngine refusing({"access_control_list", "-0.0.0.0/0,+127.0.0.2"});
  ASSERT_TRUE(refusing.started());
  EXPECT_EQ("", http_exchange(refusing.port(), "GET / HTTP/1.0\r\n\r\n"));
  EXPECT_TRUE(refusing.log().wait_for("accept_new_connection: 127.0.0.1 is not allowed to connect", 5000));
  // A flood of refused clients is reported at most once a second.
  const auto flood = std::chrono::steady_clock::now();
  for (int i = 0; i < 50; ++i) EXPECT_EQ("", http_exchange(refusing.port(), "GET / HTTP/1.0\r\n\r\n"));
  const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now() - flood);
  size_t reports = 0;
  for (const std::string& message : refusing.log().messages())
    if (message.find("is not allowed to connect") != std::string::npos) ++reports;
  EXPECT_LE(reports, size_t(seconds.count()) + 2);

  TestEngine nobody({"access_control_list", ""});
  ASSERT_TRUE(nobody.started());
  EXPECT_EQ("", http_exchange(nobody.port(), "GET / HTTP/1.0\r\n\r\n"));

  TestEngine allowing({"access_control_list", "-0.0.0.0/0,+127.0.0.1", "document_root", "/nonexistent"});
  ASSERT_TRUE(allowing.started());
  EXPECT_EQ("HTTP/1.1 404 Not Found", status_line(http_exchange(allowing.port(), "GET / HTTP/1.0\r\n\r\n")));
}
