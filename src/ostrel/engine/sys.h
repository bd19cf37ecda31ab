// The engine's one door to what differs between systems: sockets (BSD sockets
// here, Winsock 2 on Windows), the stop's wake-up, time-outs, files at the
// file-system boundary (UTF-8 names inside; UTF-16 wide calls on Windows),
// the TLS library's loading and the stop request of a stand-alone server.
// Every other engine file calls these functions instead of the system's.
// A failure sets errno with the POSIX name of the error on every system
// (Winsock's codes are mapped), so callers test errno alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <winsock2.h>
#include <ws2tcpip.h>
#include <fcntl.h>
#include <sys/types.h>

// A file open never blocks on Windows: there are no FIFOs in its file system.
#ifndef O_NONBLOCK
#define O_NONBLOCK 0
#endif
// The handle is not inherited by child processes, as close-on-exec means.
#ifndef O_CLOEXEC
#define O_CLOEXEC _O_NOINHERIT
#endif

// The poll record; WSAPoll's own holds a SOCKET.
struct SysPollFd {
  int fd;  // negative: the entry is ignored
  short events;
  short revents;
};

#define SYS_SSL_LIBRARY "libssl-3.dll"
#define SYS_CRYPTO_LIBRARY "libcrypto-3.dll"
#define SYS_SHELL "cmd.exe"
#define SYS_SHELL_COMMAND "/c"

// The C runtime has no getline: one line of FP into *LINE (grown with
// realloc), its length, or -1 at the end or on an error.
ssize_t getline(char** line, size_t* capacity, FILE* fp);
#else
#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/types.h>

typedef pollfd SysPollFd;

#define SYS_SSL_LIBRARY "libssl.so.3"
#define SYS_CRYPTO_LIBRARY "libcrypto.so.3"
#define SYS_SHELL "/bin/sh"
#define SYS_SHELL_COMMAND "-c"
#endif

union SocketAddress;
struct FileStatus;

// Sockets. A socket is an int on every system (a 32-bit SOCKET handle on
// Windows, where INVALID_SOCKET reads as -1).

// Once per process before any socket (WSAStartup); 0, or -1 with errno.
int sys_startup();
// A stream socket of FAMILY that child processes do not inherit.
int sys_socket(int family);
int sys_close_socket(int sock);
void sys_shutdown_write(int sock);
void sys_shutdown_both(int sock);
// Reads what has arrived; with DONT_WAIT an empty blocking socket fails with
// EAGAIN instead of waiting. -1 with errno, 0 when the peer has closed.
ssize_t sys_recv(int sock, void* buf, size_t len, bool dont_wait);
// Writes without ever raising SIGPIPE; MORE holds back a partial frame for
// the data that follows (where the system can).
ssize_t sys_send(int sock, const void* buf, size_t len, bool more);
// The next client of a non-blocking listener, as a blocking socket that child
// processes do not inherit; -1 with errno (EAGAIN when none waits).
int sys_accept(int listener, SocketAddress* remote);
// Connects SOCK; a non-blocking one fails with EINPROGRESS while it goes on.
int sys_connect(int sock, const sockaddr* sa, socklen_t len);
// The pending error of SOCK (after a non-blocking connect), an errno value.
int sys_socket_error(int sock);
int sys_getsockname(int sock, SocketAddress* local);
int sys_set_nonblocking(int sock, bool on);
// POSIX poll over sockets; entries with a negative fd are ignored.
int sys_poll(SysPollFd* fds, int count, int timeout_ms);
// A listener on LOCAL (port 0: any), non-blocking, that no other socket may
// share: SO_REUSEADDR here, SO_EXCLUSIVEADDRUSE on Windows, where
// SO_REUSEADDR would let another process bind the same port. An IPv6
// listener takes IPv6 clients only. LOCAL gets the bound address.
int sys_open_listener(SocketAddress* local);
int sys_set_nodelay(int sock);
// Receive and send time-outs of a blocking socket.
int sys_set_read_timeout(int sock, int ms);
int sys_set_write_timeout(int sock, int ms);
// Holds back partial frames while ON (TCP_CORK); nothing where there is none.
void sys_set_corked(int sock, int on);
// Sends LEN bytes of the open file FD from *OFFSET, advancing it; the bytes
// sent, or -1 with errno (EAGAIN: the socket's buffer is full).
ssize_t sys_send_file(int sock, int fd, int64_t* offset, size_t len);
// Engine threads never die of a write to a closed peer.
void sys_block_sigpipe();
// The text of an errno value, socket errors included.
const char* sys_strerror(int err);

// The stop's wake-up: FDS[0] becomes readable (in sys_poll, with sockets)
// once sys_wakeup_signal has been called. A pipe here, a connected pair of
// loopback sockets on Windows, where WSAPoll watches sockets only.
int sys_wakeup_open(int fds[2]);
void sys_wakeup_signal(int write_fd);
void sys_wakeup_close(int fds[2]);

// Files. NATIVE is a path as to_native_path gives it, in UTF-8.

int sys_stat(const char* native, FileStatus* st);
// open(2) with close-on-exec (binary mode on Windows); -1 with errno.
int sys_open(const char* native, int flags, int mode);
// fopen with close-on-exec (binary mode on Windows).
FILE* sys_fopen(const char* native, const char* mode);
int sys_close(int fd);
ssize_t sys_pread(int fd, void* buf, size_t len, int64_t offset);
ssize_t sys_pwrite(int fd, const void* buf, size_t len, int64_t offset);
int sys_mkdir(const char* native, int mode);
// Removes a file or an empty folder.
int sys_remove(const char* native);
// Renames FROM to TO, replacing a file at TO.
int sys_rename(const char* from, const char* to);
// Gives FD the permission bits of the file at NATIVE (a file it replaces);
// where files have no such bits, they follow their folder.
void sys_copy_mode(int fd, const char* native);
// NATIVE with every link resolved, into OUT of OUT_LEN bytes; null with errno.
char* sys_realpath(const char* native, char* out, size_t out_len);
// NATIVE opened without following any symbolic link on the way (for reading
// when FOR_READING, else only to learn that it opens); -1 where that cannot
// be known, and the caller resolves the path in full.
int sys_open_without_links(const char* native, bool for_reading);
// True when the file at NATIVE is a program that may be started.
bool sys_is_program(const char* native);
// The separator of the PATH variable's list.
char sys_path_list_separator();

// A folder's entries in UTF-8, "." and ".." included.
struct SysDir;
SysDir* sys_opendir(const char* native);
// The next entry's name, or null at the end; valid until the next call.
const char* sys_readdir(SysDir* dir);
void sys_closedir(SysDir* dir);

// Shared libraries, loaded for the life of the process.
void* sys_load_library(const char* name);
void* sys_library_symbol(void* library, const char* name);

// The process's environment, as NAME=VALUE texts ended by a null pointer.
char** sys_environment();

// A stand-alone server's stop request: SIGINT or SIGTERM here; Ctrl-C,
// Ctrl-Break or the console's close on Windows. Prepare before any thread
// starts; the wait returns once one has come.
void sys_prepare_stop_request();
void sys_wait_for_stop_request();
