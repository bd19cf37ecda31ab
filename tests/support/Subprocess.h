#pragma once

// Runs a program with its standard error (and output) captured, for tests that
// drive real executables.

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

class Subprocess {
 public:
  explicit Subprocess(const std::vector<std::string>& argv) {
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fds[1], 1);
      dup2(fds[1], 2);
      std::vector<char*> args;
      for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    close(fds[1]);
    out_ = fds[0];
  }
  ~Subprocess() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (out_ >= 0) close(out_);
  }

  // Reads output until `needle` appears or `limit` passes; true when it appeared.
  bool waitForOutput(const std::string& needle, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (output_.find(needle) == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !readSome(int(left.count()))) return output_.find(needle) != std::string::npos;
    }
    return true;
  }

  void signal(int number) { kill(pid_, number); }

  // The exit status, or -1 when it did not exit within `limit` (then it is killed).
  int wait(std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      int status = 0;
      pid_t done = waitpid(pid_, &status, WNOHANG);
      if (done == pid_) {
        exited_ = true;
        while (readSome(0)) {
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      if (std::chrono::steady_clock::now() > deadline) return -1;
      readSome(20);
    }
  }

  const std::string& output() const { return output_; }

 private:
  bool readSome(int timeoutMs) {
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0) return false;
    char buffer[4096];
    ssize_t n = read(out_, buffer, sizeof buffer);
    if (n <= 0) return false;
    output_.append(buffer, size_t(n));
    return true;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  bool exited_ = false;
  std::string output_;
};
