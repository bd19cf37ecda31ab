// Windows' own services behind the platform interfaces, under wine: the port
// record in the registry, process tokens, the TCP table with its owning
// processes, private folders' access lists and UTF-16 file names.

#include <gtest/gtest.h>

// Winsock 2 before windows.h.
#include <winsock2.h>

#include <aclapi.h>
#include <sddl.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/FileNames.h"
#include "platform/PrivateFolder.h"
#include "platform/Registry.h"
#include "platform/SocketOwner.h"
#include "platform/TcpTable.h"
#include "platform/UserAccounts.h"
#include "platform/win32/TcpTableReader.h"
#include "support/Portable.h"

namespace {

const char kKey[] = "Software\\Corvane\\Tessaro";

TEST(Win32RegistryTest, PortRecordIsADwordUnderAVolatileKey) {
  HKEY key = nullptr;
  uint32_t disposition = 0;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                                           nullptr, &key, &disposition));
  EXPECT_TRUE(disposition == REG_CREATED_NEW_KEY || disposition == REG_OPENED_EXISTING_KEY) << disposition;
  const uint8_t data[4] = {uint8_t(8091 & 0xFF), uint8_t(8091 >> 8), 0, 0};
  EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "OstrelPort", 0, REG_DWORD, data, sizeof data));

  // A volatile key takes volatile children only: the system refuses to keep
  // on disk what lives below a key that it does not.
  HKEY child = nullptr;
  DWORD childDisposition = 0;
  EXPECT_EQ(ERROR_CHILD_MUST_BE_VOLATILE, ::RegCreateKeyExA(key, "probe", 0, nullptr, REG_OPTION_NON_VOLATILE,
                                                            KEY_ALL_ACCESS, nullptr, &child, &childDisposition));
  EXPECT_EQ(ERROR_SUCCESS, RegCloseKey(key));

  // Created again, the key is opened as it is.
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, kKey, 0, nullptr, REG_OPTION_VOLATILE, KEY_ALL_ACCESS,
                                           nullptr, &key, &disposition));
  EXPECT_EQ(uint32_t(REG_OPENED_EXISTING_KEY), disposition);
  RegCloseKey(key);
  EXPECT_EQ("", registryKeyRefusal(kKey));

  // Read back as any reader of the registry reads it.
  ASSERT_EQ(ERROR_SUCCESS, ::RegOpenKeyExA(HKEY_CURRENT_USER, kKey, 0, KEY_READ, &key));
  DWORD type = 0, value = 0, size = sizeof value;
  EXPECT_EQ(ERROR_SUCCESS, ::RegQueryValueExA(key, "OstrelPort", nullptr, &type, reinterpret_cast<BYTE*>(&value),
                                              &size));
  EXPECT_EQ(DWORD(REG_DWORD), type);
  EXPECT_EQ(4u, size);
  EXPECT_EQ(8091u, value);
  // And through the fixed-width call of the interface, a short buffer too.
  uint32_t fixedType = 0, fixedSize = 2;
  uint8_t small[2] = {};
  EXPECT_EQ(ERROR_MORE_DATA, RegQueryValueExA(key, "OstrelPort", nullptr, &fixedType, small, &fixedSize));
  EXPECT_EQ(4u, fixedSize);
  EXPECT_EQ(uint32_t(REG_DWORD), fixedType);
  RegCloseKey(key);
  uint32_t port = 0;
  EXPECT_EQ(ERROR_SUCCESS, readRegistryDword(kKey, "OstrelPort", port));
  EXPECT_EQ(8091u, port);
}

TEST(Win32RegistryTest, ReaderTellsMissingAndMistypedValues) {
  const char testKey[] = "Software\\Corvane\\OstrelPlatformTest";
  HKEY key = nullptr;
  uint32_t disposition = 0;
  ASSERT_EQ(ERROR_SUCCESS, RegCreateKeyExA(HKEY_CURRENT_USER, testKey, 0, nullptr, REG_OPTION_VOLATILE,
                                           KEY_ALL_ACCESS, nullptr, &key, &disposition));
  const char text[] = "8091";
  EXPECT_EQ(ERROR_SUCCESS,
            RegSetValueExA(key, "Text", 0, REG_SZ, reinterpret_cast<const BYTE*>(text), sizeof text));
  const uint8_t wide[8] = {0x9B, 0x1F};
  EXPECT_EQ(ERROR_SUCCESS, RegSetValueExA(key, "Wide", 0, REG_QWORD, wide, sizeof wide));
  RegCloseKey(key);
  uint32_t value = 7;
  EXPECT_EQ(ERROR_INVALID_DATA, readRegistryDword(testKey, "Text", value));
  EXPECT_EQ(ERROR_INVALID_DATA, readRegistryDword(testKey, "Wide", value));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, readRegistryDword(testKey, "Missing", value));
  EXPECT_EQ(ERROR_FILE_NOT_FOUND, readRegistryDword("Software\\Corvane\\NoSuchKey", "OstrelPort", value));
  EXPECT_EQ(7u, value);
  EXPECT_EQ(ERROR_SUCCESS, RegDeleteKeyA(HKEY_CURRENT_USER, testKey));
}

// A program of the build started as a process of its own; its handle and id.
struct ChildProcess {
  explicit ChildProcess(const std::string& commandLine) {
    STARTUPINFOA startup{};
    startup.cb = sizeof startup;
    std::vector<char> line(commandLine.begin(), commandLine.end());
    line.push_back('\0');
    started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info) != 0;
    if (started) CloseHandle(info.hThread);
  }
  ~ChildProcess() {
    if (!started) return;
    if (WaitForSingleObject(info.hProcess, 0) == WAIT_TIMEOUT) TerminateProcess(info.hProcess, 1);
    CloseHandle(info.hProcess);
  }
  bool ended(DWORD limitMs) { return WaitForSingleObject(info.hProcess, limitMs) == WAIT_OBJECT_0; }
  PROCESS_INFORMATION info{};
  bool started = false;
};

TEST(Win32TokenTest, SameUserAndAdministratorsByTheProcessesTokens) {
  const uint32_t self = GetCurrentProcessId();
  EXPECT_EQ(self, currentSocketOwner());
  EXPECT_TRUE(processRunsAsThisUser(self));
  // Every process under wine is in the built-in Administrators group.
  EXPECT_TRUE(processIsAdministrator(self));
  EXPECT_TRUE(ownerMayConnect(self));

  // A child runs as this user too.
  ChildProcess child("\"" ADMISSION_CLIENT "\" 1");
  ASSERT_TRUE(child.started);
  EXPECT_TRUE(processRunsAsThisUser(child.info.dwProcessId));
  EXPECT_TRUE(child.ended(20000));

  // No process, or one that cannot be opened, is nobody's.
  for (uint32_t nobody : {0u, 0xFFFFFFFCu}) {
    EXPECT_FALSE(processRunsAsThisUser(nobody)) << nobody;
    EXPECT_FALSE(processIsAdministrator(nobody)) << nobody;
    EXPECT_FALSE(ownerMayConnect(nobody)) << nobody;
  }
}

// A loopback listener of the family given; its port.
int listenOnLoopback(bool ipv6, uint16_t& port) {
  const int sock = int(socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0));
  sockaddr_in address{};
  sockaddr_in6 address6{};
  int length;
  if (ipv6) {
    address6.sin6_family = AF_INET6;
    address6.sin6_addr = in6addr_loopback;
    length = sizeof address6;
    if (bind(sock, reinterpret_cast<sockaddr*>(&address6), length) != 0 ||
        getsockname(sock, reinterpret_cast<sockaddr*>(&address6), &length) != 0)
      return -1;
    port = ntohs(address6.sin6_port);
  } else {
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    length = sizeof address;
    if (bind(sock, reinterpret_cast<sockaddr*>(&address), length) != 0 ||
        getsockname(sock, reinterpret_cast<sockaddr*>(&address), &length) != 0)
      return -1;
    port = ntohs(address.sin_port);
  }
  return listen(sock, 4) == 0 ? sock : -1;
}

// The next client of LISTENER within LIMIT_MS, with its end; -1 when none came.
int acceptWithin(int listener, int limitMs, TcpEndpoint& clientEnd) {
  pollfd ready{SOCKET(listener), POLLIN, 0};
  if (poll(&ready, 1, limitMs) != 1) return -1;
  sockaddr_in6 peer{};
  int length = sizeof peer;
  const int served = int(accept(listener, reinterpret_cast<sockaddr*>(&peer), &length));
  if (served < 0) return -1;
  if (peer.sin6_family == AF_INET6) {
    clientEnd = TcpEndpoint::ipv6(peer.sin6_addr.s6_addr, ntohs(peer.sin6_port));
  } else {
    const auto* peer4 = reinterpret_cast<const sockaddr_in*>(&peer);
    clientEnd = TcpEndpoint::ipv4(ntohl(peer4->sin_addr.s_addr), ntohs(peer4->sin_port));
  }
  return served;
}

// Over IPv4: wine 8 names no owner for another process's IPv6 sockets (its
// own ones it does, see PortableSocketOwnerTest), so the IPv6 road of another
// process is refused there.
TEST(Win32TcpTableTest, AnotherWindowsProcessIsNamedAsItsConnectionsOwner) {
  uint16_t port = 0;
  const int listener = listenOnLoopback(false, port);
  ASSERT_GE(listener, 0);
  ChildProcess client("\"" ADMISSION_CLIENT "\" " + std::to_string(port));
  ASSERT_TRUE(client.started);
  TcpEndpoint clientEnd;
  const int served = acceptWithin(listener, 20000, clientEnd);
  ASSERT_GE(served, 0);
  char byte = 0;
  ASSERT_EQ(1, recv(served, &byte, 1, 0));
  const TcpEndpoint serverEnd = TcpEndpoint::ipv4(0x7F000001, port);
  SocketOwnerId owner = 0;
  ASSERT_EQ(SocketLookup::Found, findTcpSocketOwner(clientEnd, serverEnd, owner));
  EXPECT_EQ(client.info.dwProcessId, owner);
  EXPECT_NE(currentSocketOwner(), owner);
  EXPECT_TRUE(ownerMayConnect(owner));
  std::vector<TcpRow> rows;
  ASSERT_TRUE(readTcpTable(rows));
  bool listed = false;
  for (const TcpRow& row : rows)
    if (row.local == clientEnd && row.remote == serverEnd) listed = row.owner == client.info.dwProcessId;
  EXPECT_TRUE(listed);
  // Closed by the server, the client ends; its socket then has no owner.
  closeSocket(served);
  EXPECT_TRUE(client.ended(20000));
  EXPECT_NE(SocketLookup::Found, findTcpSocketOwner(clientEnd, serverEnd, owner));
  closeSocket(listener);
}

TEST(Win32TcpTableTest, TheIPv6TableListsAConnectionByItsAddresses) {
  uint16_t port = 0;
  const int listener = listenOnLoopback(true, port);
  ASSERT_GE(listener, 0);
  const int client = int(socket(AF_INET6, SOCK_STREAM, 0));
  sockaddr_in6 target{};
  target.sin6_family = AF_INET6;
  target.sin6_addr = in6addr_loopback;
  target.sin6_port = htons(port);
  ASSERT_EQ(0, connect(client, reinterpret_cast<sockaddr*>(&target), sizeof target));
  TcpEndpoint clientEnd;
  const int served = acceptWithin(listener, 20000, clientEnd);
  ASSERT_GE(served, 0);
  char byte = 0;
  ASSERT_EQ(1, send(client, "c", 1, 0));
  ASSERT_EQ(1, recv(served, &byte, 1, 0));
  const TcpEndpoint serverEnd = TcpEndpoint::ipv6(in6addr_loopback.s6_addr, port);
  EXPECT_FALSE(clientEnd.isIPv4());
  std::vector<TcpRow> rows;
  ASSERT_TRUE(win32::readTcpRows(AF_INET6, rows));
  int listed = 0;
  for (const TcpRow& row : rows) {
    if (!(row.local == clientEnd && row.remote == serverEnd)) continue;
    ++listed;
    // Wine 8 names this process at times, at others no one: never another.
    EXPECT_TRUE(row.owner == 0 || row.owner == currentSocketOwner()) << row.owner;
    SocketOwnerId owner = 0;
    EXPECT_EQ(row.owner == 0 ? SocketLookup::NotFound : SocketLookup::Found,
              findTcpSocketOwner(clientEnd, serverEnd, owner));
  }
  EXPECT_EQ(1, listed);
  // An IPv6 end is never looked up among IPv4 sockets.
  SocketOwnerId owner = 0;
  EXPECT_EQ(SocketLookup::NotFound,
            findTcpSocketOwner(clientEnd, TcpEndpoint::ipv4(0x7F000001, port), owner));
  closeSocket(served);
  closeSocket(client);
  closeSocket(listener);
}

TEST(Win32TcpTableTest, ALinuxProgramsConnectionHasNoOwnerAndIsRefused) {
  uint16_t port = 0;
  const int listener = listenOnLoopback(false, port);
  ASSERT_GE(listener, 0);
  // curl is a Linux program: wine knows no Windows process that holds its
  // socket. It waits for a reply, so the connection lasts until closed here.
  int status = -1;
  runShell("curl -s -m 30 http://127.0.0.1:" + std::to_string(port) + "/ >/dev/null 2>&1 &", &status);
  ASSERT_EQ(0, status);
  TcpEndpoint clientEnd;
  const int served = acceptWithin(listener, 20000, clientEnd);
  ASSERT_GE(served, 0);
  SocketOwnerId owner = 12345;
  EXPECT_EQ(SocketLookup::NotFound, findTcpSocketOwner(clientEnd, TcpEndpoint::ipv4(0x7F000001, port), owner));
  EXPECT_EQ(12345u, owner);
  std::vector<TcpRow> rows;
  ASSERT_TRUE(readTcpTable(rows));
  for (const TcpRow& row : rows) EXPECT_FALSE(row.local == clientEnd) << "owner " << row.owner;
  closeSocket(served);
  closeSocket(listener);
}

// The entries of a folder's access list: each SID and its rights.
std::vector<std::pair<std::string, ACCESS_MASK>> accessList(const std::string& folder, std::string& owner) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  PSID ownerSid = nullptr;
  PACL dacl = nullptr;
  std::vector<std::pair<std::string, ACCESS_MASK>> entries;
  if (GetNamedSecurityInfoW(filenames::toPath(folder).c_str(), SE_FILE_OBJECT,
                            OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION, &ownerSid, nullptr, &dacl,
                            nullptr, &descriptor) != ERROR_SUCCESS)
    return entries;
  char* text = nullptr;
  if (ConvertSidToStringSidA(ownerSid, &text)) {
    owner = text;
    LocalFree(text);
  }
  for (DWORD i = 0; dacl != nullptr && i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    GetAce(dacl, i, &entry);
    auto* allowed = static_cast<ACCESS_ALLOWED_ACE*>(entry);
    if (allowed->Header.AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    if (ConvertSidToStringSidA(&allowed->SidStart, &text)) {
      entries.emplace_back(text, allowed->Mask);
      LocalFree(text);
    }
  }
  LocalFree(descriptor);
  return entries;
}

std::string currentUserSidText() {
  HANDLE token = nullptr;
  OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token);
  std::vector<unsigned char> record(256);
  DWORD size = 0;
  GetTokenInformation(token, TokenUser, record.data(), DWORD(record.size()), &size);
  CloseHandle(token);
  char* text = nullptr;
  std::string sid;
  if (ConvertSidToStringSidA(reinterpret_cast<TOKEN_USER*>(record.data())->User.Sid, &text)) {
    sid = text;
    LocalFree(text);
  }
  return sid;
}

TEST(Win32PrivateFolderTest, ANewFolderGrantsThisUserAloneAndAnOpenOneIsRefused) {
  const std::string base = makeTemporaryFolder(temporaryFolder() + "/ostrel-acl-");
  ASSERT_FALSE(base.empty());
  const std::string folder = base + "/\xC3\xA9t\xC3\xA9_recovery";  // été_recovery
  ASSERT_EQ("", makePrivateFolder(folder));
  std::string owner;
  const auto entries = accessList(folder, owner);
  const std::string user = currentUserSidText();
  ASSERT_FALSE(user.empty());
  // This user with every right; besides it at most SYSTEM, which wine
  // names for every file of the Linux user.
  bool userListed = false;
  for (const auto& entry : entries) {
    if (entry.first == user) {
      userListed = true;
      EXPECT_EQ(DWORD(FILE_ALL_ACCESS), entry.second & FILE_ALL_ACCESS);
    } else {
      EXPECT_EQ("S-1-5-18", entry.first) << std::hex << entry.second;
    }
  }
  EXPECT_TRUE(userListed);
  EXPECT_EQ(user, owner);

  // The temporary folder of every user may be written by everyone.
  const std::string shared = temporaryFolder();
  const std::string refusal = privateFolderRefusal(shared);
  EXPECT_EQ(0u, refusal.rfind("may be written by others (", 0)) << refusal;
  std::error_code error;
  std::filesystem::remove_all(filenames::toPath(base), error);
}

TEST(Win32FileNamesTest, NamesCrossAsUtf16AndInvalidUtf8NamesNoFile) {
  EXPECT_EQ(std::wstring(L"Z:/tmp/\u00FCber-\u65E5"), filenames::toPath("Z:/tmp/\xC3\xBC" "ber-\xE6\x97\xA5").native());
  EXPECT_EQ("\xC3\xBC" "ber-\xE6\x97\xA5", filenames::toUtf8(std::filesystem::path(L"\u00FCber-\u65E5")));
  // Bytes that are no UTF-8 could only name some other file.
  EXPECT_TRUE(filenames::toPath("Z:/tmp/\xFF").empty());
  EXPECT_TRUE(filenames::toPath("Z:/tmp/\xC3").empty());
  EXPECT_EQ(nullptr, filenames::openFile("Z:/tmp/\xC3", "w"));
  EXPECT_EQ("is no valid UTF-8 name", makePrivateFolder("Z:/tmp/\xE2\x82"));
}

}  // namespace
