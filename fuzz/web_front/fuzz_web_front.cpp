// The whole web front as a browser or a local process reaches it: the engine
// with the plug-in's options and request callback, a service double and the
// real event-channel side behind it. Each input is written as raw request
// bytes over a loopback connection; every reply on that connection must start
// with one status line and a head that ends in CRLF CRLF, and carry as many
// bytes as its "Content-Length" says.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <openssl/crypto.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <strings.h>

#include "ostrel/engine/engine.h"
#include "ostrel/web/MessageRouter.h"
#include "ostrel/web/WebServer.h"
#include "ostrel/channels/WebSocketManager.h"

namespace {

void check(bool ok, const char* what) {
  if (ok) return;
  std::fprintf(stderr, "web front fuzz: %s\n", what);
  std::abort();
}

// Answers every service call by its query: "type=N" picks the reply type,
// "size=N" the body length, "throw" a standard exception.
class ServiceDouble : public MessageReceiver {
 public:
  void process(MessagePtr& result, const std::string& query, const std::string& uri, const SocketPtr&) override {
    if (query.find("throw") != std::string::npos) throw std::runtime_error("service failed: " + query);
    int type = Message::JsonReply;
    size_t at = query.find("type=");
    if (at != std::string::npos) type = std::atoi(query.c_str() + at + 5);
    std::string body = "{\"uri\":\"" + uri + "\",\"query\":\"" + query + "\"}";
    at = query.find("size=");
    if (at != std::string::npos) body.assign(size_t(std::strtoul(query.c_str() + at + 5, nullptr, 10) % 100000), 'b');
    result = std::make_shared<Message>(body, type);
  }
};

// Channels that take part in nothing beyond their own socket.
class QuietListeners : public WebSocketListenerFactory {
 public:
  WebSocketListenerPtr create(const std::string& name, const std::string&) override {
    return std::make_shared<WebSocketListener>(name, nullptr);
  }
};

struct Front {
  Front() {
    // The crypto library's first use loads its configuration; on a worker
    // thread that leaves that thread's error state behind when it ends.
    OPENSSL_init_crypto(OPENSSL_INIT_LOAD_CONFIG, nullptr);
    root = std::filesystem::temp_directory_path() / ("web-front-fuzz-" + std::to_string(getpid()));
    std::filesystem::create_directories(root / "ui/desktop");
    std::filesystem::create_directories(root / "dl");
    std::filesystem::create_directories(root / "dl_private");
    std::ofstream(root / "ui/index.html") << "<p>index</p>";
    std::ofstream(root / "ui/desktop/app.js") << std::string(3000, 'j');
    std::ofstream(root / "dl/file.bin") << "bin";
    std::ofstream(root / "dl_private/secret") << "secret";
    std::error_code ignored;
    std::filesystem::create_symlink("/etc", root / "ui/etc", ignored);

    channels.addRoute("1.0/Events/all", std::make_shared<QuietListeners>());
    const std::string roots = (root / "ui").string() + ",/download=" + (root / "dl").string();
    check(server.start("127.0.0.1:0", 50, "-0.0.0.0/0,+127.0.0.1,+127.0.1.1", 0, 1, roots, true, true),
          "the engine did not start");
    port = ntohs(server.context()->listening_sockets->local_addr.sin.sin_port);
  }
  ~Front() {
    server.stop();
    std::error_code ignored;
    std::filesystem::remove_all(root, ignored);
  }

  std::filesystem::path root;
  ServiceDouble services;
  WebSocketManager channels;
  WebServer server{Receivers{&services, &channels, nullptr}};
  int port = 0;
};

// Everything the server sends until it closes the connection.
std::string exchange(int port, const uint8_t* data, size_t size) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(uint16_t(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  check(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0, "cannot connect");
  std::string reply;
  size_t sent = 0;
  bool closed = false;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (!closed) {
    pollfd p{fd, short(POLLIN | (sent < size ? POLLOUT : 0)), 0};
    check(std::chrono::steady_clock::now() < deadline, "the server never ended the connection");
    if (poll(&p, 1, 100) <= 0) continue;
    if ((p.revents & POLLOUT) && sent < size) {
      ssize_t n = send(fd, data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) sent += size_t(n);
      if (n < 0 && errno != EAGAIN) sent = size;
      if (sent == size) shutdown(fd, SHUT_WR);
    }
    if (p.revents & (POLLIN | POLLHUP | POLLERR)) {
      char buffer[16384];
      ssize_t n = recv(fd, buffer, sizeof buffer, MSG_DONTWAIT);
      if (n > 0) reply.append(buffer, size_t(n));
      if (n == 0 || (n < 0 && errno != EAGAIN)) closed = true;
    }
    if (size == 0 && sent == 0) {
      shutdown(fd, SHUT_WR);
      sent = 1;
    }
  }
  close(fd);
  return reply;
}

// The value of NAME in the head [begin, end), or -1 when absent.
long long content_length(const std::string& bytes, size_t begin, size_t end) {
  for (size_t line = bytes.find("\r\n", begin) + 2; line < end; line = bytes.find("\r\n", line) + 2) {
    static const char name[] = "Content-Length:";
    if (strncasecmp(bytes.c_str() + line, name, sizeof name - 1) == 0) {
      char* stop = nullptr;
      long long n = std::strtoll(bytes.c_str() + line + sizeof name - 1, &stop, 10);
      check(stop != nullptr && *stop == '\r', "a Content-Length that is no number");
      return n;
    }
  }
  return -1;
}

void check_replies(const std::string& bytes, bool head_requested) {
  size_t at = 0;
  while (at < bytes.size()) {
    check(bytes.compare(at, 9, "HTTP/1.1 ") == 0, "a reply that does not start with a status line");
    for (size_t i = at + 9; i < at + 12; ++i) check(i < bytes.size() && std::isdigit(uint8_t(bytes[i])), "no status code");
    const size_t head_end = bytes.find("\r\n\r\n", at);
    check(head_end != std::string::npos, "a reply head without its end");
    for (size_t i = at; i < head_end; ++i) {
      if (bytes[i] == '\r') check(bytes[i + 1] == '\n', "a bare CR in a reply head");
      if (bytes[i] == '\n') check(bytes[i - 1] == '\r', "a bare LF in a reply head");
    }
    const int status = std::atoi(bytes.c_str() + at + 9);
    const size_t body = head_end + 4;
    if (status == 101) return;  // channel bytes follow
    if (status == 100) {
      at = body;
      continue;
    }
    const long long length = content_length(bytes, at, head_end);
    if (length < 0) return;  // delimited by the end of the connection
    if (head_requested && (body == bytes.size() || bytes.compare(body, 9, "HTTP/1.1 ") == 0)) {
      at = body;
      continue;
    }
    check(bytes.size() - body >= size_t(length), "fewer body bytes than Content-Length");
    at = body + size_t(length);
  }
}

}  // namespace

// "{port}" in an input stands for the server's port, which a page of the
// store names in its Referer and Origin.
std::string with_port(const uint8_t* data, size_t size, int port) {
  std::string text(reinterpret_cast<const char*>(data), size);
  const std::string token = "{port}";
  for (size_t at = text.find(token); at != std::string::npos; at = text.find(token, at))
    text.replace(at, token.size(), std::to_string(port));
  return text;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Front front;
  if (size > 65536) return 0;
  const std::string request = with_port(data, size, front.port);
  const std::string reply = exchange(front.port, reinterpret_cast<const uint8_t*>(request.data()), request.size());
  check_replies(reply, request.find("HEAD") != std::string::npos);
  return 0;
}
