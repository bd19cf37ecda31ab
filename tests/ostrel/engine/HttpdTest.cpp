// ostrel-httpd as a process: options, start failures, serving and signals.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>

#include <gtest/gtest.h>

#include "ostrel/engine/EngineTestUtil.h"

using namespace enginetest;

extern char** environ;

namespace {

struct Child {
  pid_t pid = -1;
  int err = -1;  // the child's standard error
};

Child spawn_httpd(const std::vector<std::string>& args) {
  Child child;
  int pipefd[2];
  if (pipe(pipefd) != 0) return child;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, pipefd[1], 2);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addclose(&actions, pipefd[0]);
  std::vector<char*> argv;
  argv.push_back(const_cast<char*>(OSTREL_HTTPD_PATH));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  if (posix_spawn(&child.pid, OSTREL_HTTPD_PATH, &actions, nullptr, argv.data(), environ) != 0) child.pid = -1;
  posix_spawn_file_actions_destroy(&actions);
  close(pipefd[1]);
  child.err = pipefd[0];
  return child;
}

// Reads the child's standard error until PATTERN matches or it ends.
std::string read_err_until(int fd, const std::regex& pattern, int timeout_ms) {
  std::string text;
  char buf[512];
  for (int waited = 0; waited < timeout_ms && !std::regex_search(text, pattern); waited += 50) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    ssize_t n = read(fd, buf, sizeof(buf));
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  return text;
}

int wait_exit(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

}  // namespace

TEST(EngineHttpd, HelpAndBadOptions) {
  int status = -1;
  std::string out = run(std::string(OSTREL_HTTPD_PATH) + " --help", &status);
  EXPECT_EQ(0, status);
  EXPECT_NE(std::string::npos, out.find("usage: ostrel-httpd"));

  Child bad = spawn_httpd({"--bogus", "1"});
  ASSERT_GT(bad.pid, 0);
  std::string err = read_err_until(bad.err, std::regex("Invalid option: bogus"), 10000);
  EXPECT_NE(std::string::npos, err.find("Invalid option: bogus")) << err;
  EXPECT_EQ(2, wait_exit(bad.pid));
  close(bad.err);

  Child busy = spawn_httpd({"--listening_ports", "127.0.0.1:0,1s"});
  ASSERT_GT(busy.pid, 0);
  err = read_err_until(busy.err, std::regex("Cannot add SSL socket"), 10000);
  EXPECT_NE(std::string::npos, err.find("Cannot add SSL socket")) << err;
  EXPECT_EQ(2, wait_exit(busy.pid));
  close(busy.err);
}

TEST(EngineHttpd, ServesUntilTerminated) {
  TempDir dir;
  dir.file("ui/index.html", "<p>ui</p>");
  Child child = spawn_httpd({"--listening_ports", "127.0.0.1:0", "--document_root", dir.path() + "/ui",
                             "--enable_keep_alive", "yes"});
  ASSERT_GT(child.pid, 0);
  std::regex listening("listening on 127\\.0\\.0\\.1:(\\d+)");
  std::string err = read_err_until(child.err, listening, 10000);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(err, m, listening)) << err;
  std::string base = "http://127.0.0.1:" + m[1].str();
  int status = -1;
  EXPECT_EQ("<p>ui</p>", run("curl -sS --max-time 10 " + base + "/", &status));
  EXPECT_EQ(0, status);
  // The engine's error-log events reach standard error.
  run("curl -sS --max-time 10 " + base + "/missing");
  err = read_err_until(child.err, std::regex("Error 404: Not Found"), 10000);
  EXPECT_NE(std::string::npos, err.find("Error 404: Not Found")) << err;

  kill(child.pid, SIGTERM);
  EXPECT_EQ(0, wait_exit(child.pid));
  close(child.err);
}
