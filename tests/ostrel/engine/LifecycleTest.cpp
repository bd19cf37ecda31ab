// Worker pool, queue, read time-outs and a clean halt.

#include <chrono>
#include <future>
#include <thread>

#include <gtest/gtest.h>

#include "ostrel/engine/EngineTestUtil.h"
#include "support/Portable.h"

using namespace enginetest;

namespace {

int queued(EngineContext* ctx) {
  pthread_mutex_lock(&ctx->mutex);
  int n = ctx->sq_head - ctx->sq_tail;
  pthread_mutex_unlock(&ctx->mutex);
  return n;
}

// Polls CONDITION every few milliseconds for at most TIMEOUT_MS.
template <typename F>
bool eventually(F condition, int timeout_ms = 10000) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
  while (std::chrono::steady_clock::now() < deadline) {
    if (condition()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return condition();
}

void close_all(std::vector<int>& fds) {
  for (int fd : fds) closeSocket(fd);
  fds.clear();
}

}  // namespace

TEST(EngineLifecycle, HaltWithConnectionsQueuedLeavesNothingBehind) {
  int fds_before = count_open_fds();
  int threads_before = count_threads();
  std::promise<void> entered;
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  bool first = true;
  std::vector<int> clients;
  {
    TestEngine engine({"num_threads", "1"}, [&](mg_event event, Connection* conn, RequestInfo*) -> void* {
      if (event != EVT_NEW_REQUEST) return nullptr;
      if (first) {
        first = false;
        entered.set_value();
        released.wait();
      }
      mg_send_formatted(conn, "HTTP/1.1 200 OK\r\nContent-Length: 2\r\n\r\nok");
      return const_cast<char*>("OK");
    });
    ASSERT_TRUE(engine.started());
    EXPECT_EQ(threads_before + 2, count_threads());  // accept thread and one worker
    for (int i = 0; i < 6; i++) {
      clients.push_back(connect_to(engine.port()));
      ASSERT_TRUE(send_all(clients.back(), "GET / HTTP/1.1\r\n\r\n"));
    }
    ASSERT_EQ(std::future_status::ready, entered.get_future().wait_for(std::chrono::seconds(10)));
    ASSERT_TRUE(eventually([&] { return queued(engine.context()) == 5; }));

    EngineContext* ctx = engine.context();
    std::thread halting([&] { engine.halt(); });
    // The busy worker finishes its request once the stop is requested; the
    // queued ones are never served.
    EXPECT_TRUE(eventually([&] { return ctx->stop_flag.load() != 0; }));
    release.set_value();
    halting.join();
    EXPECT_EQ("ok", body_of(read_until_close(clients[0])));
    for (size_t i = 1; i < clients.size(); i++) EXPECT_EQ("", read_until_close(clients[i])) << i;
    close_all(clients);
  }
  EXPECT_EQ(fds_before, count_open_fds());
  EXPECT_EQ(threads_before, count_threads());
}

TEST(EngineLifecycle, NoWorkersQueueFillsAndHaltStillEnds) {
  int fds_before = count_open_fds();
  int threads_before = count_threads();
  std::vector<int> clients;
  {
    TestEngine engine({"num_threads", "0"});
    ASSERT_TRUE(engine.started());
    for (int i = 0; i < 25; i++) clients.push_back(connect_to(engine.port()));
    // Twenty wait in the queue, the accept thread blocks on the next one.
    ASSERT_TRUE(eventually([&] { return queued(engine.context()) == 20; }));
    engine.halt();
    for (int fd : clients) EXPECT_TRUE(peer_closes(fd, 5000));
    close_all(clients);
  }
  EXPECT_EQ(fds_before, count_open_fds());
  EXPECT_EQ(threads_before, count_threads());
}

TEST(EngineLifecycle, StalledHeadsDoNotStopAWellFormedRequest) {
  ScopedReadTimeout timeout(300);
  TempDir dir;
  dir.file("f.txt", "served");
  TestEngine engine({"document_root", dir.path()});
  ASSERT_TRUE(engine.started());
  std::vector<int> stalled;
  for (int i = 0; i < 60; i++) {
    stalled.push_back(connect_to(engine.port()));
    ASSERT_TRUE(send_all(stalled.back(), "GET /f.txt HTTP/1.1\r\nHost: x\r\n"));
  }
  std::string reply = http_exchange(engine.port(), "GET /f.txt HTTP/1.0\r\n\r\n", 30000);
  EXPECT_EQ("served", body_of(reply));
  // The stalled ones were closed without a reply.
  for (int i = 0; i < 60; i += 7) EXPECT_EQ("", read_until_close(stalled[static_cast<size_t>(i)], 10000));
  close_all(stalled);
}

TEST(EngineLifecycle, HeadTimeoutCountsFromTheStartNotFromTheLastByte) {
  ScopedReadTimeout timeout(300);
  TestEngine engine({});
  ASSERT_TRUE(engine.started());
  int fd = connect_to(engine.port());
  auto start = std::chrono::steady_clock::now();
  bool closed = false;
  // A byte every 50 ms never completes the head.
  for (int i = 0; i < 200 && !closed; i++) {
    if (!send_all(fd, "X")) break;
    closed = peer_closes(fd, 50);
  }
  if (!closed) closed = peer_closes(fd, 5000);
  EXPECT_TRUE(closed);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
  closeSocket(fd);
}

TEST(EngineLifecycle, IdleKeptConnectionIsClosedAfterTheTimeout) {
  ScopedReadTimeout timeout(300);
  TempDir dir;
  dir.file("f.txt", "kept");
  TestEngine engine({"document_root", dir.path(), "enable_keep_alive", "yes"});
  ASSERT_TRUE(engine.started());
  int fd = connect_to(engine.port());
  ASSERT_TRUE(send_all(fd, "GET /f.txt HTTP/1.1\r\n\r\n"));
  EXPECT_EQ("kept", body_of(read_reply(fd)));
  EXPECT_TRUE(peer_closes(fd, 10000));
  closeSocket(fd);
}

TEST(EngineLifecycle, HaltDoesNotWaitForIdleKeptConnections) {
  TempDir dir;
  dir.file("f.txt", "kept");
  TestEngine engine({"document_root", dir.path(), "enable_keep_alive", "yes"});
  ASSERT_TRUE(engine.started());
  int fd = connect_to(engine.port());
  ASSERT_TRUE(send_all(fd, "GET /f.txt HTTP/1.1\r\n\r\n"));
  EXPECT_EQ("kept", body_of(read_reply(fd)));
  // The worker now waits for the next head with the full 15 s time-out.
  auto start = std::chrono::steady_clock::now();
  engine.halt();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  EXPECT_TRUE(peer_closes(fd, 5000));
  closeSocket(fd);
}
