#include "ostrel/engine/spawn.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>

#include "ostrel/engine/io.h"

namespace {

std::atomic<int> g_cgi_timeout_ms{60000};

// Descriptors the child keeps below this number are moved above it first, so
// that placing them on 0 and 1 cannot overwrite one another.
const int CHILD_FD_BASE = 10;

void close_fd(int* fd) {
  if (*fd >= 0) close(*fd);
  *fd = -1;
}

// Waits until FD is ready for EVENTS. 1 ready, 0 on time-out or stop.
int wait_fd(EngineContext* ctx, int fd, short events, int64_t deadline_ms) {
  pollfd fds[2] = {{fd, events, 0}, {ctx != nullptr ? ctx->wakeup_pipe[0] : -1, POLLIN, 0}};
  for (;;) {
    int64_t left = deadline_ms - monotonic_ms();
    if (left <= 0) return 0;
    int n = poll(fds, 2, left > INT_MAX ? INT_MAX : static_cast<int>(left));
    if (n < 0 && errno != EINTR) return 0;
    if (n <= 0) continue;
    if (fds[1].revents != 0) return 0;
    return 1;
  }
}

void close_from(int lowest, int keep) {
  if (keep > lowest && syscall(SYS_close_range, lowest, keep - 1, 0) != 0) {
    for (int fd = lowest; fd < keep; fd++) close(fd);
  }
  if (syscall(SYS_close_range, keep + 1, ~0U, 0) != 0) {
    for (int fd = keep + 1; fd < 65536; fd++) close(fd);
  }
}

// Only async-signal-safe calls from here to exec: the parent has threads.
[[noreturn]] void exec_child(char* const argv[], char* const envp[], const char* dir, int in_fd, int out_fd,
                             int err_fd) {
  setpgid(0, 0);
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  struct sigaction dfl = {};
  dfl.sa_handler = SIG_DFL;
  sigaction(SIGPIPE, &dfl, nullptr);
  sigaction(SIGCHLD, &dfl, nullptr);

  int err = 0;
  if (in_fd < 0) in_fd = open("/dev/null", O_RDONLY);
  in_fd = fcntl(in_fd, F_DUPFD, CHILD_FD_BASE);
  out_fd = fcntl(out_fd, F_DUPFD, CHILD_FD_BASE);
  err_fd = fcntl(err_fd, F_DUPFD_CLOEXEC, CHILD_FD_BASE);
  if (in_fd < 0 || out_fd < 0 || err_fd < 0 || dup2(in_fd, 0) != 0 || dup2(out_fd, 1) != 1) err = errno;
  if (err == 0 && fcntl(2, F_GETFD) < 0 && open("/dev/null", O_WRONLY) != 2) err = errno;
  if (err == 0) {
    close_from(3, err_fd);
    if (dir != nullptr && chdir(dir) != 0) err = errno;
  }
  if (err == 0) {
    execve(argv[0], argv, envp);
    err = errno;
  }
  ssize_t ignored = write(err_fd, &err, sizeof(err));
  (void)ignored;
  _exit(127);
}

void kill_group(pid_t pid) {
  kill(-pid, SIGKILL);
  kill(pid, SIGKILL);
}

void wait_for_exit(pid_t pid) {
  int status;
  while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

}  // namespace

void mg_set_cgi_timeout_ms(int ms) { g_cgi_timeout_ms.store(ms > 0 ? ms : 1); }
int cgi_timeout_ms() { return g_cgi_timeout_ms.load(); }

int spawn_process(char* const argv[], char* const envp[], const char* dir, int want_input, ChildProcess* child) {
  child->pid = -1;
  child->in_fd = child->out_fd = -1;
  child->process = child->group = nullptr;
  int in_pipe[2] = {-1, -1};
  int out_pipe[2] = {-1, -1};
  int err_pipe[2] = {-1, -1};
  if ((want_input && pipe2(in_pipe, O_CLOEXEC) != 0) || pipe2(out_pipe, O_CLOEXEC) != 0 ||
      pipe2(err_pipe, O_CLOEXEC) != 0) {
    int err = errno;
    int* fds[] = {&in_pipe[0], &in_pipe[1], &out_pipe[0], &out_pipe[1], &err_pipe[0], &err_pipe[1]};
    for (int* fd : fds) close_fd(fd);
    errno = err;
    return -1;
  }

  pid_t pid = fork();
  if (pid == 0) exec_child(argv, envp, dir, in_pipe[0], out_pipe[1], err_pipe[1]);
  int fork_err = errno;
  close_fd(&in_pipe[0]);
  close_fd(&out_pipe[1]);
  close_fd(&err_pipe[1]);
  if (pid < 0) {
    close_fd(&in_pipe[1]);
    close_fd(&out_pipe[0]);
    close_fd(&err_pipe[0]);
    errno = fork_err;
    return -2;
  }
  setpgid(pid, pid);

  // The error pipe closes on a successful exec; otherwise it carries errno.
  int exec_err = 0;
  ssize_t n;
  do {
    n = read(err_pipe[0], &exec_err, sizeof(exec_err));
  } while (n < 0 && errno == EINTR);
  close_fd(&err_pipe[0]);
  if (n == static_cast<ssize_t>(sizeof(exec_err))) {
    wait_for_exit(pid);
    close_fd(&in_pipe[1]);
    close_fd(&out_pipe[0]);
    errno = exec_err;
    return -2;
  }

  if (in_pipe[1] >= 0) fcntl(in_pipe[1], F_SETFL, fcntl(in_pipe[1], F_GETFL) | O_NONBLOCK);
  fcntl(out_pipe[0], F_SETFL, fcntl(out_pipe[0], F_GETFL) | O_NONBLOCK);
  child->pid = pid;
  child->in_fd = in_pipe[1];
  child->out_fd = out_pipe[0];
  return 0;
}

int read_from_child(EngineContext* ctx, ChildProcess* child, char* buf, int len) {
  if (child->out_fd < 0) return -1;
  int64_t deadline = monotonic_ms() + cgi_timeout_ms();
  for (;;) {
    ssize_t n = read(child->out_fd, buf, static_cast<size_t>(len));
    if (n >= 0) return static_cast<int>(n);
    if (errno == EINTR) continue;
    if (errno != EAGAIN || !wait_fd(ctx, child->out_fd, POLLIN, deadline)) return -1;
  }
}

int64_t write_to_child(EngineContext* ctx, ChildProcess* child, const char* data, int len) {
  if (child->in_fd < 0) return 0;
  int64_t deadline = monotonic_ms() + cgi_timeout_ms();
  int written = 0;
  while (written < len) {
    ssize_t n = write(child->in_fd, data + written, static_cast<size_t>(len - written));
    if (n > 0) {
      written += static_cast<int>(n);
      deadline = monotonic_ms() + cgi_timeout_ms();
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && errno == EAGAIN && wait_fd(ctx, child->in_fd, POLLOUT, deadline)) continue;
    break;
  }
  return written;
}

void close_child_input(ChildProcess* child) { close_fd(&child->in_fd); }

void reap_child(EngineContext* ctx, ChildProcess* child, int kill_now) {
  close_fd(&child->in_fd);
  close_fd(&child->out_fd);
  pid_t pid = child->pid;
  if (pid <= 0) return;
  child->pid = -1;
  int status;
  pid_t r;
  do {
    r = waitpid(pid, &status, WNOHANG);
  } while (r < 0 && errno == EINTR);
  // ECHILD: someone else reaped it (SIGCHLD ignored by the embedding program).
  if (r == pid || (r < 0 && errno == ECHILD)) return;

  if (!kill_now) {
    int pidfd = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
    if (pidfd >= 0) {
      wait_fd(ctx, pidfd, POLLIN, monotonic_ms() + cgi_timeout_ms());
      close(pidfd);
      do {
        r = waitpid(pid, &status, WNOHANG);
      } while (r < 0 && errno == EINTR);
      if (r == pid || (r < 0 && errno == ECHILD)) return;
    }
  }
  kill_group(pid);
  wait_for_exit(pid);
}
