#include "platform/TcpTable.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include "platform/UserAccounts.h"
#include "support/HttpExchange.h"

namespace {

TEST(TcpTableTest, ParsesIPv4AndIPv6Rows) {
  std::vector<TcpRow> rows;
  parseTcpTable(
      "  sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode\n"
      "   0: 0100007F:1F9B 00000000:0000 0A 00000000:00000000 00:00000000 00000000  1000        0 1 1 0 100 0 0 10 0\n"
      "   1: 0100007F:D431 0100007F:1F9B 01 00000000:00000000 00:00000000 00000000    33        0 2 1 0 20 4 30 10 -1\n"
      "   2: garbage\n"
      // Waiting out its time: no process holds it, and uid 0 means nothing.
      "   3: 0100007F:D434 0100007F:1F9B 06 00000000:00000000 03:00001234 00000000     0        0 0 3 0\n",
      rows);
  parseTcpTable(
      "  sl  local_address                         remote_address                        st tx_queue rx_queue tr "
      "tm->when retrnsmt   uid  timeout inode\n"
      "   0: 0000000000000000FFFF00000100007F:D432 0000000000000000FFFF00000100007F:1F9B 01 00000000:00000000 "
      "00:00000000 00000000     7        0 3 1\n"
      "   1: 00000000000000000000000001000000:D433 00000000000000000000000001000000:1F9B 01 00000000:00000000 "
      "00:00000000 00000000     8        0 4 1\n",
      rows);
  ASSERT_EQ(4u, rows.size());
  EXPECT_EQ(TcpEndpoint::ipv4(0x7F000001, 8091), rows[0].local);
  EXPECT_EQ(1000u, rows[0].owner);
  EXPECT_EQ(TcpEndpoint::ipv4(0x7F000001, 54321), rows[1].local);
  EXPECT_EQ(TcpEndpoint::ipv4(0x7F000001, 8091), rows[1].remote);
  EXPECT_EQ(33u, rows[1].owner);
  // ::ffff:127.0.0.1 is the same end as 127.0.0.1.
  EXPECT_EQ(TcpEndpoint::ipv4(0x7F000001, 54322), rows[2].local);
  EXPECT_EQ(7u, rows[2].owner);
  // ::1, an IPv6 end of its own.
  const uint8_t loopback6[16] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 1};
  EXPECT_EQ(TcpEndpoint::ipv6(loopback6, 54323), rows[3].local);
  EXPECT_TRUE(rows[3].local.isLoopback());
  EXPECT_FALSE(rows[3].local.isIPv4());
  EXPECT_EQ(8u, rows[3].owner);
}

TEST(TcpTableTest, FindsOurOwnConnectedSocket) {
  int listener = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address));
  listen(listener, 1);
  socklen_t length = sizeof address;
  getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
  int client = connectLoopback(ntohs(address.sin_port));
  ASSERT_GE(client, 0);
  sockaddr_in local{};
  length = sizeof local;
  getsockname(client, reinterpret_cast<sockaddr*>(&local), &length);

  std::vector<TcpRow> rows;
  ASSERT_TRUE(readTcpTable(rows));
  bool found = false;
  for (const TcpRow& row : rows)
    if (row.local.port == ntohs(local.sin_port) && row.remote.port == ntohs(address.sin_port)) {
      found = true;
      EXPECT_EQ(geteuid(), row.owner);
    }
  EXPECT_TRUE(found);
  close(client);
  close(listener);
}

TEST(UserAccountsTest, RootIsAnAdministratorNobodyIsNot) {
  EXPECT_TRUE(isAdministrator(0));
  EXPECT_FALSE(isAdministrator(65534));
  EXPECT_FALSE(isAdministrator(4000000000u));  // no such account
}

}  // namespace
