// ostrel-httpd as a process: its arguments, its defaults, the roots it
// refuses, serving, the access line of each request, and signals.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <regex>

#include <gtest/gtest.h>

#include "ostrel/engine/EngineTestUtil.h"
#include "ostrel/engine/options.h"

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

// Reads the child's standard error until PATTERN (if any) matches or it ends.
std::string read_err(int fd, const std::regex* pattern, int timeout_ms) {
  std::string text;
  char buf[512];
  for (int waited = 0; waited < timeout_ms && (pattern == nullptr || !std::regex_search(text, *pattern));
       waited += 50) {
    pollfd p{fd, POLLIN, 0};
    if (poll(&p, 1, 50) <= 0) continue;
    ssize_t n = read(fd, buf, sizeof(buf));
    if (n <= 0) break;
    text.append(buf, static_cast<size_t>(n));
  }
  return text;
}

std::string read_err_until(int fd, const std::regex& pattern, int timeout_ms) {
  return read_err(fd, &pattern, timeout_ms);
}

// Until the child closes it, for at most TIMEOUT_MS.
std::string read_err_to_end(int fd, int timeout_ms) { return read_err(fd, nullptr, timeout_ms); }

int wait_exit(pid_t pid) {
  int status = 0;
  if (waitpid(pid, &status, 0) != pid) return -1;
  return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Runs ostrel-httpd to its end; returns its exit status, ERR its standard error.
int run_to_end(const std::vector<std::string>& args, std::string* err) {
  Child child = spawn_httpd(args);
  if (child.pid <= 0) return -1;
  *err = read_err_to_end(child.err, 10000);
  close(child.err);
  return wait_exit(child.pid);
}

// A running ostrel-httpd on a free loopback port, stopped with SIGTERM.
class Httpd {
 public:
  explicit Httpd(std::vector<std::string> args) {
    args.insert(args.begin(), {"--listening_ports", "127.0.0.1:0"});
    child_ = spawn_httpd(args);
    std::regex listening("listening on 127\\.0\\.0\\.1:(\\d+)");
    err_ = read_err_until(child_.err, listening, 10000);
    std::smatch m;
    if (std::regex_search(err_, m, listening)) port_ = std::stoi(m[1].str());
  }
  ~Httpd() {
    if (child_.pid > 0) {
      kill(child_.pid, SIGTERM);
      wait_exit(child_.pid);
    }
    if (child_.err >= 0) close(child_.err);
  }
  Httpd(const Httpd&) = delete;
  Httpd& operator=(const Httpd&) = delete;

  int port() const { return port_; }
  const std::string& err() const { return err_; }
  std::string url(const std::string& path) const { return "http://127.0.0.1:" + std::to_string(port_) + path; }
  // Standard error so far, read on until PATTERN shows.
  const std::string& err_until(const std::string& pattern) {
    err_ += read_err_until(child_.err, std::regex(pattern), 10000);
    return err_;
  }
  // Stops the server; its exit status.
  int terminate() {
    kill(child_.pid, SIGTERM);
    int status = wait_exit(child_.pid);
    child_.pid = -1;
    return status;
  }

 private:
  Child child_;
  std::string err_;
  int port_ = -1;
};

std::string curl(const std::string& args, int* status = nullptr) {
  return run("curl -sS --max-time 10 " + args, status);
}

}  // namespace

TEST(OstrelHttpd, HelpNamesEveryOptionAndVersionNamesTheRelease) {
  int status = -1;
  std::string help = run(std::string(OSTREL_HTTPD_PATH) + " --help", &status);
  EXPECT_EQ(0, status);
  EXPECT_EQ(0u, help.find("usage: ostrel-httpd")) << help;
  for (const OptionEntry& option : config_options) {
    EXPECT_NE(std::string::npos, help.find(std::string("--") + option.long_name)) << option.long_name;
  }
  EXPECT_NE(std::string::npos, help.find("--version"));
  EXPECT_NE(std::string::npos, help.find("[127.0.0.1:8080]"));
  EXPECT_EQ(help, run(std::string(OSTREL_HTTPD_PATH) + " --document_root /nonexistent -h", &status));
  EXPECT_EQ(0, status);

  std::string version = run(std::string(OSTREL_HTTPD_PATH) + " --version", &status);
  EXPECT_EQ(0, status);
  EXPECT_EQ(std::string("ostrel-httpd ") + OSTREL_VERSION + " (HTTP engine " + mg_engine_version() + ")\n", version);
  EXPECT_EQ(0u, version.find("ostrel-httpd 1.0 "));
}

TEST(OstrelHttpd, BadOptionsStopWithStatusTwo) {
  std::string err;
  EXPECT_EQ(2, run_to_end({"--bogus", "1"}, &err));
  EXPECT_NE(std::string::npos, err.find("Invalid option: bogus")) << err;
  EXPECT_EQ(2, run_to_end({"--listening_ports", "127.0.0.1:0,1s"}, &err));
  EXPECT_NE(std::string::npos, err.find("Cannot add SSL socket")) << err;
  EXPECT_EQ(2, run_to_end({"--num_threads"}, &err));
  EXPECT_EQ("ostrel-httpd: --num_threads: missing value\n", err);
  EXPECT_EQ(2, run_to_end({"document_root", "."}, &err));
  EXPECT_EQ(0u, err.find("ostrel-httpd: expected --NAME VALUE, got \"document_root\"\n")) << err;
}

// A root that is no folder would answer 404 to everything: ostrel-httpd
// says so in one line and stops, for the default root and for every alias.
TEST(OstrelHttpd, RefusesARootThatIsNoFolder) {
  TempDir dir;
  std::string ui = dir.dir("ui");
  std::string file = dir.file("file.txt", "x");
  const struct {
    std::string roots;
    std::string line;
  } cases[] = {
      {dir.path() + "/missing", "ostrel-httpd: --document_root: \"" + dir.path() + "/missing\" does not exist\n"},
      {file, "ostrel-httpd: --document_root: \"" + file + "\" is not a folder\n"},
      {ui + ",/dl=" + dir.path() + "/gone", "ostrel-httpd: --document_root: \"" + dir.path() + "/gone\" does not exist\n"},
      {ui + ",/dl=" + file, "ostrel-httpd: --document_root: \"" + file + "\" is not a folder\n"},
      {ui + "," + ui, "ostrel-httpd: --document_root: alias \"" + ui + "\" is not PREFIX=DIRECTORY\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.roots);
    std::string err;
    EXPECT_EQ(2, run_to_end({"--listening_ports", "127.0.0.1:0", "--document_root", c.roots}, &err));
    EXPECT_EQ(c.line, err);
  }
  // The one-letter name is the same option.
  std::string err;
  EXPECT_EQ(2, run_to_end({"--listening_ports", "127.0.0.1:0", "--r", dir.path() + "/missing"}, &err));
  EXPECT_NE(std::string::npos, err.find("/missing\" does not exist")) << err;
}

// Without --listening_ports the server is for this machine only. Whether or
// not port 8080 is free here, the line that follows names the address: the
// listening one, or the one it could not bind.
TEST(OstrelHttpd, ListensOnLoopbackPort8080ByDefault) {
  TempDir dir;
  dir.file("ui/index.html", "home");
  Child child = spawn_httpd({"--document_root", dir.path() + "/ui"});
  ASSERT_GT(child.pid, 0);
  std::regex outcome("(listening on|cannot bind to) [0-9.]+:\\d+");
  std::string err = read_err_until(child.err, outcome, 10000);
  std::smatch m;
  ASSERT_TRUE(std::regex_search(err, m, outcome)) << err;
  EXPECT_EQ(m[1].str() + " 127.0.0.1:8080", m[0].str()) << err;
  if (m[1].str() == "listening on") {
    EXPECT_EQ("home", curl("http://127.0.0.1:8080/"));
    kill(child.pid, SIGTERM);
    EXPECT_EQ(0, wait_exit(child.pid));
  } else {
    std::printf("port 8080 is taken here: the address was read from the bind failure\n");
    EXPECT_EQ(2, wait_exit(child.pid));
  }
  close(child.err);
}

TEST(OstrelHttpd, ListsFoldersOnlyWhenAsked) {
  TempDir dir;
  dir.file("ui/sub/a.txt", "a");
  for (const char* listing : {"", "no", "yes"}) {
    SCOPED_TRACE(listing);
    std::vector<std::string> args = {"--document_root", dir.path() + "/ui"};
    if (*listing != '\0') args.insert(args.end(), {"--enable_directory_listing", listing});
    Httpd httpd(args);
    ASSERT_GT(httpd.port(), 0) << httpd.err();
    std::string code = curl("-o /dev/null -w '%{http_code}' " + httpd.url("/sub/"));
    EXPECT_EQ(std::string(listing) == "yes" ? "200" : "403", code);
  }
}

TEST(OstrelHttpd, ServesUntilTerminated) {
  TempDir dir;
  dir.file("ui/index.html", "<p>ui</p>");
  Httpd httpd({"--document_root", dir.path() + "/ui", "--enable_keep_alive", "yes"});
  ASSERT_GT(httpd.port(), 0) << httpd.err();
  int status = -1;
  EXPECT_EQ("<p>ui</p>", curl(httpd.url("/"), &status));
  EXPECT_EQ(0, status);
  // The engine's error-log events reach standard error.
  curl(httpd.url("/missing"));
  const std::string& err = httpd.err_until("Error 404: Not Found");
  EXPECT_NE(std::string::npos, err.find("Error 404: Not Found")) << err;
  EXPECT_EQ(0, httpd.terminate());
}

// One line per request on standard error, so that a 404 names its path.
TEST(OstrelHttpd, WritesAnAccessLinePerRequest) {
  TempDir dir;
  dir.file("ui/app.js", "let a = 1;\n");
  Httpd httpd({"--document_root", dir.path() + "/ui", "--enable_keep_alive", "yes"});
  ASSERT_GT(httpd.port(), 0) << httpd.err();
  const std::string took = " \\d+\\.\\d ms\n";

  curl(httpd.url("/missing.js"));
  std::string err = httpd.err_until("GET /missing");
  EXPECT_TRUE(std::regex_search(err, std::regex("\nostrel-httpd: GET /missing\\.js 404 \\d+ bytes" + took))) << err;

  curl(httpd.url("/app.js"));
  err = httpd.err_until("GET /app");
  EXPECT_TRUE(std::regex_search(err, std::regex("\nostrel-httpd: GET /app\\.js 200 11 bytes" + took))) << err;

  curl("-I " + httpd.url("/app.js"));
  err = httpd.err_until("HEAD /app");
  EXPECT_TRUE(std::regex_search(err, std::regex("\nostrel-httpd: HEAD /app\\.js 200 0 bytes" + took))) << err;

  curl("-H 'If-None-Match: *' " + httpd.url("/app.js"));
  err = httpd.err_until(" 304 ");
  EXPECT_TRUE(std::regex_search(err, std::regex("\nostrel-httpd: GET /app\\.js 304 0 bytes" + took))) << err;

  // A decoded line break cannot forge a line; a long URI is cut.
  curl(httpd.url("/x%0d%0aostrel-httpd:%20GET%20/forged"));
  err = httpd.err_until("GET /x");
  EXPECT_NE(std::string::npos, err.find("GET /x??ostrel-httpd: GET /forged 404 ")) << err;
  std::string long_name(400, 'n');
  curl(httpd.url("/" + long_name));
  err = httpd.err_until("GET /nnn");
  EXPECT_NE(std::string::npos, err.find("GET /" + long_name.substr(0, 299) + " 404 ")) << err;
}
