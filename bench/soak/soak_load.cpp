// A long mixed load on a running host, with the host's resources reported every
// 30 seconds, so that growth shows: static files, service calls (some of which
// make the business logic publish events), 20 event channels that read, 2 that
// never read (replaced in turn), and hostile requests.
//   soak_load PORT HOST_PID SECONDS
// Prints one line per report and exits 1 when a well-formed request failed.

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> running{true};
int port = 0;

struct Counter {
  std::atomic<long> ok{0};
  std::atomic<long> failed{0};
};
Counter files, services, hostile;
std::atomic<long> channelBytes{0}, channelsReopened{0}, stalledReplaced{0};

int connectToHost(int receiveBuffer = 0) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (receiveBuffer > 0) setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(uint16_t(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Sends the request and reads until the server closes; the reply, or "" on a
// failure or after 20 s.
std::string exchange(const std::string& request) {
  int fd = connectToHost();
  if (fd < 0) return "";
  send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  std::string reply;
  const auto deadline = Clock::now() + std::chrono::seconds(20);
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{fd, POLLIN, 0};
    if (left <= 0 || poll(&p, 1, int(left)) <= 0) break;
    char bytes[16384];
    const ssize_t n = recv(fd, bytes, sizeof bytes, 0);
    if (n <= 0) break;
    reply.append(bytes, size_t(n));
  }
  close(fd);
  return reply;
}

std::string get(const std::string& target) {
  return "GET " + target + " HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
         "\r\nReferer: http://127.0.0.1:" + std::to_string(port) + "/\r\nConnection: close\r\n\r\n";
}

// Runs `step` `perSecond` times a second until the end.
template <typename Step>
void paced(int perSecond, Step step) {
  auto next = Clock::now();
  for (long i = 0; running; ++i) {
    step(i);
    next += std::chrono::microseconds(1000000 / perSecond);
    std::this_thread::sleep_until(next);
  }
}

void count(Counter& counter, bool ok) { (ok ? counter.ok : counter.failed)++; }

void loadFiles() {
  paced(80, [](long i) {
    const char* file = i % 2 ? "/desktop/index.html" : "/desktop/UXManifest.xml";
    count(files, exchange(get(file)).compare(0, 15, "HTTP/1.1 200 OK") == 0);
  });
}

void loadServices() {
  paced(40, [](long i) {
    std::string target = "/1.0/Catalog/getBanners.svc";
    if (i % 40 == 0) target = "/1.0/Process/startPurchaseApplication.svc?applicationid=app-1002";
    if (i % 40 == 20) target = "/1.0/Environment/quickWebLink.svc?appGUID=app-1003";
    count(services, exchange(get(target)).compare(0, 15, "HTTP/1.1 200 OK") == 0);
  });
}

// Each must be refused or answered with one well-formed reply, and the host must live.
void loadHostile() {
  const std::string p = std::to_string(port);
  const std::vector<std::string> requests = {
      "GET /desktop/index.html HTTP/1.1\r\nReferer: http://evil.example/" + std::string(600, 'a') + "\r\n\r\n",
      "GET /1.0/Process/purchaseApplication.svc.ws?applicationid=app-1 HTTP/1.1\r\n\r\n",
      "GET / HTTP/1.1\r\nHost: localhost\r\nHost: evil.example\r\n\r\n",
      std::string("GET / HTTP/1.1\r\nHost: a\0b\r\n\r\n", 27),
      "GET /download_private/x HTTP/1.1\r\nReferer: http://127.0.0.1:" + p + "/\r\n\r\n",
      "GET /%2e%2e/%2e%2e/etc/passwd HTTP/1.1\r\nReferer: http://127.0.0.1:" + p + "/\r\n\r\n",
      "GET /1.0/Events/all.ws HTTP/1.1\r\nUpgrade: websocket\r\nOrigin: http://127.0.0.1:1\r\n"
      "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n",
      "POST /1.0/Catalog/getBanners.svc HTTP/1.1\r\nReferer: http://127.0.0.1:" + p + "/\r\nTransfer-Encoding: chunked\r\n\r\n",
      "GARBAGE\r\n\r\n",
      "GET /" + std::string(3000, 'A') + "+ HTTP/1.1\r\n\r\n",
  };
  paced(20, [&](long i) {
    const std::string reply = exchange(requests[size_t(i) % requests.size()]);
    count(hostile, reply.empty() || reply.compare(0, 9, "HTTP/1.1 ") == 0);
  });
}

int openChannel(int receiveBuffer = 0) {
  int fd = connectToHost(receiveBuffer);
  if (fd < 0) return -1;
  const std::string p = std::to_string(port);
  const std::string request = "GET /1.0/Events/all.ws HTTP/1.1\r\nHost: 127.0.0.1:" + p +
                              "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nOrigin: http://127.0.0.1:" + p +
                              "\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
  send(fd, request.data(), request.size(), MSG_NOSIGNAL);
  return fd;
}

void readChannels() {
  std::vector<int> channels(20, -1);
  while (running) {
    std::vector<pollfd> ready;
    for (int& fd : channels) {
      if (fd < 0) {
        fd = openChannel();
        channelsReopened++;
      }
      ready.push_back(pollfd{fd, POLLIN, 0});
    }
    if (poll(ready.data(), ready.size(), 200) <= 0) continue;
    for (size_t i = 0; i < ready.size(); ++i) {
      if (!ready[i].revents) continue;
      char bytes[65536];
      const ssize_t n = recv(channels[i], bytes, sizeof bytes, MSG_DONTWAIT);
      if (n > 0) channelBytes += n;
      if (n == 0 || (n < 0 && errno != EAGAIN)) {
        close(channels[i]);
        channels[i] = -1;
      }
    }
  }
  for (int fd : channels) close(fd);
}

// Two channels whose browser never reads, one replaced every 20 s.
void stallChannels() {
  int stalled[2] = {openChannel(4096), openChannel(4096)};
  for (long turn = 0; running; ++turn) {
    for (int i = 0; i < 200 && running; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    close(stalled[turn % 2]);
    stalled[turn % 2] = openChannel(4096);
    stalledReplaced++;
  }
  for (int fd : stalled) close(fd);
}

std::string statusField(int pid, const char* name) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.compare(0, std::strlen(name), name) == 0) return line.substr(line.find_first_not_of(" \t", std::strlen(name)));
  return "?";
}

int openDescriptors(int pid) {
  int count = 0;
  if (DIR* fds = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
    while (dirent* entry = readdir(fds)) count += entry->d_name[0] != '.';
    closedir(fds);
  }
  return count;
}

void report(int pid, long elapsed) {
  std::printf("%5lds  files %7ld ok %4ld failed | services %6ld ok %4ld failed | hostile %6ld answered %3ld not | "
              "channel bytes %10ld, reopened %3ld, stalled replaced %3ld | RSS %s, threads %s, fds %d\n",
              elapsed, files.ok.load(), files.failed.load(), services.ok.load(), services.failed.load(),
              hostile.ok.load(), hostile.failed.load(), channelBytes.load(), channelsReopened.load(),
              stalledReplaced.load(), statusField(pid, "VmRSS:").c_str(), statusField(pid, "Threads:").c_str(),
              openDescriptors(pid));
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: %s PORT HOST_PID SECONDS\n", argv[0]);
    return 2;
  }
  port = std::atoi(argv[1]);
  const int pid = std::atoi(argv[2]);
  const long seconds = std::atol(argv[3]);
  report(pid, 0);
  std::vector<std::thread> load;
  for (void (*work)() : {loadFiles, loadServices, loadHostile, readChannels, stallChannels}) load.emplace_back(work);
  const auto start = Clock::now();
  for (long elapsed = 30; elapsed <= seconds; elapsed += 30) {
    std::this_thread::sleep_until(start + std::chrono::seconds(elapsed));
    report(pid, elapsed);
    if (kill(pid, 0) != 0) {
      std::printf("soak: the host is gone\n");
      running = false;
      break;
    }
  }
  running = false;
  for (std::thread& thread : load) thread.join();
  // Once the load has ended, what the host holds should fall back.
  std::this_thread::sleep_for(std::chrono::seconds(20));
  report(pid, -1);
  return files.failed + services.failed + hostile.failed == 0 ? 0 : 1;
}
