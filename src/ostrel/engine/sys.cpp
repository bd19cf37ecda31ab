#include "ostrel/engine/sys.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "ostrel/engine/engine.h"
#include "ostrel/engine/path.h"

#ifdef _WIN32
#include <windows.h>
#include <direct.h>
#include <dirent.h>
#include <io.h>
#include <sys/stat.h>

#include <mutex>
#else
#include <dirent.h>
#include <dlfcn.h>
#include <linux/openat2.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/sendfile.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>
#endif

#ifdef _WIN32

namespace {

// Winsock's error of the last call as the errno value POSIX gives it.
int errno_of_wsa(int wsa) {
  switch (wsa) {
    case WSAEWOULDBLOCK: return EAGAIN;
    case WSAEINPROGRESS: return EINPROGRESS;
    case WSAEINTR: return EINTR;
    case WSAEADDRINUSE: return EADDRINUSE;
    case WSAEADDRNOTAVAIL: return EADDRNOTAVAIL;
    case WSAECONNREFUSED: return ECONNREFUSED;
    case WSAECONNRESET: return ECONNRESET;
    case WSAECONNABORTED: return ECONNABORTED;
    case WSAETIMEDOUT: return ETIMEDOUT;
    case WSAENOTSOCK: return ENOTSOCK;
    case WSAENOTCONN: return ENOTCONN;
    case WSAESHUTDOWN: return EPIPE;
    case WSAEAFNOSUPPORT: return EAFNOSUPPORT;
    case WSAENETUNREACH: return ENETUNREACH;
    case WSAEHOSTUNREACH: return EHOSTUNREACH;
    case WSAEMFILE: return EMFILE;
    case WSAENOBUFS: return ENOBUFS;
    case WSAEMSGSIZE: return EMSGSIZE;
    case WSAEINVAL: return EINVAL;
    case WSAEACCES: return EACCES;
    case WSAEFAULT: return EFAULT;
    case 0: return 0;
    default: return EIO;
  }
}

int socket_failed() {
  errno = errno_of_wsa(WSAGetLastError());
  return -1;
}

// A file-system call's error (GetLastError) as an errno value.
int errno_of_win32(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_NAME:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_PATHNAME:
    case ERROR_DIRECTORY:
      return ENOENT;
    case ERROR_ACCESS_DENIED:
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return EACCES;
    case ERROR_ALREADY_EXISTS:
    case ERROR_FILE_EXISTS:
      return EEXIST;
    case ERROR_DIR_NOT_EMPTY:
      return ENOTEMPTY;
    case ERROR_NOT_ENOUGH_MEMORY:
    case ERROR_OUTOFMEMORY:
      return ENOMEM;
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_DISK_FULL:
      return ENOSPC;
    case ERROR_FILENAME_EXCED_RANGE:
      return ENAMETOOLONG;
    default:
      return EIO;
  }
}

int file_failed() {
  errno = errno_of_win32(GetLastError());
  return -1;
}

// UTF-8 to UTF-16 for the wide calls; false (errno ENOENT) when TEXT is no
// UTF-8 or too long.
bool widen(const char* text, wchar_t* out, int out_len) {
  int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, out, out_len);
  if (n <= 0) {
    errno = GetLastError() == ERROR_INSUFFICIENT_BUFFER ? ENAMETOOLONG : ENOENT;
    return false;
  }
  return true;
}

bool narrow(const wchar_t* text, char* out, int out_len) {
  int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text, -1, out, out_len, nullptr, nullptr);
  if (n <= 0) {
    errno = ENAMETOOLONG;
    return false;
  }
  return true;
}

void not_inherited(int sock) {
  SetHandleInformation(reinterpret_cast<HANDLE>(static_cast<uintptr_t>(static_cast<unsigned>(sock))),
                       HANDLE_FLAG_INHERIT, 0);
}

SOCKET as_socket(int sock) { return static_cast<SOCKET>(static_cast<unsigned>(sock)); }

int from_socket(SOCKET s) { return s == INVALID_SOCKET ? -1 : static_cast<int>(s); }

std::once_flag g_startup_once;
int g_startup_result = -1;

HANDLE g_stop_requested = nullptr;

BOOL WINAPI on_console_event(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      SetEvent(g_stop_requested);
      return TRUE;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      // The process ends when this handler returns: the main thread gets
      // the time the system allows to halt the engine and exit first.
      SetEvent(g_stop_requested);
      Sleep(5000);
      return TRUE;
    default:
      return FALSE;
  }
}

int64_t unix_time_100ns(const FILETIME& ft) {
  const int64_t ticks = (static_cast<int64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
  return ticks - 116444736000000000LL;  // 1601-01-01 to 1970-01-01
}

HANDLE os_handle(int fd) { return reinterpret_cast<HANDLE>(_get_osfhandle(fd)); }

}  // namespace

ssize_t getline(char** line, size_t* capacity, FILE* fp) {
  if (line == nullptr || capacity == nullptr || fp == nullptr) {
    errno = EINVAL;
    return -1;
  }
  size_t len = 0;
  for (;;) {
    int c = std::fgetc(fp);
    if (c == EOF) break;
    if (*line == nullptr || len + 2 > *capacity) {
      size_t grown = *capacity < 64 ? 128 : *capacity * 2;
      char* bigger = static_cast<char*>(std::realloc(*line, grown));
      if (bigger == nullptr) {
        errno = ENOMEM;
        return -1;
      }
      *line = bigger;
      *capacity = grown;
    }
    (*line)[len++] = static_cast<char>(c);
    if (c == '\n') break;
  }
  if (len == 0) return -1;
  (*line)[len] = '\0';
  return static_cast<ssize_t>(len);
}

int sys_startup() {
  std::call_once(g_startup_once, [] {
    WSADATA data;
    g_startup_result = WSAStartup(MAKEWORD(2, 2), &data) == 0 ? 0 : -1;
  });
  if (g_startup_result != 0) errno = ENETDOWN;
  return g_startup_result;
}

int sys_socket(int family) {
  if (sys_startup() != 0) return -1;
  SOCKET s = socket(family, SOCK_STREAM, IPPROTO_TCP);
  if (s == INVALID_SOCKET) return socket_failed();
  not_inherited(from_socket(s));
  return from_socket(s);
}

int sys_close_socket(int sock) { return closesocket(as_socket(sock)) == 0 ? 0 : socket_failed(); }

void sys_shutdown_write(int sock) { shutdown(as_socket(sock), SD_SEND); }
void sys_shutdown_both(int sock) { shutdown(as_socket(sock), SD_BOTH); }

ssize_t sys_recv(int sock, void* buf, size_t len, bool dont_wait) {
  if (dont_wait) {
    WSAPOLLFD p = {as_socket(sock), POLLRDNORM, 0};
    int ready = WSAPoll(&p, 1, 0);
    if (ready < 0) return socket_failed();
    if (ready == 0) {
      errno = EAGAIN;
      return -1;
    }
  }
  int n = recv(as_socket(sock), static_cast<char*>(buf), len > INT_MAX ? INT_MAX : static_cast<int>(len), 0);
  return n == SOCKET_ERROR ? socket_failed() : n;
}

ssize_t sys_send(int sock, const void* buf, size_t len, bool) {
  int n = send(as_socket(sock), static_cast<const char*>(buf), len > INT_MAX ? INT_MAX : static_cast<int>(len), 0);
  return n == SOCKET_ERROR ? socket_failed() : n;
}

int sys_accept(int listener, SocketAddress* remote) {
  int len = sizeof(*remote);
  SOCKET s = accept(as_socket(listener), &remote->sa, &len);
  if (s == INVALID_SOCKET) return socket_failed();
  // An accepted socket inherits the listener's non-blocking mode here.
  u_long blocking = 0;
  ioctlsocket(s, FIONBIO, &blocking);
  not_inherited(from_socket(s));
  return from_socket(s);
}

int sys_connect(int sock, const sockaddr* sa, socklen_t len) {
  if (connect(as_socket(sock), sa, len) == 0) return 0;
  int wsa = WSAGetLastError();
  errno = wsa == WSAEWOULDBLOCK ? EINPROGRESS : errno_of_wsa(wsa);
  return -1;
}

int sys_socket_error(int sock) {
  int err = 0;
  int len = sizeof(err);
  if (getsockopt(as_socket(sock), SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&err), &len) != 0) {
    return errno_of_wsa(WSAGetLastError());
  }
  return errno_of_wsa(err);
}

int sys_getsockname(int sock, SocketAddress* local) {
  int len = sizeof(*local);
  return getsockname(as_socket(sock), &local->sa, &len) == 0 ? 0 : socket_failed();
}

int sys_set_nonblocking(int sock, bool on) {
  u_long mode = on ? 1 : 0;
  return ioctlsocket(as_socket(sock), FIONBIO, &mode) == 0 ? 0 : socket_failed();
}

int sys_poll(SysPollFd* fds, int count, int timeout_ms) {
  enum { MAX_POLLED = 128 };
  WSAPOLLFD polled[MAX_POLLED];
  int index[MAX_POLLED];
  int n = 0;
  for (int i = 0; i < count; i++) {
    fds[i].revents = 0;
    if (fds[i].fd < 0) continue;
    if (n == MAX_POLLED) {
      errno = EINVAL;
      return -1;
    }
    polled[n] = {as_socket(fds[i].fd), fds[i].events, 0};
    index[n++] = i;
  }
  if (n == 0) {
    // WSAPoll refuses an empty set.
    if (timeout_ms != 0) Sleep(timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms));
    return 0;
  }
  int ready = WSAPoll(polled, static_cast<ULONG>(n), timeout_ms);
  if (ready < 0) return socket_failed();
  for (int k = 0; k < n; k++) fds[index[k]].revents = polled[k].revents;
  return ready;
}

int sys_open_listener(SocketAddress* local) {
  const int family = local->sa.sa_family;
  const int addr_len = family == AF_INET6 ? sizeof(local->sin6) : sizeof(local->sin);
  int sock = sys_socket(family);
  if (sock < 0) return -1;
  SOCKET s = as_socket(sock);
  BOOL on = TRUE;
  DWORD v6only = 1;
  int bound_len = sizeof(*local);
  u_long nonblocking = 1;
  if (setsockopt(s, SOL_SOCKET, SO_KEEPALIVE, reinterpret_cast<const char*>(&on), sizeof(on)) != 0 ||
      setsockopt(s, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&on), sizeof(on)) != 0 ||
      (family == AF_INET6 &&
       setsockopt(s, IPPROTO_IPV6, IPV6_V6ONLY, reinterpret_cast<const char*>(&v6only), sizeof(v6only)) != 0) ||
      bind(s, &local->sa, addr_len) != 0 || listen(s, 100) != 0 || getsockname(s, &local->sa, &bound_len) != 0 ||
      ioctlsocket(s, FIONBIO, &nonblocking) != 0) {
    socket_failed();
    const int err = errno;
    closesocket(s);
    errno = err;
    return -1;
  }
  return sock;
}

int sys_set_nodelay(int sock) {
  BOOL on = TRUE;
  return setsockopt(as_socket(sock), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof(on)) == 0
             ? 0
             : socket_failed();
}

// Winsock takes the time-outs as a DWORD of milliseconds, not a timeval.
int sys_set_read_timeout(int sock, int ms) {
  DWORD value = static_cast<DWORD>(ms);
  return setsockopt(as_socket(sock), SOL_SOCKET, SO_RCVTIMEO, reinterpret_cast<const char*>(&value),
                    sizeof(value)) == 0
             ? 0
             : socket_failed();
}

int sys_set_write_timeout(int sock, int ms) {
  DWORD value = static_cast<DWORD>(ms);
  return setsockopt(as_socket(sock), SOL_SOCKET, SO_SNDTIMEO, reinterpret_cast<const char*>(&value),
                    sizeof(value)) == 0
             ? 0
             : socket_failed();
}

void sys_set_corked(int, int) {}

ssize_t sys_send_file(int sock, int fd, int64_t* offset, size_t len) {
  char buf[16384];
  size_t want = len < sizeof(buf) ? len : sizeof(buf);
  ssize_t n = sys_pread(fd, buf, want, *offset);
  if (n <= 0) return n;
  ssize_t sent = sys_send(sock, buf, static_cast<size_t>(n), false);
  if (sent > 0) *offset += sent;
  return sent;
}

void sys_block_sigpipe() {}

const char* sys_strerror(int err) {
  switch (err) {
    case EADDRINUSE: return "Address already in use";
    case EADDRNOTAVAIL: return "Cannot assign requested address";
    case ECONNREFUSED: return "Connection refused";
    case ECONNRESET: return "Connection reset by peer";
    case ECONNABORTED: return "Software caused connection abort";
    case ETIMEDOUT: return "Connection timed out";
    case EINPROGRESS: return "Operation now in progress";
    case ENOTSOCK: return "Socket operation on non-socket";
    case ENOTCONN: return "Transport endpoint is not connected";
    case EAFNOSUPPORT: return "Address family not supported by protocol";
    case ENETUNREACH: return "Network is unreachable";
    case EHOSTUNREACH: return "No route to host";
    case ENOBUFS: return "No buffer space available";
    case ECANCELED: return "Operation canceled";
    case ENETDOWN: return "Network is down";
    default: return std::strerror(err);
  }
}

int sys_wakeup_open(int fds[2]) {
  fds[0] = fds[1] = -1;
  SocketAddress addr{};
  addr.sin.sin_family = AF_INET;
  addr.sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int listener = sys_open_listener(&addr);
  if (listener < 0) return -1;
  int writer = sys_socket(AF_INET);
  SocketAddress writer_addr{};
  int reader = -1;
  if (writer >= 0 && connect(as_socket(writer), &addr.sa, sizeof(addr.sin)) == 0 &&
      sys_getsockname(writer, &writer_addr) == 0) {
    SysPollFd p = {listener, POLLIN, 0};
    SocketAddress peer{};
    if (sys_poll(&p, 1, 5000) == 1) reader = sys_accept(listener, &peer);
    // Only our own end may be the other half: any local process could have
    // connected to the listener first.
    if (reader >= 0 && (peer.sin.sin_port != writer_addr.sin.sin_port ||
                        peer.sin.sin_addr.s_addr != writer_addr.sin.sin_addr.s_addr)) {
      sys_close_socket(reader);
      reader = -1;
      errno = EACCES;
    }
  } else if (writer >= 0) {
    socket_failed();
  }
  const int err = errno;
  sys_close_socket(listener);
  if (reader < 0) {
    if (writer >= 0) sys_close_socket(writer);
    errno = err;
    return -1;
  }
  fds[0] = reader;
  fds[1] = writer;
  return 0;
}

void sys_wakeup_signal(int write_fd) {
  if (write_fd < 0) return;
  char c = 1;
  send(as_socket(write_fd), &c, 1, 0);
}

void sys_wakeup_close(int fds[2]) {
  for (int i = 0; i < 2; i++) {
    if (fds[i] >= 0) closesocket(as_socket(fds[i]));
    fds[i] = -1;
  }
}

int sys_stat(const char* native, FileStatus* st) {
  wchar_t wide[PATH_BUF_SIZE];
  if (!widen(native, wide, PATH_BUF_SIZE)) return -1;
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (!GetFileAttributesExW(wide, GetFileExInfoStandard, &data)) return file_failed();
  st->is_directory = (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? 1 : 0;
  st->size = (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  const int64_t t = unix_time_100ns(data.ftLastWriteTime);
  int64_t seconds = t / 10000000;
  int64_t rest = t % 10000000;
  if (rest < 0) {
    rest += 10000000;
    seconds--;
  }
  st->mtime = seconds;
  st->mtime_nsec = static_cast<int32_t>(rest * 100);
  return 0;
}

int sys_open(const char* native, int flags, int mode) {
  wchar_t wide[PATH_BUF_SIZE];
  if (!widen(native, wide, PATH_BUF_SIZE)) return -1;
  return _wopen(wide, flags | _O_BINARY | _O_NOINHERIT, mode);
}

FILE* sys_fopen(const char* native, const char* mode) {
  wchar_t wide[PATH_BUF_SIZE];
  if (!widen(native, wide, PATH_BUF_SIZE)) return nullptr;
  wchar_t wide_mode[16];
  size_t n = 0;
  for (const char* m = mode; *m != '\0' && n + 3 < sizeof(wide_mode) / sizeof(wide_mode[0]); m++) {
    if (*m != 'b' && *m != 't') wide_mode[n++] = static_cast<wchar_t>(*m);
  }
  wide_mode[n++] = L'b';
  wide_mode[n++] = L'N';
  wide_mode[n] = L'\0';
  return _wfopen(wide, wide_mode);
}

int sys_close(int fd) { return _close(fd); }

ssize_t sys_pread(int fd, void* buf, size_t len, int64_t offset) {
  HANDLE h = os_handle(fd);
  if (h == INVALID_HANDLE_VALUE) {
    errno = EBADF;
    return -1;
  }
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset & 0xffffffff);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD n = 0;
  DWORD want = len > 0x40000000 ? 0x40000000 : static_cast<DWORD>(len);
  if (!ReadFile(h, buf, want, &n, &at)) {
    if (GetLastError() == ERROR_HANDLE_EOF) return 0;
    return file_failed();
  }
  return static_cast<ssize_t>(n);
}

ssize_t sys_pwrite(int fd, const void* buf, size_t len, int64_t offset) {
  HANDLE h = os_handle(fd);
  if (h == INVALID_HANDLE_VALUE) {
    errno = EBADF;
    return -1;
  }
  OVERLAPPED at{};
  at.Offset = static_cast<DWORD>(offset & 0xffffffff);
  at.OffsetHigh = static_cast<DWORD>(offset >> 32);
  DWORD n = 0;
  DWORD want = len > 0x40000000 ? 0x40000000 : static_cast<DWORD>(len);
  if (!WriteFile(h, buf, want, &n, &at)) return file_failed();
  return static_cast<ssize_t>(n);
}

int sys_mkdir(const char* native, int) {
  wchar_t wide[PATH_BUF_SIZE];
  if (!widen(native, wide, PATH_BUF_SIZE)) return -1;
  return CreateDirectoryW(wide, nullptr) ? 0 : file_failed();
}

int sys_remove(const char* native) {
  wchar_t wide[PATH_BUF_SIZE];
  if (!widen(native, wide, PATH_BUF_SIZE)) return -1;
  DWORD attributes = GetFileAttributesW(wide);
  if (attributes == INVALID_FILE_ATTRIBUTES) return file_failed();
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return RemoveDirectoryW(wide) ? 0 : file_failed();
  return DeleteFileW(wide) ? 0 : file_failed();
}

int sys_rename(const char* from, const char* to) {
  wchar_t wide_from[PATH_BUF_SIZE];
  wchar_t wide_to[PATH_BUF_SIZE];
  if (!widen(from, wide_from, PATH_BUF_SIZE) || !widen(to, wide_to, PATH_BUF_SIZE)) return -1;
  return MoveFileExW(wide_from, wide_to, MOVEFILE_REPLACE_EXISTING) ? 0 : file_failed();
}

void sys_copy_mode(int, const char*) {}

char* sys_realpath(const char* native, char* out, size_t out_len) {
  wchar_t wide[PATH_BUF_SIZE];
  if (!widen(native, wide, PATH_BUF_SIZE)) return nullptr;
  // Folders open only with backup semantics; nothing is read or written.
  HANDLE h = CreateFileW(wide, 0, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                         FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) {
    file_failed();
    return nullptr;
  }
  wchar_t final_path[PATH_BUF_SIZE];
  DWORD n = GetFinalPathNameByHandleW(h, final_path, PATH_BUF_SIZE, FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
  const DWORD error = GetLastError();
  CloseHandle(h);
  if (n == 0 || n >= PATH_BUF_SIZE) {
    errno = n == 0 ? errno_of_win32(error) : ENAMETOOLONG;
    return nullptr;
  }
  const wchar_t* path = final_path;
  if (std::wcsncmp(path, L"\\\\?\\", 4) == 0) path += 4;
  if (!narrow(path, out, out_len > INT_MAX ? INT_MAX : static_cast<int>(out_len))) return nullptr;
  for (char* p = out; *p != '\0'; p++) {
    if (*p == '\\') *p = '/';
  }
  return out;
}

int sys_open_without_links(const char*, bool) {
  errno = ENOSYS;
  return -1;
}

bool sys_is_program(const char* native) {
  wchar_t wide[PATH_BUF_SIZE];
  if (!widen(native, wide, PATH_BUF_SIZE)) return false;
  DWORD attributes = GetFileAttributesW(wide);
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

char sys_path_list_separator() { return ';'; }

struct SysDir {
  _WDIR* dir;
  char name[PATH_BUF_SIZE];
};

SysDir* sys_opendir(const char* native) {
  wchar_t wide[PATH_BUF_SIZE];
  if (!widen(native, wide, PATH_BUF_SIZE)) return nullptr;
  SysDir* d = static_cast<SysDir*>(std::calloc(1, sizeof(SysDir)));
  if (d == nullptr) {
    errno = ENOMEM;
    return nullptr;
  }
  d->dir = _wopendir(wide);
  if (d->dir == nullptr) {
    const int err = errno;
    std::free(d);
    errno = err;
    return nullptr;
  }
  return d;
}

const char* sys_readdir(SysDir* d) {
  for (;;) {
    _wdirent* e = _wreaddir(d->dir);
    if (e == nullptr) return nullptr;
    // A name that has no UTF-8 form cannot be asked for: it is left out.
    if (narrow(e->d_name, d->name, sizeof(d->name))) return d->name;
  }
}

void sys_closedir(SysDir* d) {
  if (d == nullptr) return;
  _wclosedir(d->dir);
  std::free(d);
}

void* sys_load_library(const char* name) {
  wchar_t wide[PATH_BUF_SIZE];
  if (!widen(name, wide, PATH_BUF_SIZE)) return nullptr;
  return reinterpret_cast<void*>(LoadLibraryW(wide));
}

void* sys_library_symbol(void* library, const char* name) {
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(library), name));
}

char** sys_environment() { return _environ; }

void sys_prepare_stop_request() {
  g_stop_requested = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  SetConsoleCtrlHandler(on_console_event, TRUE);
}

void sys_wait_for_stop_request() {
  while (WaitForSingleObject(g_stop_requested, INFINITE) != WAIT_OBJECT_0) {
  }
}

#else  // POSIX

namespace {

int set_timeout(int sock, int option, int ms) {
  timeval tv;
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  return setsockopt(sock, SOL_SOCKET, option, &tv, sizeof(tv));
}

sigset_t g_stop_signals;

}  // namespace

int sys_startup() { return 0; }

int sys_socket(int family) { return socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0); }

int sys_close_socket(int sock) { return close(sock); }

void sys_shutdown_write(int sock) { shutdown(sock, SHUT_WR); }
void sys_shutdown_both(int sock) { shutdown(sock, SHUT_RDWR); }

ssize_t sys_recv(int sock, void* buf, size_t len, bool dont_wait) {
  return recv(sock, buf, len, dont_wait ? MSG_DONTWAIT : 0);
}

ssize_t sys_send(int sock, const void* buf, size_t len, bool more) {
  return send(sock, buf, len, MSG_NOSIGNAL | (more ? MSG_MORE : 0));
}

int sys_accept(int listener, SocketAddress* remote) {
  socklen_t len = sizeof(*remote);
  return accept4(listener, &remote->sa, &len, SOCK_CLOEXEC);
}

int sys_connect(int sock, const sockaddr* sa, socklen_t len) { return connect(sock, sa, len); }

int sys_socket_error(int sock) {
  int err = 0;
  socklen_t err_len = sizeof(err);
  getsockopt(sock, SOL_SOCKET, SO_ERROR, &err, &err_len);
  return err;
}

int sys_getsockname(int sock, SocketAddress* local) {
  socklen_t len = sizeof(*local);
  return getsockname(sock, &local->sa, &len);
}

int sys_set_nonblocking(int sock, bool on) {
  int flags = fcntl(sock, F_GETFL, 0);
  if (flags < 0) return -1;
  return fcntl(sock, F_SETFL, on ? flags | O_NONBLOCK : flags & ~O_NONBLOCK);
}

int sys_poll(SysPollFd* fds, int count, int timeout_ms) { return poll(fds, static_cast<nfds_t>(count), timeout_ms); }

int sys_open_listener(SocketAddress* local) {
  const int family = local->sa.sa_family;
  const socklen_t addr_len = family == AF_INET6 ? sizeof(local->sin6) : sizeof(local->sin);
  int sock = socket(family, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (sock < 0) return -1;
  int on = 1;
  socklen_t bound_len = sizeof(*local);
  if (setsockopt(sock, SOL_SOCKET, SO_KEEPALIVE, &on, sizeof(on)) != 0 ||
      setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &on, sizeof(on)) != 0 ||
      (family == AF_INET6 && setsockopt(sock, IPPROTO_IPV6, IPV6_V6ONLY, &on, sizeof(on)) != 0) ||
      bind(sock, &local->sa, addr_len) != 0 || listen(sock, 100) != 0 ||
      getsockname(sock, &local->sa, &bound_len) != 0 ||
      fcntl(sock, F_SETFL, fcntl(sock, F_GETFL, 0) | O_NONBLOCK) != 0) {
    const int err = errno;
    close(sock);
    errno = err;
    return -1;
  }
  return sock;
}

int sys_set_nodelay(int sock) {
  int on = 1;
  return setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof(on));
}

int sys_set_read_timeout(int sock, int ms) { return set_timeout(sock, SO_RCVTIMEO, ms); }
int sys_set_write_timeout(int sock, int ms) { return set_timeout(sock, SO_SNDTIMEO, ms); }

void sys_set_corked(int sock, int on) { setsockopt(sock, IPPROTO_TCP, TCP_CORK, &on, sizeof(on)); }

ssize_t sys_send_file(int sock, int fd, int64_t* offset, size_t len) {
  off_t pos = static_cast<off_t>(*offset);
  ssize_t n = sendfile(sock, fd, &pos, len);
  *offset = static_cast<int64_t>(pos);
  return n;
}

void sys_block_sigpipe() {
  // The TLS library writes without MSG_NOSIGNAL.
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

const char* sys_strerror(int err) { return std::strerror(err); }

int sys_wakeup_open(int fds[2]) {
  if (pipe2(fds, O_CLOEXEC) != 0) {
    fds[0] = fds[1] = -1;
    return -1;
  }
  return 0;
}

void sys_wakeup_signal(int write_fd) {
  if (write_fd < 0) return;
  char c = 1;
  while (write(write_fd, &c, 1) < 0 && errno == EINTR) {
  }
}

void sys_wakeup_close(int fds[2]) {
  for (int i = 0; i < 2; i++) {
    if (fds[i] >= 0) close(fds[i]);
    fds[i] = -1;
  }
}

int sys_stat(const char* native, FileStatus* st) {
  struct stat s;
  if (stat(native, &s) != 0) return -1;
  st->is_directory = S_ISDIR(s.st_mode) ? 1 : 0;
  st->size = static_cast<int64_t>(s.st_size);
  st->mtime = static_cast<int64_t>(s.st_mtim.tv_sec);
  st->mtime_nsec = static_cast<int32_t>(s.st_mtim.tv_nsec);
  return 0;
}

int sys_open(const char* native, int flags, int mode) {
  int fd;
  do {
    fd = open(native, flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  return fd;
}

FILE* sys_fopen(const char* native, const char* mode) {
  char cloexec_mode[16];
  std::snprintf(cloexec_mode, sizeof(cloexec_mode), "%se", mode);
  return std::fopen(native, cloexec_mode);
}

int sys_close(int fd) { return close(fd); }

ssize_t sys_pread(int fd, void* buf, size_t len, int64_t offset) {
  return pread(fd, buf, len, static_cast<off_t>(offset));
}

ssize_t sys_pwrite(int fd, const void* buf, size_t len, int64_t offset) {
  return pwrite(fd, buf, len, static_cast<off_t>(offset));
}

int sys_mkdir(const char* native, int mode) { return mkdir(native, static_cast<mode_t>(mode)); }

int sys_remove(const char* native) { return std::remove(native); }

int sys_rename(const char* from, const char* to) { return rename(from, to); }

void sys_copy_mode(int fd, const char* native) {
  struct stat old;
  if (stat(native, &old) == 0) fchmod(fd, old.st_mode & 07777);
}

char* sys_realpath(const char* native, char* out, size_t out_len) {
  if (out_len < PATH_MAX) {
    errno = ENAMETOOLONG;
    return nullptr;
  }
  return realpath(native, out);
}

int sys_open_without_links(const char* native, bool for_reading) {
  open_how how;
  std::memset(&how, 0, sizeof(how));
  how.flags = static_cast<uint64_t>((for_reading ? O_RDONLY | O_NONBLOCK : O_PATH) | O_CLOEXEC);
  how.resolve = RESOLVE_NO_SYMLINKS;
  long fd;
  do {
    fd = syscall(SYS_openat2, AT_FDCWD, native, &how, sizeof(how));
  } while (fd < 0 && errno == EINTR);
  return static_cast<int>(fd);
}

bool sys_is_program(const char* native) { return access(native, X_OK) == 0; }

char sys_path_list_separator() { return ':'; }

struct SysDir {
  DIR* dir;
};

SysDir* sys_opendir(const char* native) {
  DIR* dir = opendir(native);
  if (dir == nullptr) return nullptr;
  SysDir* d = static_cast<SysDir*>(std::malloc(sizeof(SysDir)));
  if (d == nullptr) {
    closedir(dir);
    errno = ENOMEM;
    return nullptr;
  }
  d->dir = dir;
  return d;
}

const char* sys_readdir(SysDir* d) {
  dirent* e = readdir(d->dir);
  return e != nullptr ? e->d_name : nullptr;
}

void sys_closedir(SysDir* d) {
  if (d == nullptr) return;
  closedir(d->dir);
  std::free(d);
}

void* sys_load_library(const char* name) { return dlopen(name, RTLD_NOW | RTLD_LOCAL); }

void* sys_library_symbol(void* library, const char* name) { return dlsym(library, name); }

char** sys_environment() { return environ; }

void sys_prepare_stop_request() {
  // The engine's threads inherit this mask; the signals are taken by sigwait.
  sigemptyset(&g_stop_signals);
  sigaddset(&g_stop_signals, SIGINT);
  sigaddset(&g_stop_signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &g_stop_signals, nullptr);
}

void sys_wait_for_stop_request() {
  int sig = 0;
  while (sigwait(&g_stop_signals, &sig) != 0) {
  }
}

#endif
