#include "ostrel/engine/EngineTestUtil.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <strings.h>

#include "ostrel/engine/auth.h"
#include "ostrel/engine/io.h"
#include "support/Portable.h"

namespace enginetest {

namespace {

int64_t now_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Waits for FD to be readable until DEADLINE; false on time-out.
bool wait_readable(int fd, int64_t deadline) {
  for (;;) {
    int64_t left = deadline - now_ms();
    if (left <= 0) return false;
    pollfd p{fd, POLLIN, 0};
    int n = poll(&p, 1, static_cast<int>(left));
    if (n > 0) return true;
    if (n < 0 && errno != EINTR) return false;
  }
}

}  // namespace

void LogSink::add(const std::string& message) {
  std::lock_guard<std::mutex> lock(mutex_);
  messages_.push_back(message);
  changed_.notify_all();
}

bool LogSink::wait_for(const std::string& part, int timeout_ms) {
  std::unique_lock<std::mutex> lock(mutex_);
  return changed_.wait_for(lock, std::chrono::milliseconds(timeout_ms), [&] {
    for (const std::string& m : messages_) {
      if (m.find(part) != std::string::npos) return true;
    }
    return false;
  });
}

bool LogSink::contains(const std::string& part) { return wait_for(part, 0); }

std::vector<std::string> LogSink::messages() {
  std::lock_guard<std::mutex> lock(mutex_);
  return messages_;
}

namespace {

std::vector<const char*> option_pointers(const std::vector<std::string>& options, std::vector<std::string>* storage) {
  *storage = options;
  bool has_ports = false;
  for (size_t i = 0; i + 1 < storage->size(); i += 2) {
    if ((*storage)[i] == "listening_ports" || (*storage)[i] == "p") has_ports = true;
  }
  if (!has_ports) {
    storage->push_back("listening_ports");
    storage->push_back("127.0.0.1:0");
  }
  std::vector<const char*> ptrs;
  for (const std::string& s : *storage) ptrs.push_back(s.c_str());
  ptrs.push_back(nullptr);
  ptrs.push_back(nullptr);
  return ptrs;
}

void* log_to_sink(mg_event event, Connection*, RequestInfo* info) {
  if (event == EVT_LOG_MESSAGE && info->log_message != nullptr && info->user_data != nullptr) {
    static_cast<LogSink*>(info->user_data)->add(info->log_message);
  }
  return nullptr;
}

}  // namespace

EngineContext* launch(const std::vector<std::string>& options, LogSink* log) {
  std::vector<std::string> storage;
  std::vector<const char*> ptrs = option_pointers(options, &storage);
  return mg_launch(log_to_sink, log, ptrs.data());
}

TestEngine::TestEngine(std::vector<std::string> options, Handler handler) : handler_(std::move(handler)) {
  std::vector<std::string> storage;
  std::vector<const char*> ptrs = option_pointers(options, &storage);
  ctx_ = mg_launch(dispatch, this, ptrs.data());
}

TestEngine::~TestEngine() { halt(); }

void TestEngine::halt() {
  if (ctx_ != nullptr) mg_halt(ctx_);
  ctx_ = nullptr;
}

int TestEngine::port() const {
  if (ctx_ == nullptr || ctx_->listening_sockets == nullptr) return -1;
  return ntohs(ctx_->listening_sockets->local_addr.sin.sin_port);
}

void* TestEngine::dispatch(mg_event event, Connection* conn, RequestInfo* info) {
  TestEngine* self = static_cast<TestEngine*>(info->user_data);
  if (self == nullptr) return nullptr;
  if (event == EVT_LOG_MESSAGE && info->log_message != nullptr) self->log_.add(info->log_message);
  if (self->handler_) return self->handler_(event, conn, info);
  return nullptr;
}

int connect_to(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) return -1;
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(static_cast<uint16_t>(port));
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)) != 0) {
    closeSocket(fd);
    return -1;
  }
  return fd;
}

bool send_all(int fd, const std::string& data) {
  size_t sent = 0;
  while (sent < data.size()) {
    ssize_t n = send(fd, data.data() + sent, data.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && lastSocketError() == EINTR) continue;
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

std::string read_until_close(int fd, int timeout_ms) {
  std::string out;
  int64_t deadline = now_ms() + timeout_ms;
  char buf[65536];
  while (wait_readable(fd, deadline)) {
    ssize_t n = recv(fd, buf, sizeof(buf), 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    out.append(buf, static_cast<size_t>(n));
  }
  return out;
}

std::string read_reply(int fd, int timeout_ms, bool head_only) {
  std::string out;
  int64_t deadline = now_ms() + timeout_ms;
  char c;
  // The head byte by byte, so nothing of a following reply is taken.
  while (out.find("\r\n\r\n") == std::string::npos) {
    if (!wait_readable(fd, deadline)) return "";
    ssize_t n = recv(fd, &c, 1, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return out;
    out.push_back(c);
  }
  if (head_only) return out;
  std::string length = header_value(out, "Content-Length");
  if (length.empty()) return out + read_until_close(fd, static_cast<int>(deadline - now_ms()));
  size_t want = std::strtoull(length.c_str(), nullptr, 10);
  std::string body;
  std::vector<char> buf(65536);
  while (body.size() < want) {
    if (!wait_readable(fd, deadline)) break;
    size_t chunk = std::min(buf.size(), want - body.size());
    ssize_t n = recv(fd, buf.data(), chunk, 0);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    body.append(buf.data(), static_cast<size_t>(n));
  }
  return out + body;
}

bool peer_closes(int fd, int timeout_ms) {
  int64_t deadline = now_ms() + timeout_ms;
  char buf[256];
  while (wait_readable(fd, deadline)) {
    ssize_t n = recv(fd, buf, sizeof(buf), 0);
    if (n < 0 && errno == EINTR) continue;
    return n <= 0;
  }
  return false;
}

std::string http_exchange(int port, const std::string& request, int timeout_ms) {
  int fd = connect_to(port);
  if (fd < 0) return "";
  send_all(fd, request);
  std::string reply = read_until_close(fd, timeout_ms);
  closeSocket(fd);
  return reply;
}

std::string status_line(const std::string& reply) { return reply.substr(0, reply.find("\r\n")); }

bool has_header(const std::string& reply, const std::string& name) {
  size_t end = reply.find("\r\n\r\n");
  std::string head = reply.substr(0, end);
  size_t pos = head.find("\r\n");
  while (pos != std::string::npos) {
    size_t line_start = pos + 2;
    size_t line_end = head.find("\r\n", line_start);
    std::string line = head.substr(line_start, line_end == std::string::npos ? std::string::npos : line_end - line_start);
    if (line.size() > name.size() && line[name.size()] == ':' && strncasecmp(line.c_str(), name.c_str(), name.size()) == 0) {
      return true;
    }
    pos = line_end;
  }
  return false;
}

std::string header_value(const std::string& reply, const std::string& name) {
  size_t end = reply.find("\r\n\r\n");
  std::string head = reply.substr(0, end);
  size_t pos = head.find("\r\n");
  while (pos != std::string::npos) {
    size_t line_start = pos + 2;
    size_t line_end = head.find("\r\n", line_start);
    std::string line = head.substr(line_start, line_end == std::string::npos ? std::string::npos : line_end - line_start);
    if (line.size() > name.size() && line[name.size()] == ':' && strncasecmp(line.c_str(), name.c_str(), name.size()) == 0) {
      size_t v = name.size() + 1;
      while (v < line.size() && line[v] == ' ') v++;
      return line.substr(v);
    }
    pos = line_end;
  }
  return "";
}

std::string body_of(const std::string& reply) {
  size_t end = reply.find("\r\n\r\n");
  return end == std::string::npos ? "" : reply.substr(end + 4);
}

TempDir::TempDir() { path_ = makeTemporaryFolder(temporaryFolder() + "/ostrel-engine-"); }

TempDir::~TempDir() {
  if (path_.empty()) return;
  std::error_code ec;
  std::filesystem::remove_all(std::filesystem::u8path(path_), ec);
}

std::string TempDir::file(const std::string& rel, const std::string& content) const {
  std::string full = path_ + "/" + rel;
  std::filesystem::create_directories(std::filesystem::u8path(full).parent_path());
  std::ofstream out(std::filesystem::u8path(full), std::ios::binary);
  out << content;
  return full;
}

std::string TempDir::dir(const std::string& rel) const {
  std::string full = path_ + "/" + rel;
  std::filesystem::create_directories(std::filesystem::u8path(full));
  return full;
}

std::string run(const std::string& command, int* status) { return runShell(command, status); }

ScopedReadTimeout::ScopedReadTimeout(int ms) { mg_set_read_timeout_ms(ms); }
ScopedReadTimeout::~ScopedReadTimeout() { mg_set_read_timeout_ms(15000); }

int count_open_fds() { return countOpenHandles(); }
int count_threads() { return countThreads(); }

bool make_test_certificate(const std::string& pem) {
  int status = -1;
  run("openssl req -x509 -newkey rsa:2048 -nodes -days 2 -subj /CN=127.0.0.1 -keyout " + pem + ".key -out " + pem +
          ".crt 2>/dev/null && cat " + pem + ".crt " + pem + ".key > " + pem,
      &status);
  return status == 0;
}

bool has_child_processes() { return hasChildProcesses(); }

std::string digest_authorization(const std::string& user, const std::string& realm, const std::string& password,
                                 const std::string& method, const std::string& uri, size_t response_len) {
  char ha1[33];
  char ha2[33];
  char response[33];
  mg_md5(ha1, user.c_str(), ":", realm.c_str(), ":", password.c_str(), nullptr);
  mg_md5(ha2, method.c_str(), ":", uri.c_str(), nullptr);
  mg_md5(response, ha1, ":", "1234", ":", "00000001", ":", "c0ffee", ":", "auth", ":", ha2, nullptr);
  return "Digest username=\"" + user + "\", realm=\"" + realm + "\", nonce=\"1234\", uri=\"" + uri +
         "\", qop=auth, nc=00000001, cnonce=\"c0ffee\", response=\"" + std::string(response, response_len) + "\"";
}

std::string password_line(const std::string& user, const std::string& realm, const std::string& password) {
  char ha1[33];
  mg_md5(ha1, user.c_str(), ":", realm.c_str(), ":", password.c_str(), nullptr);
  return user + ":" + realm + ":" + ha1 + "\n";
}

}  // namespace enginetest
