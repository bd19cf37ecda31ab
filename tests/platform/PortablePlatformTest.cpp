// The platform interfaces as their callers use them, on either system: the
// owner of a connection, the TCP table, UTF-8 file names and private folders.

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/FileNames.h"
#include "platform/PrivateFolder.h"
#include "platform/SocketOwner.h"
#include "platform/TcpTable.h"
#include "platform/UserAccounts.h"
#include "support/Portable.h"

namespace {

// The IPv6 and IPv4-mapped roads are SocketOwnerTest's (Linux) and
// Win32TcpTableTest's: wine 8 names the owners of IPv6 sockets only at times.
enum class Road {
  IPv4,        // an IPv4 client to 127.0.0.1
  MappedIPv4,  // a dual-stack IPv6 client to ::ffff:127.0.0.1
  IPv6,        // an IPv6 client to ::1
};

const char* nameOf(Road road) {
  return road == Road::IPv4 ? "IPv4" : road == Road::MappedIPv4 ? "IPv4-mapped" : "IPv6";
}

// A listener, a client connected to it by one of the roads, and the server's
// accepted end.
struct Connected {
  explicit Connected(Road road) {
    const bool ipv6Listener = road == Road::IPv6;
    listener = int(socket(ipv6Listener ? AF_INET6 : AF_INET, SOCK_STREAM, 0));
    sockaddr_in address{};
    sockaddr_in6 address6{};
    socklen_t length;
    if (ipv6Listener) {
      address6.sin6_family = AF_INET6;
      address6.sin6_addr = in6addr_loopback;
      bind(listener, reinterpret_cast<sockaddr*>(&address6), sizeof address6);
      length = sizeof address6;
      getsockname(listener, reinterpret_cast<sockaddr*>(&address6), &length);
      serverPort = ntohs(address6.sin6_port);
    } else {
      address.sin_family = AF_INET;
      address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address);
      length = sizeof address;
      getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length);
      serverPort = ntohs(address.sin_port);
    }
    listen(listener, 4);

    client = int(socket(road == Road::IPv4 ? AF_INET : AF_INET6, SOCK_STREAM, 0));
    if (road == Road::IPv4) {
      connected = connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
      sockaddr_in local{};
      length = sizeof local;
      getsockname(client, reinterpret_cast<sockaddr*>(&local), &length);
      clientPort = ntohs(local.sin_port);
    } else {
      sockaddr_in6 target = address6;
      if (road == Road::MappedIPv4) {
        // Dual-stack: a client socket that takes IPv4 addresses as well.
        setSocketOption(client, IPPROTO_IPV6, IPV6_V6ONLY, 0);
        target = sockaddr_in6{};
        target.sin6_family = AF_INET6;
        target.sin6_port = htons(serverPort);
        target.sin6_addr.s6_addr[10] = target.sin6_addr.s6_addr[11] = 0xFF;
        target.sin6_addr.s6_addr[12] = 127;
        target.sin6_addr.s6_addr[15] = 1;
      }
      connected = connect(client, reinterpret_cast<sockaddr*>(&target), sizeof target) == 0;
      sockaddr_in6 local{};
      length = sizeof local;
      getsockname(client, reinterpret_cast<sockaddr*>(&local), &length);
      clientPort = ntohs(local.sin6_port);
    }
    if (road == Road::IPv6) {
      clientEnd = TcpEndpoint::ipv6(in6addr_loopback.s6_addr, clientPort);
      serverEnd = TcpEndpoint::ipv6(in6addr_loopback.s6_addr, serverPort);
    } else {
      clientEnd = TcpEndpoint::ipv4(0x7F000001, clientPort);
      serverEnd = TcpEndpoint::ipv4(0x7F000001, serverPort);
    }
    pollfd ready{decltype(pollfd::fd)(listener), POLLIN, 0};
    if (connected && poll(&ready, 1, 5000) == 1) served = int(accept(listener, nullptr, nullptr));
    // A byte each way: under wine a process is named as a socket's owner
    // only once it has used the socket itself (wine hands it the descriptor
    // then).
    char byte = 0;
    exchanged = served >= 0 && send(client, "c", 1, 0) == 1 && recv(served, &byte, 1, 0) == 1 &&
                send(served, "s", 1, 0) == 1 && recv(client, &byte, 1, 0) == 1;
  }
  ~Connected() {
    if (served >= 0) closeSocket(served);
    if (client >= 0) closeSocket(client);
    closeSocket(listener);
  }
  int listener = -1, client = -1, served = -1;
  uint16_t serverPort = 0, clientPort = 0;
  TcpEndpoint clientEnd, serverEnd;
  bool connected = false;
  bool exchanged = false;
};

TEST(PortableSocketOwnerTest, FindsThisProcessAsTheOwnerOfItsConnection) {
  for (Road road : {Road::IPv4}) {
    SCOPED_TRACE(nameOf(road));
    Connected pair(road);
    ASSERT_TRUE(pair.connected);
    ASSERT_TRUE(pair.exchanged);
    SocketOwnerId owner = 12345;
    ASSERT_EQ(SocketLookup::Found, findTcpSocketOwner(pair.clientEnd, pair.serverEnd, owner));
    EXPECT_EQ(currentSocketOwner(), owner);
    EXPECT_TRUE(ownerMayConnect(owner));
    // The same port with another remote end is not this connection.
    TcpEndpoint otherServer = pair.serverEnd;
    otherServer.port = uint16_t(pair.serverPort + 1);
    EXPECT_EQ(SocketLookup::NotFound, findTcpSocketOwner(pair.clientEnd, otherServer, owner));
    // Nor are the same ports on the other family's loopback.
    const TcpEndpoint otherClient = road == Road::IPv6 ? TcpEndpoint::ipv4(0x7F000001, pair.clientPort)
                                                       : TcpEndpoint::ipv6(in6addr_loopback.s6_addr, pair.clientPort);
    const TcpEndpoint otherFamily = road == Road::IPv6 ? TcpEndpoint::ipv4(0x7F000001, pair.serverPort)
                                                       : TcpEndpoint::ipv6(in6addr_loopback.s6_addr, pair.serverPort);
    EXPECT_EQ(SocketLookup::NotFound, findTcpSocketOwner(otherClient, otherFamily, owner));
    EXPECT_EQ(SocketLookup::NotFound, findTcpSocketOwner(pair.clientEnd, otherFamily, owner));

    // The whole table has the same row with the same owner.
    std::vector<TcpRow> rows;
    ASSERT_TRUE(readTcpTable(rows));
    const auto row = std::find_if(rows.begin(), rows.end(), [&](const TcpRow& r) {
      return r.local == pair.clientEnd && r.remote == pair.serverEnd;
    });
    ASSERT_NE(rows.end(), row);
    EXPECT_EQ(currentSocketOwner(), row->owner);
  }
}

TEST(PortableSocketOwnerTest, AClosedClientSocketHasNoOwner) {
  // Closed, the client's socket is held by no process and waits out its
  // time: whatever the system reports for it must not pass for an owner.
  Connected pair(Road::IPv4);
  ASSERT_TRUE(pair.connected);
  ASSERT_TRUE(pair.exchanged);
  closeSocket(pair.client);
  pair.client = -1;
  SocketOwnerId owner = 12345;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (std::chrono::steady_clock::now() < deadline)
    ASSERT_NE(SocketLookup::Found, findTcpSocketOwner(pair.clientEnd, pair.serverEnd, owner)) << "owner " << owner;
  closeSocket(pair.served);  // the client's end goes to TIME_WAIT
  pair.served = -1;
  const auto later = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  while (std::chrono::steady_clock::now() < later)
    ASSERT_NE(SocketLookup::Found, findTcpSocketOwner(pair.clientEnd, pair.serverEnd, owner)) << "owner " << owner;
}

// A name in three scripts and a symbol beyond Latin-1, so that no ANSI code
// page could carry it.
const std::string kFolderName = "Z\xC3\xBCrich-\xE6\x97\xA5\xE6\x9C\xAC-\xCE\xB1\xCE\xB2";  // Zürich-日本-αβ
const std::string kFileName = "na\xC3\xAFve-\xE2\x82\xAC.txt";                             // naïve-€.txt

TEST(FileNamesTest, NonAsciiFoldersAndFilesAreCreatedListedAndRead) {
  const std::string base = makeTemporaryFolder(temporaryFolder() + "/ostrel-names-");
  ASSERT_FALSE(base.empty());
  const std::string folder = base + "/" + kFolderName;
  std::error_code error;
  ASSERT_TRUE(std::filesystem::create_directory(filenames::toPath(folder), error)) << error.message();

  const std::string file = folder + "/" + kFileName;
  std::FILE* out = filenames::openFile(file, "w");
  ASSERT_NE(nullptr, out);
  EXPECT_EQ(5u, std::fwrite("\xE2\x82\xAC\r\n", 1, 5, out));  // binary: the bytes as written
  EXPECT_EQ(0, std::fclose(out));

  // Listed by the standard library, the names come back as they went in.
  std::vector<std::string> base_entries, entries;
  for (const auto& entry : std::filesystem::directory_iterator(filenames::toPath(base)))
    base_entries.push_back(filenames::toUtf8(entry.path().filename()));
  for (const auto& entry : std::filesystem::directory_iterator(filenames::toPath(folder)))
    entries.push_back(filenames::toUtf8(entry.path().filename()));
  EXPECT_EQ(std::vector<std::string>{kFolderName}, base_entries);
  EXPECT_EQ(std::vector<std::string>{kFileName}, entries);
  EXPECT_EQ(folder, filenames::toUtf8(filenames::toPath(folder)));

  std::FILE* in = filenames::openFile(file, "r");
  ASSERT_NE(nullptr, in);
  char text[16] = {};
  EXPECT_EQ(5u, std::fread(text, 1, sizeof text, in));
  std::fclose(in);
  EXPECT_EQ("\xE2\x82\xAC\r\n", std::string(text));
  EXPECT_EQ(5u, std::filesystem::file_size(filenames::toPath(file)));

  // A shell tool of the system sees the same names in UTF-8 (the command
  // itself names only ASCII: a command line may cross a code page).
  int status = -1;
  EXPECT_EQ(kFolderName + "\n", runShell("ls '" + base + "'", &status));
  EXPECT_EQ(0, status);
  EXPECT_EQ(kFileName + "\n", runShell("ls '" + base + "'/*", &status));
  EXPECT_EQ(0, status);

  EXPECT_EQ(nullptr, filenames::openFile(folder + "/missing", "r"));
  std::filesystem::remove_all(filenames::toPath(base), error);
}

TEST(PrivateFolderTest, MadeForThisUserAloneAndCheckedBeforeUse) {
  const std::string base = makeTemporaryFolder(temporaryFolder() + "/ostrel-private-");
  ASSERT_FALSE(base.empty());
  const std::string folder = base + "/" + kFolderName + "_update";
  EXPECT_EQ("does not exist", privateFolderRefusal(folder));
  EXPECT_EQ("", makePrivateFolder(folder));
  EXPECT_TRUE(std::filesystem::is_directory(filenames::toPath(folder)));
  EXPECT_EQ("", privateFolderRefusal(folder));
  // Made again, it is the same folder and still fine.
  EXPECT_EQ("", makePrivateFolder(folder));

  std::FILE* out = filenames::openFile(folder + "/" + kFileName, "w");
  ASSERT_NE(nullptr, out);
  std::fclose(out);
  EXPECT_EQ("is not a folder", privateFolderRefusal(folder + "/" + kFileName));
  EXPECT_EQ("is not a folder", makePrivateFolder(folder + "/" + kFileName));
  EXPECT_EQ("is no folder name", privateFolderRefusal(""));
  EXPECT_NE("", makePrivateFolder(base + "/missing/parent"));
  std::error_code error;
  std::filesystem::remove_all(filenames::toPath(base), error);
}

}  // namespace
