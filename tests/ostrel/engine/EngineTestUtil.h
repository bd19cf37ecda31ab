// Helpers for the engine tests: an engine on a free loopback port, raw
// clients, temporary folders and process counters.
#pragma once

#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "ostrel/engine/engine.h"

namespace enginetest {

// Collects the engine's log messages and lets a test wait for one.
class LogSink {
 public:
  void add(const std::string& message);
  bool wait_for(const std::string& part, int timeout_ms);
  bool contains(const std::string& part);
  std::vector<std::string> messages();

 private:
  std::mutex mutex_;  // guards messages_
  std::condition_variable changed_;
  std::vector<std::string> messages_;
};

// The callback a test installs; its result follows the engine's contract.
using Handler = std::function<void*(mg_event, Connection*, RequestInfo*)>;

class TestEngine {
 public:
  // Starts on 127.0.0.1:0 unless OPTIONS name "listening_ports".
  explicit TestEngine(std::vector<std::string> options, Handler handler = nullptr);
  ~TestEngine();
  TestEngine(const TestEngine&) = delete;
  TestEngine& operator=(const TestEngine&) = delete;

  bool started() const { return ctx_ != nullptr; }
  int port() const;  // of the first listener in the list
  EngineContext* context() { return ctx_; }
  LogSink& log() { return log_; }
  void halt();

 private:
  static void* dispatch(mg_event event, Connection* conn, RequestInfo* info);

  Handler handler_;
  LogSink log_;
  EngineContext* ctx_ = nullptr;
};

// Starts an engine and returns null on failure; LOG gets its messages.
EngineContext* launch(const std::vector<std::string>& options, LogSink* log);

int connect_to(int port);
bool send_all(int fd, const std::string& data);
// Reads until the peer closes or TIMEOUT_MS passes.
std::string read_until_close(int fd, int timeout_ms = 5000);
// Reads one reply: the head, then Content-Length bytes (or until close
// when there is none; nothing with HEAD_ONLY). Empty on time-out.
std::string read_reply(int fd, int timeout_ms = 5000, bool head_only = false);
// True when the peer closes (EOF or reset) within TIMEOUT_MS without data.
bool peer_closes(int fd, int timeout_ms);
// Sends REQUEST on a new connection and reads until close.
std::string http_exchange(int port, const std::string& request, int timeout_ms = 5000);

std::string status_line(const std::string& reply);
std::string header_value(const std::string& reply, const std::string& name);  // empty when absent
bool has_header(const std::string& reply, const std::string& name);
std::string body_of(const std::string& reply);

class TempDir {
 public:
  TempDir();
  ~TempDir();
  const std::string& path() const { return path_; }
  std::string file(const std::string& rel, const std::string& content) const;
  std::string dir(const std::string& rel) const;

 private:
  std::string path_;
};

// Runs a shell command; returns its standard output, and the exit status.
std::string run(const std::string& command, int* status = nullptr);

// Shortens the engine's read time-out for one test.
class ScopedReadTimeout {
 public:
  explicit ScopedReadTimeout(int ms);
  ~ScopedReadTimeout();
};

int count_open_fds();
int count_threads();
// A self-signed certificate for 127.0.0.1 with its key, both in one PEM file.
bool make_test_certificate(const std::string& pem);
// True while this process has a child, running or not yet reaped.
bool has_child_processes();

// An "Authorization" header value for the digest check, with a fixed client
// nonce; RESPONSE_LEN cuts the response (32 is whole).
std::string digest_authorization(const std::string& user, const std::string& realm, const std::string& password,
                                 const std::string& method, const std::string& uri, size_t response_len = 32);
// One line of a password file.
std::string password_line(const std::string& user, const std::string& realm, const std::string& password);

}  // namespace enginetest
