// CGI programs through real sockets and curl: interpreter and "#!" line,
// GET and POST, the environment, headers and status, failures, time-outs,
// and no child process or descriptor left behind.
#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>
#include <chrono>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "ostrel/engine/EngineTestUtil.h"
#include "ostrel/engine/spawn.h"

using namespace enginetest;

namespace {

class ScopedCgiTimeout {
 public:
  explicit ScopedCgiTimeout(int ms) { mg_set_cgi_timeout_ms(ms); }
  ~ScopedCgiTimeout() { mg_set_cgi_timeout_ms(60000); }
};

std::vector<std::string> lines(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  std::string line;
  while (std::getline(in, line)) out.push_back(line);
  return out;
}

std::string value_of(const std::vector<std::string>& env, const std::string& name) {
  for (const std::string& v : env) {
    if (v.compare(0, name.size() + 1, name + "=") == 0) return v.substr(name.size() + 1);
  }
  return "<unset>";
}

// Open descriptors other than sockets: a served connection's socket is
// closed only after its client has seen the end of the reply.
int count_open_files() {
  int n = 0;
  DIR* d = opendir("/proc/self/fd");
  if (d == nullptr) return -1;
  while (dirent* e = readdir(d)) {
    char link[256];
    std::string path = std::string("/proc/self/fd/") + e->d_name;
    ssize_t len = readlink(path.c_str(), link, sizeof(link) - 1);
    if (len >= 0 && std::string(link, static_cast<size_t>(len)).compare(0, 7, "socket:") != 0) n++;
  }
  closedir(d);
  return n;
}

// Waits until a child process of this process exists, up to TIMEOUT_MS.
bool wait_for_child(int timeout_ms) {
  for (int waited = 0; waited < timeout_ms; waited += 10) {
    if (has_child_processes()) return true;
    pollfd none{-1, 0, 0};
    poll(&none, 1, 10);
  }
  return false;
}

class EngineCgi : public ::testing::Test {
 protected:
  void SetUp() override {
    www_ = dir_.dir("www");
    script("env.cgi",
           "#!/bin/sh\n"
           "printf 'Content-Type: text/plain\\r\\nX-Cgi: yes\\r\\n\\r\\n'\n"
           "tr '\\000' '\\n' < /proc/$$/environ\n"
           "echo \"pwd=$(pwd)\"\n"
           "echo \"script=$0\"\n");
    script("echo.cgi",
           "#!/bin/sh\n"
           "printf 'Status: 201 Made It\\r\\nContent-Type: text/plain\\r\\n\\r\\n'\n"
           "printf 'got:'\n"
           "cat\n");
    script("status.cgi", "#!/bin/sh\nprintf 'Status: 404 Gone Away\\r\\n\\r\\nmissing'\n");
    script("moved.cgi", "#!/bin/sh\nprintf 'Location: /elsewhere\\n\\n'\n");
    script("big.cgi", "#!/bin/sh\nprintf 'X-Big: %0600d\\r\\n\\r\\nbody' 0\n");
    script("nohead.cgi", "#!/bin/sh\nprintf 'just text'\n");
    script("badstatus.cgi", "#!/bin/sh\nprintf 'Status: many\\r\\n\\r\\n'\n");
    script("hang.cgi", "#!/bin/sh\nsleep 30\n");
    script("fds.cgi",
           "#!/bin/sh\n"
           "printf 'Content-Type: text/plain\\r\\n\\r\\n'\n"
           "if [ -e /proc/$$/fd/$QUERY_STRING ]; then echo open; else echo closed; fi\n");
    script("sub/index.cgi", "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\n'\necho \"$SCRIPT_NAME\"\n");
    dir_.file("www/noexec.cgi", "printf 'Content-Type: text/plain\\r\\n\\r\\n'\necho \"via $0\"\n");
  }

  void script(const std::string& name, const std::string& text) {
    std::string path = dir_.file("www/" + name, text);
    chmod(path.c_str(), 0755);
  }

  std::string get(int port, const std::string& uri, const std::string& headers = "") {
    return http_exchange(port, "GET " + uri + " HTTP/1.1\r\n" + headers + "\r\n");
  }

  TempDir dir_;
  std::string www_;
};

}  // namespace

TEST_F(EngineCgi, EnvironmentInOrderAndWorkingDirectory) {
  std::string passwords = dir_.file("passwords", password_line("ann", "ostrel.local", "pw"));
  TestEngine engine({"document_root", www_, "cgi_environment", "EXTRA_ONE=1,EXTRA_TWO=a=b", "protect_uri",
                     "/env.cgi=" + passwords});
  ASSERT_TRUE(engine.started());
  std::string reply = get(engine.port(), "/env.cgi?x=1&y=2",
                          "X-Test-Header: hello\r\nProxy: http://evil.example\r\nAuthorization: " +
                              digest_authorization("ann", "ostrel.local", "pw", "GET", "/env.cgi?x=1&y=2") + "\r\n");
  ASSERT_EQ("HTTP/1.1 200 OK", status_line(reply)) << reply;
  EXPECT_EQ("yes", header_value(reply, "X-Cgi"));
  EXPECT_EQ("text/plain", header_value(reply, "Content-Type"));
  std::vector<std::string> env = lines(body_of(reply));

  char real_www[PATH_MAX];
  ASSERT_NE(nullptr, realpath(www_.c_str(), real_www));
  EXPECT_EQ("ostrel.local", value_of(env, "SERVER_NAME"));
  EXPECT_EQ(www_, value_of(env, "DOCUMENT_ROOT"));
  EXPECT_EQ("CGI/1.1", value_of(env, "GATEWAY_INTERFACE"));
  EXPECT_EQ(std::to_string(engine.port()), value_of(env, "SERVER_PORT"));
  EXPECT_EQ("GET", value_of(env, "REQUEST_METHOD"));
  EXPECT_EQ("127.0.0.1", value_of(env, "REMOTE_ADDR"));
  EXPECT_EQ("/env.cgi", value_of(env, "REQUEST_URI"));
  EXPECT_EQ("/env.cgi", value_of(env, "SCRIPT_NAME"));
  EXPECT_EQ(std::string(real_www) + "/env.cgi", value_of(env, "SCRIPT_FILENAME"));
  EXPECT_EQ("off", value_of(env, "HTTPS"));
  EXPECT_EQ("x=1&y=2", value_of(env, "QUERY_STRING"));
  EXPECT_EQ("<unset>", value_of(env, "CONTENT_LENGTH"));
  EXPECT_EQ("ann", value_of(env, "REMOTE_USER"));
  EXPECT_EQ("Digest", value_of(env, "AUTH_TYPE"));
  EXPECT_EQ("hello", value_of(env, "HTTP_X_TEST_HEADER"));
  EXPECT_EQ("<unset>", value_of(env, "HTTP_PROXY"));
  EXPECT_EQ("1", value_of(env, "EXTRA_ONE"));
  EXPECT_EQ("a=b", value_of(env, "EXTRA_TWO"));
  EXPECT_EQ(std::string("pwd=") + real_www, env[env.size() - 2]);
  EXPECT_EQ(std::string("script=") + real_www + "/env.cgi", env.back());

  // The variables come in their fixed order.
  const char* order[] = {"SERVER_NAME", "SERVER_ROOT", "DOCUMENT_ROOT", "GATEWAY_INTERFACE", "SERVER_PROTOCOL",
                         "REDIRECT_STATUS", "SERVER_PORT", "REQUEST_METHOD", "REMOTE_ADDR", "REMOTE_PORT",
                         "REQUEST_URI", "SCRIPT_NAME", "SCRIPT_FILENAME", "PATH_TRANSLATED", "HTTPS", "QUERY_STRING",
                         "PATH", "REMOTE_USER", "AUTH_TYPE", "HTTP_X_TEST_HEADER", "HTTP_AUTHORIZATION", "EXTRA_ONE",
                         "EXTRA_TWO"};
  size_t at = 0;
  for (const char* name : order) {
    auto it = std::find_if(env.begin() + static_cast<long>(at), env.end(),
                           [&](const std::string& v) { return v.compare(0, std::strlen(name) + 1, std::string(name) + "=") == 0; });
    ASSERT_NE(env.end(), it) << name << " missing or out of order";
    at = static_cast<size_t>(it - env.begin());
  }

  // An index program: SCRIPT_NAME names it behind its directory.
  EXPECT_EQ("/sub/index.cgi\n", body_of(get(engine.port(), "/sub/")));
}

TEST_F(EngineCgi, PostThroughTheInterpreterAndTheHashBangLine) {
  TestEngine by_line({"document_root", www_});
  ASSERT_TRUE(by_line.started());
  std::string body = std::string(3000, 'p') + "end";
  std::string reply = http_exchange(by_line.port(), "POST /echo.cgi HTTP/1.1\r\nContent-Length: " +
                                                        std::to_string(body.size()) + "\r\n\r\n" + body);
  EXPECT_EQ("HTTP/1.1 201 Made It", status_line(reply));
  EXPECT_EQ("got:" + body, body_of(reply));
  // The program is started with the body on its input, after 100-continue.
  int status = -1;
  std::string out = run("curl -sS --max-time 10 -H 'Expect: 100-continue' --data-binary 'a=1&b=2' http://127.0.0.1:" +
                            std::to_string(by_line.port()) + "/echo.cgi",
                        &status);
  EXPECT_EQ(0, status);
  EXPECT_EQ("got:a=1&b=2", out);
  EXPECT_EQ("HTTP/1.1 411 Length Required", status_line(http_exchange(by_line.port(), "POST /echo.cgi HTTP/1.1\r\n\r\n")));

  // A script without "#!" line and without execute permission, run by the configured interpreter.
  TestEngine by_option({"document_root", www_, "cgi_interpreter", "sh"});
  ASSERT_TRUE(by_option.started());
  char real_www[PATH_MAX];
  ASSERT_NE(nullptr, realpath(www_.c_str(), real_www));
  reply = get(by_option.port(), "/noexec.cgi");
  EXPECT_EQ("HTTP/1.1 200 OK", status_line(reply));
  EXPECT_EQ(std::string("via ") + real_www + "/noexec.cgi\n", body_of(reply));
  reply = http_exchange(by_option.port(), "POST /echo.cgi HTTP/1.1\r\nContent-Length: 2\r\n\r\nhi");
  EXPECT_EQ("got:hi", body_of(reply));
}

TEST_F(EngineCgi, StatusLocationAndMalformedHeaders) {
  TestEngine engine({"document_root", www_});
  ASSERT_TRUE(engine.started());
  std::string reply = get(engine.port(), "/status.cgi");
  EXPECT_EQ("HTTP/1.1 404 Gone Away", status_line(reply));
  EXPECT_EQ("missing", body_of(reply));
  reply = get(engine.port(), "/moved.cgi");
  EXPECT_EQ("HTTP/1.1 302 Found", status_line(reply));
  EXPECT_EQ("/elsewhere", header_value(reply, "Location"));

  for (const char* uri : {"/big.cgi", "/nohead.cgi", "/badstatus.cgi"}) {
    reply = get(engine.port(), uri);
    EXPECT_EQ("HTTP/1.1 500 Internal Server Error", status_line(reply)) << uri;
    EXPECT_NE(std::string::npos, body_of(reply).find("CGI program sent malformed HTTP headers: [")) << uri;
  }
  EXPECT_NE(std::string::npos, body_of(get(engine.port(), "/nohead.cgi")).find("[just text]"));

  // Only GET and POST run programs.
  reply = http_exchange(engine.port(), "HEAD /status.cgi HTTP/1.1\r\n\r\n");
  EXPECT_EQ("HTTP/1.1 501 Not Implemented", status_line(reply));
  // A program that cannot be started.
  reply = get(engine.port(), "/noexec.cgi");
  EXPECT_EQ("HTTP/1.1 500 Internal Server Error", status_line(reply));
  EXPECT_TRUE(engine.log().wait_for("spawn_process: CreateProcess(", 5000));
  // A path that would climb out of the root stays inside it.
  dir_.file("outside.cgi", "#!/bin/sh\nprintf 'Content-Type: text/plain\\r\\n\\r\\nescaped'\n");
  chmod((dir_.path() + "/outside.cgi").c_str(), 0755);
  for (const char* uri : {"/../outside.cgi", "/%2e%2e/outside.cgi", "/sub/..%2f..%2foutside.cgi"}) {
    reply = get(engine.port(), uri);
    EXPECT_EQ("HTTP/1.1 404 Not Found", status_line(reply)) << uri;
  }
}

TEST_F(EngineCgi, NoChildOrDescriptorIsLeftBehind) {
  TestEngine engine({"document_root", www_, "num_threads", "2"});
  ASSERT_TRUE(engine.started());
  get(engine.port(), "/env.cgi");  // the first request may set up what stays
  int fds_before = count_open_files();

  // A descriptor the process opened without close-on-exec stays out of the program.
  int leaky = open("/dev/null", O_RDONLY);
  ASSERT_GE(leaky, 0);
  EXPECT_EQ("closed\n", body_of(get(engine.port(), "/fds.cgi?" + std::to_string(leaky))));
  close(leaky);

  for (int i = 0; i < 5; i++) {
    get(engine.port(), "/env.cgi");
    http_exchange(engine.port(), "POST /echo.cgi HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc");
    get(engine.port(), "/status.cgi");
    get(engine.port(), "/big.cgi");
    get(engine.port(), "/noexec.cgi");
  }
  EXPECT_FALSE(has_child_processes());
  EXPECT_EQ(fds_before, count_open_files());
}

TEST_F(EngineCgi, SilentProgramIsKilledAfterTheTimeOut) {
  ScopedCgiTimeout timeout(300);
  TestEngine engine({"document_root", www_});
  ASSERT_TRUE(engine.started());
  auto start = std::chrono::steady_clock::now();
  std::string reply = get(engine.port(), "/hang.cgi");
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_EQ("HTTP/1.1 500 Internal Server Error", status_line(reply));
  EXPECT_LT(elapsed, std::chrono::seconds(10));
  EXPECT_TRUE(engine.log().wait_for("handle_cgi_request: ", 5000));
  EXPECT_FALSE(has_child_processes());
  // A body the program never reads is bounded the same way.
  std::string body(256 * 1024, 'b');
  reply = http_exchange(engine.port(), "POST /hang.cgi HTTP/1.1\r\nContent-Length: " + std::to_string(body.size()) +
                                           "\r\n\r\n" + body);
  EXPECT_EQ("HTTP/1.1 577 Internal Server Error", status_line(reply));
  EXPECT_FALSE(has_child_processes());
}

TEST_F(EngineCgi, HaltEndsARunningProgram) {
  TestEngine engine({"document_root", www_});
  ASSERT_TRUE(engine.started());
  int fd = connect_to(engine.port());
  ASSERT_GE(fd, 0);
  ASSERT_TRUE(send_all(fd, "GET /hang.cgi HTTP/1.1\r\n\r\n"));
  ASSERT_TRUE(wait_for_child(5000));
  auto start = std::chrono::steady_clock::now();
  engine.halt();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_FALSE(has_child_processes());
  close(fd);
}
