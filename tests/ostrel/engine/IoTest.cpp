// Socket input and output: reads that find their bytes or wait for them, stops
// that end a wait, files sent whole to slow readers, and the options every
// served socket carries.
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <future>
#include <string>

#include <gtest/gtest.h>

#include "ostrel/engine/EngineTestUtil.h"
#include "ostrel/engine/io.h"

using namespace enginetest;

namespace {

// Two ends of one loopback TCP connection and a connection record for the
// server end, as a worker holds it.
class EngineIo : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(0, create_wakeup_pipe(&ctx_));
    int listener = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof(sa);
    ASSERT_EQ(0, bind(listener, reinterpret_cast<sockaddr*>(&sa), sizeof(sa)));
    ASSERT_EQ(0, listen(listener, 1));
    ASSERT_EQ(0, getsockname(listener, reinterpret_cast<sockaddr*>(&sa), &len));
    client_ = connect_to(ntohs(sa.sin_port));
    conn_.client.sock = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    close(listener);
    ASSERT_GE(client_, 0);
    ASSERT_GE(conn_.client.sock, 0);
    conn_.ctx = &ctx_;
  }

  void TearDown() override {
    if (client_ >= 0) close(client_);
    if (conn_.client.sock >= 0) close(conn_.client.sock);
    close(ctx_.wakeup_pipe[0]);
    close(ctx_.wakeup_pipe[1]);
  }

  int pull_within(char* buf, int len, int ms, bool stop_aware = true) {
    return pull(&conn_, buf, len, monotonic_ms() + ms, stop_aware);
  }

  // Reads LEN bytes from the client end in small pieces, as a slow reader.
  std::string read_slowly(size_t len) {
    std::string out;
    char buf[1024];
    while (out.size() < len) {
      ssize_t n = recv(client_, buf, std::min(sizeof(buf), len - out.size()), 0);
      if (n <= 0) break;
      out.append(buf, static_cast<size_t>(n));
    }
    return out;
  }

  EngineContext ctx_{};
  Connection conn_{};
  int client_ = -1;
};

std::string pattern_bytes(size_t n) {
  std::string s(n, '\0');
  for (size_t i = 0; i < n; i++) s[i] = static_cast<char>((i * 7 + i / 251) & 0xff);
  return s;
}

bool still_running(std::future<int>& f, int ms) {
  return f.wait_for(std::chrono::milliseconds(ms)) == std::future_status::timeout;
}

}  // namespace

TEST_F(EngineIo, ReadTakesWhatHasArrivedWaitsForMoreAndTimesOut) {
  char buf[64];
  ASSERT_TRUE(send_all(client_, "abc"));
  EXPECT_EQ(3, pull_within(buf, sizeof(buf), 5000));

  // Nothing there: the read waits, and takes the bytes once they come.
  std::future<int> reader = std::async(std::launch::async, [&] { return pull_within(buf, sizeof(buf), 5000); });
  EXPECT_TRUE(still_running(reader, 50));
  ASSERT_TRUE(send_all(client_, "defg"));
  EXPECT_EQ(4, reader.get());
  EXPECT_EQ("defg", std::string(buf, 4));

  // A silent peer: the deadline ends the wait.
  int64_t start = monotonic_ms();
  EXPECT_EQ(-1, pull_within(buf, sizeof(buf), 100));
  EXPECT_GE(monotonic_ms() - start, 90);

  // A closed peer reads as 0.
  shutdown(client_, SHUT_WR);
  EXPECT_EQ(0, pull_within(buf, sizeof(buf), 5000));
}

TEST_F(EngineIo, StopEndsAWaitingReadAndWinsOverArrivingBytes) {
  char buf[64];
  std::future<int> reader = std::async(std::launch::async, [&] { return pull_within(buf, sizeof(buf), 30000); });
  EXPECT_TRUE(still_running(reader, 50));
  int64_t start = monotonic_ms();
  ctx_.stop_flag.store(1);
  trigger_wakeup(&ctx_);
  ASSERT_FALSE(still_running(reader, 5000));
  EXPECT_EQ(-1, reader.get());
  EXPECT_LT(monotonic_ms() - start, 5000);

  // A client that keeps sending cannot hold a stopping worker...
  ASSERT_TRUE(send_all(client_, "more"));
  EXPECT_EQ(-1, pull_within(buf, sizeof(buf), 5000));
  // ...while reads that are not the engine's own still get their bytes.
  EXPECT_EQ(4, pull_within(buf, sizeof(buf), 5000, false));
}

TEST_F(EngineIo, FilesReachASlowReaderWholeOnBlockingAndNonBlockingSockets) {
  TempDir dir;
  // Larger than any socket buffer, so the writes must wait for the reader.
  const std::string content = pattern_bytes(8 * 1024 * 1024 + 13);
  int fd = open(dir.file("big.bin", content).c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  int sndbuf = 65536;
  setsockopt(conn_.client.sock, SOL_SOCKET, SO_SNDBUF, &sndbuf, sizeof(sndbuf));

  for (bool nonblocking : {false, true}) {
    SCOPED_TRACE(nonblocking ? "non-blocking" : "blocking");
    if (nonblocking) mg_set_nonblocking(&conn_);
    const int64_t offset = 5;
    std::future<std::string> reader =
        std::async(std::launch::async, [&] { return read_slowly(content.size() - offset); });
    EXPECT_EQ(static_cast<int64_t>(content.size()) - offset,
              push_file(&conn_, fd, offset, static_cast<int64_t>(content.size()) - offset));
    std::string got = reader.get();
    EXPECT_EQ(content.size() - offset, got.size());
    EXPECT_TRUE(got == content.substr(offset));
  }
  close(fd);
}

TEST_F(EngineIo, FileReadsStopAtTheEndAndKeepTheirOffset) {
  TempDir dir;
  int fd = open(dir.file("f.txt", "0123456789").c_str(), O_RDONLY | O_CLOEXEC);
  ASSERT_GE(fd, 0);
  char buf[32];
  EXPECT_EQ(4, read_file_at(fd, buf, 4, 3));
  EXPECT_EQ("3456", std::string(buf, 4));
  EXPECT_EQ(2, read_file_at(fd, buf, 20, 8));
  EXPECT_EQ(0, read_file_at(fd, buf, 20, 10));
  close(fd);
}

// The served socket's options, read by the callback: whether the listener
// passed them on or the worker set them, each socket has them.
TEST(EngineServedSocket, CarriesNoDelayAndTheCurrentTimeOuts) {
  struct Seen {
    int nodelay = -1;
    long read_ms = -1;
    long write_ms = -1;
  };
  std::promise<Seen> seen_first;
  std::promise<Seen> seen_second;
  std::atomic<int> requests{0};
  TestEngine engine({}, [&](mg_event event, Connection* conn, RequestInfo*) -> void* {
    if (event != EVT_NEW_REQUEST) return nullptr;
    Seen s;
    socklen_t len = sizeof(s.nodelay);
    getsockopt(conn->client.sock, IPPROTO_TCP, TCP_NODELAY, &s.nodelay, &len);
    timeval tv{};
    len = sizeof(tv);
    getsockopt(conn->client.sock, SOL_SOCKET, SO_RCVTIMEO, &tv, &len);
    s.read_ms = tv.tv_sec * 1000 + tv.tv_usec / 1000;
    len = sizeof(tv);
    getsockopt(conn->client.sock, SOL_SOCKET, SO_SNDTIMEO, &tv, &len);
    s.write_ms = tv.tv_sec * 1000 + tv.tv_usec / 1000;
    (requests++ == 0 ? seen_first : seen_second).set_value(s);
    mg_send_formatted(conn, "HTTP/1.1 204 No Content\r\n\r\n");
    return const_cast<char*>("");
  });
  ASSERT_TRUE(engine.started());

  http_exchange(engine.port(), "GET / HTTP/1.0\r\n\r\n");
  Seen first = seen_first.get_future().get();
  EXPECT_NE(0, first.nodelay);
  EXPECT_EQ(read_timeout_ms(), first.read_ms);
  EXPECT_EQ(WRITE_TIMEOUT_MS, first.write_ms);

  // A time-out changed after the start holds for the sockets served from then on.
  ScopedReadTimeout shorter(1500);
  http_exchange(engine.port(), "GET / HTTP/1.0\r\n\r\n");
  Seen second = seen_second.get_future().get();
  EXPECT_NE(0, second.nodelay);
  EXPECT_EQ(1500, second.read_ms);
  EXPECT_EQ(WRITE_TIMEOUT_MS, second.write_ms);
}
