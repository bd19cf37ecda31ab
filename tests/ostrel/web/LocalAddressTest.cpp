#include "ostrel/web/LocalAddress.h"

#include <gtest/gtest.h>

#include "ostrel/engine/address.h"
#include "ostrel/web/ServedOrigins.h"
#include "ostrel/web/SystemSecurityValidations.h"
#include "support/OriginTable.h"

namespace {

// Listener records as a running engine keeps them, for these specifications.
struct Listeners {
  explicit Listeners(const std::vector<std::string>& specs) {
    records.resize(specs.size());
    for (size_t i = 0; i < specs.size(); ++i) {
      EXPECT_EQ(0, parse_listener_spec(specs[i].c_str(), &records[i].local_addr, &records[i].is_ssl,
                                       &records[i].is_proxy))
          << specs[i];
      records[i].next = i + 1 < specs.size() ? &records[i + 1] : nullptr;
    }
  }
  std::vector<SocketRecord> records;
};

TEST(ServedOriginsTest, AcceptsExactlyTheOriginsABrowserReachesThisServerBy) {
  Listeners plugin({"127.0.0.1:8091", "127.0.1.1:8091", "[::1]:8091"});
  const ServedOrigins served = ServedOrigins::ofListeners(plugin.records.data(), true);
  for (const OriginCase& row : originTable(8091)) EXPECT_EQ(row.accepted, served.names(row.origin)) << row.origin;
  // Paths, queries and fragments are no part of an origin.
  for (const char* url : {"http://127.0.0.1:8091", "http://127.0.0.1:8091/index.html", "http://127.0.0.1:8091/a?b",
                          "http://127.0.0.1:8091#x", "http://127.0.0.1:8091?q", "http://[::1]:8091/x"})
    EXPECT_TRUE(served.names(url)) << url;
  EXPECT_EQ((std::vector<std::string>{"http://127.0.0.1:8091", "http://127.0.1.1:8091", "http://[::1]:8091",
                                      "http://localhost:8091"}),
            served.list());
}

TEST(ServedOriginsTest, LocalhostOnlyWhereNoOtherUserCanHoldItsOtherAddress) {
  // Without [::1] a browser that tries it first for "localhost" may meet
  // another user's server there.
  Listeners ipv4Only({"127.0.0.1:8091", "127.0.1.1:8091"});
  EXPECT_FALSE(ServedOrigins::ofListeners(ipv4Only.records.data(), true).names("http://localhost:8091/"));
  EXPECT_TRUE(ServedOrigins::ofListeners(ipv4Only.records.data(), false).names("http://localhost:8091/"));
  // An address the server does not hold is not one of its origins.
  EXPECT_FALSE(ServedOrigins::ofListeners(ipv4Only.records.data(), true).names("http://[::1]:8091/"));
  Listeners ipv6Only({"[::1]:8091"});
  EXPECT_FALSE(ServedOrigins::ofListeners(ipv6Only.records.data(), true).names("http://localhost:8091/"));
  // A listener on every address is reached through loopback; port 80 may go unnamed.
  Listeners wildcard({"80", "[::]:80"});
  const ServedOrigins any = ServedOrigins::ofListeners(wildcard.records.data(), true);
  for (const char* url : {"http://127.0.0.1/", "http://[::1]/", "http://localhost/", "http://localhost:80/"})
    EXPECT_TRUE(any.names(url)) << url;
  EXPECT_FALSE(any.names("http://0.0.0.0/"));
  // A TLS listener's origin is https; a server that listens nowhere has none.
  Listeners tls({"127.0.0.1:8443s"});
  EXPECT_TRUE(ServedOrigins::ofListeners(tls.records.data(), true).names("https://127.0.0.1:8443/"));
  EXPECT_FALSE(ServedOrigins::ofListeners(tls.records.data(), true).names("http://127.0.0.1:8443/"));
  EXPECT_FALSE(ServedOrigins().names("http://127.0.0.1:8091/"));
}

TEST(LocalAddressTest, HostHeaderMustNameALocalHost) {
  for (const char* host :
       {"localhost", "localhost:8091", "LocalHost:8091", "127.0.0.1", "127.0.0.1:9000", "127.0.1.1:8091", "[::1]",
        "[::1]:8091"})
    EXPECT_TRUE(isLocalHostName(host)) << host;
  for (const char* host : {"evil.example", "evil.example:8091", "localhost.evil.example", "127.0.0.1.nip.io", "",
                           "10.0.0.1", "localhost:x", "[::2]:8091", "[::1]x", "[::1]:x", "::1", "[::ffff:127.0.0.1]"})
    EXPECT_FALSE(isLocalHostName(host)) << host;
}

TEST(SecurityValidationsTest, FindsTheClientRowOfTheConnectionItself) {
  const uint32_t loop = 0x7F000001, other = 0x0A000005;
  const uint8_t loop6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  std::vector<TcpRow> rows = {
      {TcpEndpoint::ipv4(other, 40000), TcpEndpoint::ipv4(other, 80), 1001},  // same port number elsewhere
      {TcpEndpoint::ipv4(loop, 40000), TcpEndpoint::ipv4(loop, 9999), 1002},  // same port, wrong server port
      {TcpEndpoint::ipv6(loop6, 40000), TcpEndpoint::ipv6(loop6, 8091), 1005},  // the same ports over IPv6
      {TcpEndpoint::ipv4(loop, 40000), TcpEndpoint::ipv4(loop, 8091), 1003},  // the connection itself
      {TcpEndpoint::ipv4(loop, 8091), TcpEndpoint::ipv4(loop, 40000), 1004},  // the server's end
  };
  SocketOwnerId owner = 0;
  ASSERT_TRUE(SystemSecurityValidations::findConnectionOwner(rows, TcpEndpoint::ipv4(loop, 40000),
                                                             TcpEndpoint::ipv4(loop, 8091), owner));
  EXPECT_EQ(1003u, owner);
  ASSERT_TRUE(SystemSecurityValidations::findConnectionOwner(rows, TcpEndpoint::ipv6(loop6, 40000),
                                                             TcpEndpoint::ipv6(loop6, 8091), owner));
  EXPECT_EQ(1005u, owner);
  // With the server end unknown, a loopback row still wins over an earlier other one.
  ASSERT_TRUE(SystemSecurityValidations::findOwner(rows, 40000, owner));
  EXPECT_EQ(1002u, owner);
  // A port no row carries, or a connection that is not the one asked about, is refused.
  EXPECT_FALSE(SystemSecurityValidations::findConnectionOwner(rows, TcpEndpoint::ipv4(loop, 40001),
                                                              TcpEndpoint::ipv4(loop, 8091), owner));
  EXPECT_FALSE(SystemSecurityValidations::findConnectionOwner({rows[0]}, TcpEndpoint::ipv4(loop, 40000),
                                                              TcpEndpoint::ipv4(loop, 80), owner));
  EXPECT_FALSE(SystemSecurityValidations::findOwner({}, 0, owner));
}

TEST(SecurityValidationsTest, SameUserAndAdministratorsMayConnect) {
  EXPECT_TRUE(SystemSecurityValidations::mayConnect(geteuid()));
  EXPECT_TRUE(SystemSecurityValidations::mayConnect(0));
  if (geteuid() != 65534) {
    EXPECT_FALSE(SystemSecurityValidations::mayConnect(65534));
  }
  // Nothing listens on port 1 of loopback, so no row carries it.
  EXPECT_FALSE(SystemSecurityValidations().validate(1));
}

}  // namespace
