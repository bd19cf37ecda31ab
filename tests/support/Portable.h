#pragma once

// What the tests need of the system on Linux and on Windows (Winsock 2, run
// under wine), so that one test source serves both builds: the socket
// headers, poll, closing a socket, the last socket error as an errno value,
// temporary folders, shell commands and the counts of open handles and
// threads. Tests close sockets with closeSocket: close() on a Windows socket
// fails and leaves it open.

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <tlhelp32.h>

// Winsock writes never raise signals, and its sockets are not inherited by
// the child processes the tests start (CreateProcess is told which handles).
#ifndef MSG_NOSIGNAL
#define MSG_NOSIGNAL 0
#endif
#ifndef SOCK_CLOEXEC
#define SOCK_CLOEXEC 0
#endif
#ifndef SHUT_WR
#define SHUT_WR SD_SEND
#define SHUT_RD SD_RECEIVE
#define SHUT_RDWR SD_BOTH
#endif

inline bool startSockets() {
  WSADATA data;
  return WSAStartup(MAKEWORD(2, 2), &data) == 0;
}
// Before any test makes a socket.
inline const bool kSocketsStarted = startSockets();

inline int poll(pollfd* fds, unsigned long count, int timeoutMs) { return WSAPoll(fds, count, timeoutMs); }

inline int closeSocket(int fd) { return closesocket(static_cast<SOCKET>(static_cast<unsigned>(fd))); }

inline int setSocketOption(int fd, int level, int name, int value) {
  return setsockopt(static_cast<SOCKET>(static_cast<unsigned>(fd)), level, name, reinterpret_cast<const char*>(&value),
                    sizeof(value));
}

// The error of the last socket call, as POSIX names it.
inline int lastSocketError() {
  switch (WSAGetLastError()) {
    case WSAEWOULDBLOCK: return EAGAIN;
    case WSAEINTR: return EINTR;
    case WSAECONNRESET: return ECONNRESET;
    case WSAECONNREFUSED: return ECONNREFUSED;
    case WSAEADDRINUSE: return EADDRINUSE;
    case WSAETIMEDOUT: return ETIMEDOUT;
    default: return EIO;
  }
}

inline void setNonBlocking(int fd) {
  u_long on = 1;
  ioctlsocket(static_cast<SOCKET>(static_cast<unsigned>(fd)), FIONBIO, &on);
}

// Under wine, Z: is the Linux root: a folder there is the same folder for
// the Linux tools that a test runs (scripts/test-windows sets
// OSTREL_TEST_TEMP=Z:/tmp).
inline std::string temporaryFolder() {
  const char* base = std::getenv("OSTREL_TEST_TEMP");
  if (base != nullptr && *base != '\0') return base;
  char path[MAX_PATH + 1];
  DWORD n = GetTempPathA(sizeof(path), path);
  std::string folder = n > 0 && n < sizeof(path) ? std::string(path, n) : std::string(".");
  for (char& c : folder) {
    if (c == '\\') c = '/';
  }
  while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
  return folder;
}

// A new folder PREFIX followed by six random characters; empty on failure.
inline std::string makeTemporaryFolder(const std::string& prefix) {
  static const char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device device;
  for (int attempt = 0; attempt < 100; attempt++) {
    std::string path = prefix;
    for (int i = 0; i < 6; i++) path += letters[device() % (sizeof(letters) - 1)];
    std::error_code ec;
    if (std::filesystem::create_directory(std::filesystem::u8path(path), ec)) return path;
  }
  return "";
}

// Runs COMMAND with /bin/sh, which wine starts as a Linux program: the
// Linux tools the tests drive (curl, openssl) run beside the Windows build.
// Z:/ in the command is the Linux root. Wine hands a Linux program neither
// the pipes of CreateProcess nor a reliable exit status or end, so the shell writes
// its output and then its status to files in the temporary folder, which
// must lie under Z:/ (scripts/test-windows sets OSTREL_TEST_TEMP=Z:/tmp).
inline std::string runShell(const std::string& command, int* status) {
  if (status != nullptr) *status = -1;
  const std::string folder = temporaryFolder();
  if (folder.compare(0, 3, "Z:/") != 0) return "";
  // Wine reuses process ids: a random name of its own for each command.
  std::random_device device;
  const std::string name = folder + "/ostrel-run-" + std::to_string(device()) + "-" + std::to_string(device());
  std::string script;
  for (size_t i = 0; i < command.size(); i++) {
    if (command.compare(i, 3, "Z:/") == 0) {
      script += '/';
      i += 2;
    } else {
      script += command[i];
    }
  }
  const std::string unixName = name.substr(2);
  script = "( " + script + "\n) > '" + unixName + ".out'; echo $? > '" + unixName + ".tmp'; mv '" + unixName +
           ".tmp' '" + unixName + ".status'";
  // Quoted as the C runtime reads a command line back: backslashes count
  // only before a quote.
  std::string line = "/bin/sh -c \"";
  size_t backslashes = 0;
  for (char c : script) {
    if (c == '\\') {
      backslashes++;
      continue;
    }
    line.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
    backslashes = 0;
    line += c;
  }
  line.append(backslashes * 2, '\\');
  line += '"';

  STARTUPINFOA startup{};
  startup.cb = sizeof(startup);
  PROCESS_INFORMATION info{};
  std::vector<char> mutableLine(line.begin(), line.end());
  mutableLine.push_back('\0');
  if (!CreateProcessA("/bin/sh", mutableLine.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup, &info)) {
    return "";
  }
  CloseHandle(info.hThread);
  CloseHandle(info.hProcess);
  // Wine does not follow a Linux program's end: the status file, renamed
  // into place whole, tells it.
  const std::string statusFile = name + ".status";
  for (int waited = 0; waited < 120000 && GetFileAttributesA(statusFile.c_str()) == INVALID_FILE_ATTRIBUTES;
       waited += 5) {
    Sleep(5);
  }
  auto slurp = [](const std::string& path) {
    std::string text;
    if (FILE* f = std::fopen(path.c_str(), "rb")) {
      char buffer[4096];
      size_t n;
      while ((n = std::fread(buffer, 1, sizeof(buffer), f)) > 0) text.append(buffer, n);
      std::fclose(f);
    }
    return text;
  };
  std::string out = slurp(name + ".out");
  std::string code = slurp(name + ".status");
  if (!code.empty() && status != nullptr) *status = std::atoi(code.c_str());
  std::remove((name + ".out").c_str());
  std::remove((name + ".status").c_str());
  return out;
}

// True while a process started by this one runs.
inline bool hasChildProcesses() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return false;
  PROCESSENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  bool found = false;
  for (BOOL more = Process32First(snapshot, &entry); more && !found; more = Process32Next(snapshot, &entry)) {
    found = entry.th32ParentProcessID == GetCurrentProcessId();
  }
  CloseHandle(snapshot);
  return found;
}

inline int countOpenHandles() {
  DWORD count = 0;
  return GetProcessHandleCount(GetCurrentProcess(), &count) ? static_cast<int>(count) : -1;
}

inline int countThreads() {
  HANDLE snapshot = CreateToolhelp32Snapshot(TH32CS_SNAPTHREAD, 0);
  if (snapshot == INVALID_HANDLE_VALUE) return -1;
  THREADENTRY32 entry{};
  entry.dwSize = sizeof(entry);
  int n = 0;
  for (BOOL more = Thread32First(snapshot, &entry); more; more = Thread32Next(snapshot, &entry)) {
    if (entry.th32OwnerProcessID == GetCurrentProcessId()) n++;
  }
  CloseHandle(snapshot);
  return n;
}
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

inline int closeSocket(int fd) { return close(fd); }

inline int setSocketOption(int fd, int level, int name, int value) {
  return setsockopt(fd, level, name, &value, sizeof(value));
}

inline int lastSocketError() { return errno; }

inline void setNonBlocking(int fd) { fcntl(fd, F_SETFL, fcntl(fd, F_GETFL, 0) | O_NONBLOCK); }

#include <dirent.h>
#include <sys/wait.h>

inline std::string temporaryFolder() {
  const char* base = std::getenv("TMPDIR");
  return base != nullptr ? base : "/tmp";
}

inline std::string makeTemporaryFolder(const std::string& prefix) {
  std::vector<char> buf(prefix.begin(), prefix.end());
  buf.insert(buf.end(), {'X', 'X', 'X', 'X', 'X', 'X', '\0'});
  return mkdtemp(buf.data()) != nullptr ? std::string(buf.data()) : std::string();
}

inline std::string runShell(const std::string& command, int* status) {
  std::string out;
  FILE* p = popen(command.c_str(), "r");
  if (p == nullptr) {
    if (status != nullptr) *status = -1;
    return out;
  }
  char buf[4096];
  size_t n;
  while ((n = fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
  int rc = pclose(p);
  if (status != nullptr) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
  return out;
}

namespace portable_detail {
inline int countEntries(const char* folder) {
  int n = 0;
  DIR* d = opendir(folder);
  if (d == nullptr) return -1;
  while (readdir(d) != nullptr) n++;
  closedir(d);
  return n;
}
}  // namespace portable_detail

inline int countOpenHandles() { return portable_detail::countEntries("/proc/self/fd"); }

// True while this process has a child, running or not yet reaped.
inline bool hasChildProcesses() {
  int status;
  pid_t pid = waitpid(-1, &status, WNOHANG);
  return !(pid < 0 && errno == ECHILD);
}
inline int countThreads() { return portable_detail::countEntries("/proc/self/task"); }
#endif
