// Requests over real loopback connections: reading, parsing, keep-alive,
// error replies, logs, the callback contract and the connection functions.

#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <future>
#include <regex>
#include <sstream>
#include <thread>

#include <gtest/gtest.h>

#include "ostrel/engine/EngineTestUtil.h"
#include "support/Portable.h"
#include "ostrel/engine/engine.h"
#include "ostrel/engine/io.h"

using namespace enginetest;

namespace {

void* taken() { return const_cast<char*>("OK"); }

// Answers with a short text reply naming the URI.
void* answer_uri(Connection* conn, const RequestInfo* info) {
  std::string body = std::string("uri=") + info->uri;
  mg_send_formatted(conn, "HTTP/1.1 200 OK\r\nContent-Length: %d\r\n\r\n%s", static_cast<int>(body.size()),
                    body.c_str());
  return taken();
}

// A callback that answers each request with its URI and counts them.
auto counting_uri_answers(std::atomic<int>& requests) {
  return [&requests](mg_event event, Connection* conn, RequestInfo* info) -> void* {
    if (event != EVT_NEW_REQUEST) return nullptr;
    requests++;
    return answer_uri(conn, info);
  };
}

std::string read_file(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

// Waits until FILE holds a complete line containing PART.
std::string wait_for_line(const std::string& file, const std::string& part) {
  for (int i = 0; i < 500; i++) {
    std::string text = read_file(file);
    size_t pos = text.find(part);
    if (pos != std::string::npos && text.find('\n', pos) != std::string::npos) return text;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return read_file(file);
}

}  // namespace

TEST(EngineConnection, PipelinedRequestIsServedFromTheBuffer) {
  std::mutex mutex;
  std::vector<std::string> raw_copies;
  std::vector<std::pair<int, int>> lengths;
  TestEngine engine({"enable_keep_alive", "yes"}, [&](mg_event event, Connection* conn, RequestInfo* info) -> void* {
    if (event != EVT_NEW_REQUEST) return nullptr;
    {
      std::lock_guard<std::mutex> lock(mutex);
      raw_copies.emplace_back(info->raw_request, static_cast<size_t>(info->data_len));
      lengths.emplace_back(info->request_len, info->data_len);
    }
    answer_uri(conn, info);
    conn->must_close = 0;  // the reply is delimited: keep the connection
    return taken();
  });
  ASSERT_TRUE(engine.started());
  int fd = connect_to(engine.port());
  const std::string first = "GET /a HTTP/1.1\r\nHost: x\r\n\r\n";
  const std::string second = "GET /b HTTP/1.1\r\nHost: x\r\nConnection: close\r\n\r\n";
  ASSERT_TRUE(send_all(fd, first + second));
  std::string replies = read_until_close(fd);
  closeSocket(fd);
  EXPECT_NE(std::string::npos, replies.find("uri=/a"));
  EXPECT_NE(std::string::npos, replies.find("uri=/b"));
  std::lock_guard<std::mutex> lock(mutex);
  ASSERT_EQ(2u, raw_copies.size());
  // The first request's copy reaches the bytes behind its head.
  EXPECT_EQ(first + second, raw_copies[0]);
  EXPECT_EQ(static_cast<int>(first.size()), lengths[0].first);
  EXPECT_EQ(static_cast<int>((first + second).size()), lengths[0].second);
  EXPECT_EQ(second, raw_copies[1]);
}

// Callbacks that walk every header slot must see the current request's
// headers only, not those a longer request before it left behind.
TEST(EngineConnection, HeaderSlotsHoldOnlyTheCurrentRequest) {
  std::mutex mutex;
  std::vector<int> filled_slots;
  TestEngine engine({"enable_keep_alive", "yes"}, [&](mg_event event, Connection* conn, RequestInfo* info) -> void* {
    if (event != EVT_NEW_REQUEST) return nullptr;
    int filled = 0;
    for (const RequestHeader& h : info->http_headers) filled += h.name != nullptr ? 1 : 0;
    {
      std::lock_guard<std::mutex> lock(mutex);
      filled_slots.push_back(filled);
    }
    answer_uri(conn, info);
    conn->must_close = 0;
    return taken();
  });
  ASSERT_TRUE(engine.started());
  int fd = connect_to(engine.port());
  ASSERT_TRUE(send_all(fd, "GET /a HTTP/1.1\r\nHost: x\r\nOrigin: http://x\r\nX-A: 1\r\nX-B: 2\r\n\r\n"));
  EXPECT_EQ("uri=/a", body_of(read_reply(fd)));
  ASSERT_TRUE(send_all(fd, "GET /b HTTP/1.1\r\nHost: x\r\n\r\n"));
  EXPECT_EQ("uri=/b", body_of(read_reply(fd)));
  closeSocket(fd);
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ((std::vector<int>{4, 1}), filled_slots);
}

TEST(EngineConnection, RawRequestCopyKeepsBytesBehindTheHeadIncludingNul) {
  std::promise<std::string> tail;
  TestEngine engine({}, [&](mg_event event, Connection* conn, RequestInfo* info) -> void* {
    if (event != EVT_NEW_REQUEST) return nullptr;
    tail.set_value(std::string(info->raw_request + info->request_len,
                               static_cast<size_t>(info->data_len - info->request_len)));
    mg_close_socket(conn);
    return taken();
  });
  ASSERT_TRUE(engine.started());
  std::string key("\x01\x00\x02\x03\x04\x05\x06\x07", 8);
  std::string reply = http_exchange(engine.port(),
                               "GET /chat HTTP/1.1\r\nUpgrade: WebSocket\r\nSec-WebSocket-Key1: 1\r\n\r\n" + key);
  auto future = tail.get_future();
  ASSERT_EQ(std::future_status::ready, future.wait_for(std::chrono::seconds(5)));
  EXPECT_EQ(key, future.get());
}

TEST(EngineConnection, UnsafeHeadsAreRefusedBeforeTheCallback) {
  std::atomic<int> requests{0};
  TestEngine engine({}, counting_uri_answers(requests));
  ASSERT_TRUE(engine.started());
  std::string seventy = "GET /h HTTP/1.1\r\n";
  for (int i = 0; i < 70; i++) seventy += "H" + std::to_string(i) + ": v" + std::to_string(i) + "\r\n";
  EXPECT_EQ("HTTP/1.1 431 Request Header Fields Too Large", status_line(http_exchange(engine.port(), seventy + "\r\n")));
  const std::string nul = "GET /h HTTP/1.1\r\nHost: a" + std::string(1, '\0') + "b\r\n\r\n";
  EXPECT_EQ("HTTP/1.1 400 Bad Request", status_line(http_exchange(engine.port(), nul)));
  EXPECT_EQ("HTTP/1.1 400 Bad Request",
            status_line(http_exchange(engine.port(), "GET /h HTTP/1.1\r\nContent-Length: 0\r\nContent-Length: 5\r\n\r\n")));
  EXPECT_EQ("HTTP/1.1 400 Bad Request", status_line(http_exchange(engine.port(), "GET * HTTP/1.1\r\n\r\n")));
  EXPECT_EQ("HTTP/1.1 400 Bad Request", status_line(http_exchange(engine.port(), "GET h HTTP/1.1\r\n\r\n")));
  EXPECT_EQ("HTTP/1.1 501 Not Implemented",
            status_line(http_exchange(engine.port(), "POST /h HTTP/1.1\r\nTransfer-Encoding: chunked\r\n\r\n"
                                                      "1c\r\nGET /smuggled HTTP/1.1\r\n\r\n\r\n0\r\n\r\n")));
  // Header lines another reader could split or name differently.
  for (const char* head : {"POST /h HTTP/1.1\r\nContent-Length : 5\r\n\r\nGET /smuggled HTTP/1.1\r\n\r\n",
                           "POST /h HTTP/1.1\r\nTransfer-Encoding : chunked\r\n\r\n0\r\n\r\n",
                           "GET /h HTTP/1.1\r\nHost: 127.0.0.1\r\nhost : evil.example\r\n\r\n",
                           "GET /h HTTP/1.1\r\nX-A: foo\rReferer: http://127.0.0.1/\r\n\r\n"}) {
    std::string reply = http_exchange(engine.port(), head);
    EXPECT_EQ("HTTP/1.1 400 Bad Request", status_line(reply)) << head;
    EXPECT_EQ("close", header_value(reply, "Connection")) << head;
  }
  EXPECT_EQ(0, requests.load());
  // "*" asks about the server as a whole, with OPTIONS only.
  EXPECT_EQ("HTTP/1.1 200 OK", status_line(http_exchange(engine.port(), "OPTIONS * HTTP/1.1\r\n\r\n")));
}

TEST(EngineConnection, ACallbackCanRefuseAClientBeforeItsFirstByte) {
  std::atomic<int> requests{0};
  std::atomic<int> refusals{0};
  TestEngine engine({"num_threads", "1"}, [&](mg_event event, Connection* conn, RequestInfo* info) -> void* {
    if (event == EVT_NEW_CONNECTION) {
      if (info->remote_ip != 0x7f000001 || info->remote_port <= 0) return nullptr;
      refusals++;
      mg_send(conn, "no\n", 3);
      return conn;
    }
    if (event == EVT_NEW_REQUEST) requests++;
    return nullptr;
  });
  ASSERT_TRUE(engine.started());
  // Connections that never send a byte hold no worker: the one worker is free
  // for every other refusal too.
  std::vector<int> idle;
  for (int i = 0; i < 30; i++) idle.push_back(connect_to(engine.port()));
  for (int fd : idle) {
    EXPECT_EQ("no\n", read_until_close(fd, 5000));
    closeSocket(fd);
  }
  EXPECT_EQ(30, refusals.load());
  EXPECT_EQ(0, requests.load());
}

TEST(EngineConnection, LogEventsNeverReenterTheCallback) {
  std::atomic<int> log_events{0};
  TestEngine engine({}, [&](mg_event event, Connection* conn, RequestInfo* info) -> void* {
    const std::string long_text(600, 'x');
    if (event == EVT_LOG_MESSAGE) {
      log_events++;
      // Cut again, which is logged again: never heard of here.
      mg_send_formatted(conn, "%s", long_text.c_str());
      return conn;
    }
    if (event != EVT_NEW_REQUEST || info->remote_ip == 0) return nullptr;
    mg_send_formatted(conn, "%s", long_text.c_str());
    return conn;
  });
  ASSERT_TRUE(engine.started());
  std::string reply = http_exchange(engine.port(), "GET /h HTTP/1.1\r\n\r\n");
  EXPECT_EQ(std::string(511 * 2, 'x'), reply);
  EXPECT_EQ(1, log_events.load());
}

TEST(EngineConnection, HeadSizeLimit) {
  TestEngine engine({"max_request_size", "1024", "document_root", "/nonexistent"});
  ASSERT_TRUE(engine.started());
  // Exactly the buffer size and no empty line: 413.
  std::string head = "GET / HTTP/1.1\r\nX: ";
  head += std::string(1024 - head.size() - 2, 'a') + "\r\n";
  ASSERT_EQ(1024u, head.size());
  std::string reply = http_exchange(engine.port(), head);
  EXPECT_EQ("HTTP/1.1 413 Request Too Large", status_line(reply));
  EXPECT_EQ("close", header_value(reply, "Connection"));
  EXPECT_EQ(std::to_string(body_of(reply).size()), header_value(reply, "Content-Length"));
  // A complete head of exactly the buffer size is served.
  std::string full = "GET / HTTP/1.1\r\nX: ";
  full += std::string(1024 - full.size() - 4, 'a') + "\r\n\r\n";
  ASSERT_EQ(1024u, full.size());
  EXPECT_EQ("HTTP/1.1 404 Not Found", status_line(http_exchange(engine.port(), full)));
}

TEST(EngineConnection, MalformedHeadsGetErrorRepliesOrNone) {
  TestEngine engine({"enable_keep_alive", "yes", "document_root", "/nonexistent"});
  ASSERT_TRUE(engine.started());
  for (const char* request : {"BREW / HTTP/1.1\r\n\r\n", "GET noslash HTTP/1.1\r\n\r\n", "GET / FTP/1.0\r\n\r\n"}) {
    std::string reply = http_exchange(engine.port(), request);
    EXPECT_EQ("HTTP/1.1 400 Bad Request", status_line(reply)) << request;
    EXPECT_NE(std::string::npos, body_of(reply).find("Error 400: Bad Request\nCannot parse HTTP request: [")) << reply;
    EXPECT_EQ("close", header_value(reply, "Connection"));
  }
  std::string reply = http_exchange(engine.port(), "GET / HTTP/2.0\r\n\r\n");
  EXPECT_EQ("HTTP/1.1 505 HTTP version not supported", status_line(reply));
  // "*" is a valid URI.
  EXPECT_EQ("HTTP/1.1 200 OK", status_line(http_exchange(engine.port(), "OPTIONS * HTTP/1.0\r\n\r\n")));
  // Control bytes, even before the head is complete.
  reply = http_exchange(engine.port(), std::string("GET /\x01\x02", 7));
  EXPECT_EQ("HTTP/1.1 400 Bad Request", status_line(reply));
  EXPECT_EQ("close", header_value(reply, "Connection"));
  // A Content-Length that is no number cannot delimit the body: the request
  // has none, and the connection ends with the reply instead of reading "abc"
  // as the next request.
  reply = http_exchange(engine.port(), "POST / HTTP/1.1\r\nContent-Length: -5\r\n\r\nabc", 3000);
  EXPECT_EQ("HTTP/1.1 404 Not Found", status_line(reply));
  EXPECT_EQ("close", header_value(reply, "Connection"));
  EXPECT_EQ(reply.rfind("HTTP/1.1"), 0u);
}

// The same head must get the same answer whether it arrives in one read or two.
TEST(EngineConnection, ControlBytesInTheHeadGetOneAnswerHoweverTheHeadIsSplit) {
  std::atomic<int> requests{0};
  TestEngine engine({}, counting_uri_answers(requests));
  ASSERT_TRUE(engine.started());
  auto exchange_split = [&](const std::string& head, size_t split) {
    int fd = connect_to(engine.port());
    EXPECT_TRUE(send_all(fd, head.substr(0, split)));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(send_all(fd, head.substr(split)));
    std::string reply = read_until_close(fd, 5000);
    closeSocket(fd);
    return reply;
  };
  const std::string tab = "GET /t HTTP/1.1\r\nUser-Agent: a\tb\r\nConnection: close\r\n\r\n";
  const std::string esc = "GET /e HTTP/1.1\r\nUser-Agent: a\tb\r\nX-Esc: \x1b[31m\r\n\r\n";
  const std::string del = "GET /d HTTP/1.1\r\nX-Del: \x7f\r\n\r\n";
  EXPECT_EQ("uri=/t", body_of(http_exchange(engine.port(), tab)));
  EXPECT_EQ("uri=/t", body_of(exchange_split(tab, 20)));
  for (const std::string& head : {esc, del}) {
    std::string whole = http_exchange(engine.port(), head);
    EXPECT_EQ("HTTP/1.1 400 Bad Request", status_line(whole)) << head;
    EXPECT_EQ("close", header_value(whole, "Connection"));
    EXPECT_EQ("HTTP/1.1 400 Bad Request", status_line(exchange_split(head, head.size() - 6))) << head;
    EXPECT_EQ("HTTP/1.1 400 Bad Request", status_line(exchange_split(head, 20))) << head;
  }
  EXPECT_EQ(2, requests.load());
}

TEST(EngineConnection, KeepAliveDecision) {
  TempDir dir;
  dir.file("f.txt", "hello");
  {
    TestEngine engine({"enable_keep_alive", "yes", "document_root", dir.path()});
    ASSERT_TRUE(engine.started());
    int fd = connect_to(engine.port());
    ASSERT_TRUE(send_all(fd, "GET /f.txt HTTP/1.1\r\n\r\n"));
    std::string first = read_reply(fd);
    EXPECT_EQ("Keep-Alive", header_value(first, "Connection"));
    ASSERT_TRUE(send_all(fd, "GET /f.txt HTTP/1.1\r\nConnection: close\r\n\r\n"));
    std::string second = read_reply(fd);
    EXPECT_EQ("hello", body_of(second));
    EXPECT_EQ("close", header_value(second, "Connection"));
    EXPECT_TRUE(peer_closes(fd, 5000));
    closeSocket(fd);

    std::string reply = http_exchange(engine.port(), "GET /f.txt HTTP/1.0\r\n\r\n");
    EXPECT_EQ("close", header_value(reply, "Connection"));
    fd = connect_to(engine.port());
    ASSERT_TRUE(send_all(fd, "GET /f.txt HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n"));
    EXPECT_EQ("Keep-Alive", header_value(read_reply(fd), "Connection"));
    closeSocket(fd);
  }
  {
    TestEngine engine({"enable_keep_alive", "no", "document_root", dir.path()});
    ASSERT_TRUE(engine.started());
    int fd = connect_to(engine.port());
    ASSERT_TRUE(send_all(fd, "GET /f.txt HTTP/1.1\r\nConnection: keep-alive\r\n\r\n"));
    std::string reply = read_reply(fd);
    EXPECT_EQ("close", header_value(reply, "Connection"));
    EXPECT_TRUE(peer_closes(fd, 5000));
    closeSocket(fd);
  }
}

TEST(EngineConnection, UnreadBodyIsNotTakenForTheNextRequest) {
  TempDir dir;
  dir.file("f.txt", "hello");
  TestEngine engine({"enable_keep_alive", "yes", "document_root", dir.path()});
  ASSERT_TRUE(engine.started());
  int fd = connect_to(engine.port());
  ASSERT_TRUE(send_all(fd, "POST /f.txt HTTP/1.1\r\nContent-Length: 10\r\n\r\n"));
  EXPECT_EQ("hello", body_of(read_reply(fd)));
  ASSERT_TRUE(send_all(fd, "0123456789GET /f.txt HTTP/1.1\r\n\r\n"));
  std::string second = read_reply(fd);
  EXPECT_EQ("HTTP/1.1 200 OK", status_line(second));
  EXPECT_EQ("hello", body_of(second));
  closeSocket(fd);
}

TEST(EngineConnection, IdleKeptConnectionsGiveTheirWorkersToWaitingClients) {
  ScopedReadTimeout timeout(4000);
  TempDir dir;
  dir.file("f.txt", "hello");
  TestEngine engine({"enable_keep_alive", "yes", "num_threads", "2", "document_root", dir.path()});
  ASSERT_TRUE(engine.started());
  const std::string get = "GET /f.txt HTTP/1.1\r\n\r\n";
  // Both workers hold a kept connection that says nothing more.
  std::vector<int> idle;
  for (int i = 0; i < 2; i++) {
    idle.push_back(connect_to(engine.port()));
    ASSERT_TRUE(send_all(idle.back(), get));
    ASSERT_EQ("Keep-Alive", header_value(read_reply(idle.back()), "Connection"));
  }
  // New clients that have yet to send their heads: each holds the worker it
  // takes, so both idle connections must give way, and are closed without a byte.
  auto start = std::chrono::steady_clock::now();
  std::vector<int> fresh;
  for (int i = 0; i < 2; i++) fresh.push_back(connect_to(engine.port()));
  for (int fd : idle) EXPECT_TRUE(peer_closes(fd, 1000));
  for (int fd : fresh) ASSERT_TRUE(send_all(fd, get));
  for (int fd : fresh) EXPECT_EQ("hello", body_of(read_reply(fd, 3000)));
  auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  EXPECT_LT(waited.count(), 1500);
  for (int fd : fresh) closeSocket(fd);
  for (int fd : idle) closeSocket(fd);
}

TEST(EngineConnection, AConnectionSendingItsFirstHeadKeepsItsWorker) {
  ScopedReadTimeout timeout(4000);
  TempDir dir;
  dir.file("f.txt", "hello");
  TestEngine engine({"enable_keep_alive", "yes", "num_threads", "1", "document_root", dir.path()});
  ASSERT_TRUE(engine.started());
  int slow = connect_to(engine.port());
  ASSERT_TRUE(send_all(slow, "GET /f.txt HTTP/1.1\r\n"));
  std::this_thread::sleep_for(std::chrono::milliseconds(200));
  int other = connect_to(engine.port());
  ASSERT_TRUE(send_all(other, "GET /f.txt HTTP/1.1\r\nConnection: close\r\n\r\n"));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  // A kept connection whose next head has begun is not idle either.
  ASSERT_TRUE(send_all(slow, "\r\nGET /f.txt HTTP/1.1\r\n"));
  EXPECT_EQ("hello", body_of(read_reply(slow)));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  ASSERT_TRUE(send_all(slow, "Connection: close\r\n\r\n"));
  EXPECT_EQ("hello", body_of(read_reply(slow)));
  EXPECT_EQ("hello", body_of(read_reply(other)));
  closeSocket(slow);
  closeSocket(other);
}

TEST(EngineConnection, ADrippedUnreadBodyIsDroppedWithinOneReadTimeOut) {
  ScopedReadTimeout timeout(1000);
  TempDir dir;
  dir.file("f.txt", "hello");
  TestEngine engine({"enable_keep_alive", "yes", "document_root", dir.path()});
  ASSERT_TRUE(engine.started());
  int fd = connect_to(engine.port());
  ASSERT_TRUE(send_all(fd, "POST /f.txt HTTP/1.1\r\nContent-Length: 100\r\n\r\n"));
  EXPECT_EQ("hello", body_of(read_reply(fd)));
  // One byte every 300 ms never stalls a single read for the time-out.
  auto start = std::chrono::steady_clock::now();
  bool closed = false;
  for (int i = 0; i < 15 && !closed; i++) {
    send_all(fd, "x");
    closed = peer_closes(fd, 300);
  }
  auto waited = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
  EXPECT_TRUE(closed);
  EXPECT_LT(waited.count(), 2500);
  closeSocket(fd);
}

// A client dripping a byte at a time never stalls a single read; once it held
// a worker for as many time-outs as it liked.
TEST(EngineConnection, AHeadAndABodyEachHaveOneDeadlineForTheWhole) {
  ScopedReadTimeout timeout(1000);
  TempDir dir;
  dir.file("f.txt", "hello");
  std::promise<std::pair<int64_t, int>> body_read;
  TestEngine engine({"enable_keep_alive", "yes", "document_root", dir.path()},
                    [&](mg_event event, Connection* conn, RequestInfo* info) -> void* {
                      if (event != EVT_NEW_REQUEST || std::strcmp(info->request_method, "POST") != 0) return nullptr;
                      int64_t start = monotonic_ms();
                      char buf[100];
                      int total = 0, n;
                      while (total < 100 && (n = mg_read_body(conn, buf + total, 100 - total)) > 0) total += n;
                      body_read.set_value({monotonic_ms() - start, total});
                      return answer_uri(conn, info);
                    });
  ASSERT_TRUE(engine.started());
  using std::chrono::milliseconds;
  auto since = [](std::chrono::steady_clock::time_point start) {
    return std::chrono::duration_cast<milliseconds>(std::chrono::steady_clock::now() - start).count();
  };
  // Drips a byte every 100 ms until the server closes; the time until then.
  auto drip_until_closed = [&](int fd, const std::string& text) -> int64_t {
    auto start = std::chrono::steady_clock::now();
    for (char c : text) {
      send_all(fd, std::string(1, c));
      if (peer_closes(fd, 100)) return since(start);
    }
    return -1;
  };
  const std::string long_head = "GET /f.txt HTTP/1.1\r\nX-Padding: " + std::string(60, 'p') + "\r\n\r\n";

  // A first head: one time-out from the connection's start.
  int fd = connect_to(engine.port());
  int64_t took = drip_until_closed(fd, long_head);
  EXPECT_GE(took, 800);
  EXPECT_LT(took, 2000);
  closeSocket(fd);

  // The next head on a kept connection: one time-out from its first byte,
  // however long the connection was idle before it.
  fd = connect_to(engine.port());
  ASSERT_TRUE(send_all(fd, "GET /f.txt HTTP/1.1\r\n\r\n"));
  ASSERT_EQ("hello", body_of(read_reply(fd)));
  EXPECT_FALSE(peer_closes(fd, 600));
  took = drip_until_closed(fd, long_head);
  EXPECT_GE(took, 900);
  EXPECT_LT(took, 2000);
  closeSocket(fd);

  // A body: one time-out from its first read, however it is read in pieces.
  fd = connect_to(engine.port());
  ASSERT_TRUE(send_all(fd, "POST /p HTTP/1.1\r\nContent-Length: 100\r\n\r\n"));
  auto result = body_read.get_future();
  for (int i = 0; i < 40 && result.wait_for(milliseconds(100)) != std::future_status::ready; i++) send_all(fd, "x");
  ASSERT_EQ(std::future_status::ready, result.wait_for(std::chrono::seconds(5)));
  auto [read_ms, read_bytes] = result.get();
  EXPECT_LT(read_bytes, 100);
  EXPECT_GE(read_ms, 900);
  EXPECT_LT(read_ms, 2000);
  closeSocket(fd);
}

TEST(EngineConnection, AccessAndErrorLogLines) {
  TempDir dir;
  dir.file("hello.txt", "hello");
  std::string access = dir.path() + "/access.log";
  std::string errors = dir.path() + "/error.log";
  TestEngine engine({"document_root", dir.path(), "access_log_file", access, "error_log_file", errors});
  ASSERT_TRUE(engine.started());
  http_exchange(engine.port(), "GET /hello.txt HTTP/1.1\r\nReferer: http://127.0.0.1/\r\nUser-Agent: tester\r\n\r\n");
  http_exchange(engine.port(), "HEAD /missing HTTP/1.0\r\n\r\n");
  std::string text = wait_for_line(access, "/missing");
  std::regex line(
      "127\\.0\\.0\\.1 - - \\[\\d\\d/[A-Z][a-z]{2}/\\d{4}:\\d\\d:\\d\\d:\\d\\d [+-]\\d{4}\\] "
      "\"GET /hello\\.txt HTTP/1\\.1\" 200 5 \"http://127\\.0\\.0\\.1/\" \"tester\"\n");
  EXPECT_TRUE(std::regex_search(text, line)) << text;
  EXPECT_NE(std::string::npos, text.find("\"HEAD /missing HTTP/1.0\" 404 0 - -\n")) << text;

  std::string error_text = wait_for_line(errors, "Error 404");
  std::regex error_line("\\[\\d{10}\\] \\[error\\] \\[client 127\\.0\\.0\\.1\\] HEAD /missing: Error 404: Not Found\n");
  EXPECT_TRUE(std::regex_search(error_text, error_line)) << error_text;
}

TEST(EngineConnection, ReadBodyReturnsBufferedBytesFirstThenReadsTheSocket) {
  std::promise<void> first_part_read;
  std::promise<std::string> body;
  std::atomic<int> get_read{-1};
  TestEngine engine({}, [&](mg_event event, Connection* conn, RequestInfo* info) -> void* {
    if (event != EVT_NEW_REQUEST) return nullptr;
    char buf[64];
    if (std::string(info->request_method) == "GET") {
      get_read = mg_read_body(conn, buf, sizeof(buf));
      return answer_uri(conn, info);
    }
    int n = mg_read_body(conn, buf, 10);
    first_part_read.set_value();
    std::string got(buf, static_cast<size_t>(n > 0 ? n : 0));
    while ((n = mg_read_body(conn, buf, sizeof(buf))) > 0) got.append(buf, static_cast<size_t>(n));
    body.set_value(got);
    return answer_uri(conn, info);
  });
  ASSERT_TRUE(engine.started());
  int fd = connect_to(engine.port());
  ASSERT_TRUE(send_all(fd, "POST /p HTTP/1.1\r\nContent-Length: 20\r\n\r\n0123456789"));
  ASSERT_EQ(std::future_status::ready, first_part_read.get_future().wait_for(std::chrono::seconds(5)));
  ASSERT_TRUE(send_all(fd, "abcdefghij-not-body"));
  auto got = body.get_future();
  ASSERT_EQ(std::future_status::ready, got.wait_for(std::chrono::seconds(5)));
  EXPECT_EQ("0123456789abcdefghij", got.get());
  closeSocket(fd);

  // Only POST bodies are read.
  http_exchange(engine.port(), "GET /g HTTP/1.1\r\nContent-Length: 3\r\n\r\nabc");
  EXPECT_EQ(0, get_read.load());
}

TEST(EngineConnection, StalledBodyEndsLikeAClosedPeer) {
  ScopedReadTimeout timeout(300);
  std::promise<int> result;
  TestEngine engine({}, [&](mg_event event, Connection* conn, RequestInfo* info) -> void* {
    if (event != EVT_NEW_REQUEST) return nullptr;
    char buf[100];
    result.set_value(mg_read_body(conn, buf, sizeof(buf)));
    return answer_uri(conn, info);
  });
  ASSERT_TRUE(engine.started());
  int fd = connect_to(engine.port());
  ASSERT_TRUE(send_all(fd, "POST /p HTTP/1.1\r\nContent-Length: 100\r\n\r\n0123456789"));
  auto n = result.get_future();
  ASSERT_EQ(std::future_status::ready, n.wait_for(std::chrono::seconds(10)));
  EXPECT_EQ(10, n.get());
  closeSocket(fd);
}

TEST(EngineConnection, CallbackContract) {
  TempDir dir;
  std::string errors = dir.path() + "/error.log";
  std::mutex mutex;
  std::vector<std::string> events;
  std::atomic<int> error_status{0};
  TestEngine engine(
      {"document_root", dir.path(), "error_log_file", errors},
      [&](mg_event event, Connection* conn, RequestInfo* info) -> void* {
        {
          std::lock_guard<std::mutex> lock(mutex);
          events.push_back(std::to_string(event) + (info->uri != nullptr ? std::string(" ") + info->uri : ""));
        }
        std::string uri = info->uri != nullptr ? info->uri : "";
        if (event == EVT_NEW_REQUEST && uri == "/long") {
          mg_send_formatted(conn, "%s", std::string(600, 'x').c_str());
          return taken();
        }
        if (event == EVT_NEW_REQUEST && uri == "/mine") {
          mg_send_formatted(conn, "HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nmine");
          return taken();
        }
        if (event == EVT_HTTP_ERROR) {
          error_status = info->status_code;
          mg_send_formatted(conn, "HTTP/1.1 599 Mine\r\nContent-Length: 0\r\n\r\n");
          return taken();
        }
        if (event == EVT_LOG_MESSAGE) return taken();  // nothing reaches the file
        return nullptr;
      });
  ASSERT_TRUE(engine.started());
  EXPECT_EQ("HTTP/1.1 200 OK\r\nContent-Length: 4\r\n\r\nmine",
            http_exchange(engine.port(), "GET /mine?q=1 HTTP/1.1\r\n\r\n"));
  EXPECT_EQ("HTTP/1.1 599 Mine\r\nContent-Length: 0\r\n\r\n", http_exchange(engine.port(), "GET /missing HTTP/1.1\r\n\r\n"));
  EXPECT_EQ(404, error_status.load());
  EXPECT_EQ(std::string(511, 'x'), http_exchange(engine.port(), "GET /long HTTP/1.1\r\n\r\n"));
  engine.halt();
  std::lock_guard<std::mutex> lock(mutex);
  // Each connection is announced (5) before its first byte is read.
  std::vector<std::string> expected = {"5", "0 /mine", "4 /mine", "5", "0 /missing", "1 /missing", "4 /missing",
                                       "5", "0 /long",  "2 /long", "4 /long"};
  EXPECT_EQ(expected, events);
  EXPECT_EQ("", read_file(errors));
}

TEST(EngineConnection, CallbackReadsRequestFields) {
  std::promise<std::string> seen;
  TestEngine engine({}, [&](mg_event event, Connection* conn, RequestInfo* info) -> void* {
    if (event != EVT_NEW_REQUEST) return nullptr;
    std::ostringstream out;
    out << info->request_method << "|" << info->uri << "|" << (info->query_string ? info->query_string : "(null)")
        << "|" << info->http_version << "|" << (info->remote_ip == 0x7f000001) << "|" << (info->remote_port > 0)
        << "|" << mg_find_header(conn, "x-thing") << "|" << info->status_code;
    seen.set_value(out.str());
    return answer_uri(conn, info);
  });
  ASSERT_TRUE(engine.started());
  http_exchange(engine.port(), "GET /a%20b//c/%2e%2e/d?x=%20&y HTTP/1.0\r\nX-Thing: yes\r\n\r\n");
  auto f = seen.get_future();
  ASSERT_EQ(std::future_status::ready, f.wait_for(std::chrono::seconds(5)));
  EXPECT_EQ("GET|/a b/c//d|x=%20&y|1.0|1|1|yes|-1", f.get());
}

TEST(EngineConnection, KeptChannelFunctions) {
  ScopedReadTimeout timeout(200);
  std::promise<std::string> outcome;
  int fds_before = count_open_fds();
  TestEngine engine({}, [&](mg_event event, Connection* conn, RequestInfo*) -> void* {
    if (event != EVT_NEW_REQUEST) return nullptr;
    mg_set_nonblocking(conn);
    std::string log;
    log += std::to_string(mg_probe_peer(conn));  // the byte sent behind the head
    log += std::to_string(mg_send_when_writable(conn, "hello", 5));
    // Keep the channel until the client closes it; the read time-out does not apply.
    int probe = 1;
    while (probe == 1) {
      pollfd p{conn->client.sock, POLLIN, 0};
      if (poll(&p, 1, 5000) <= 0) break;
      probe = mg_probe_peer(conn);
    }
    log += std::to_string(probe) + (conn->client.sock == -1 ? "closed" : "open");
    mg_close_socket(conn);  // a second close does nothing
    outcome.set_value(log);
    return taken();
  });
  ASSERT_TRUE(engine.started());
  int fd = connect_to(engine.port());
  ASSERT_TRUE(send_all(fd, "GET /1.0/Events/all.ws HTTP/1.1\r\n\r\n"));
  ASSERT_TRUE(send_all(fd, "x"));
  char buf[5];
  size_t got = 0;
  while (got < sizeof(buf)) {
    ssize_t n = recv(fd, buf + got, sizeof(buf) - got, 0);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  EXPECT_EQ("hello", std::string(buf, got));
  // Twice the read time-out passes and the channel is still open.
  EXPECT_FALSE(peer_closes(fd, 400));
  closeSocket(fd);
  auto f = outcome.get_future();
  ASSERT_EQ(std::future_status::ready, f.wait_for(std::chrono::seconds(5)));
  EXPECT_EQ("150closed", f.get());
  engine.halt();
  EXPECT_EQ(fds_before, count_open_fds());
}

TEST(EngineConnection, FormattedSendIsCutTo511Bytes) {
  TestEngine engine({}, [&](mg_event event, Connection* conn, RequestInfo*) -> void* {
    if (event != EVT_NEW_REQUEST) return nullptr;
    std::string big(600, 'x');
    mg_send_formatted(conn, "%s", big.c_str());
    return taken();
  });
  ASSERT_TRUE(engine.started());
  EXPECT_EQ(std::string(511, 'x'), http_exchange(engine.port(), "GET / HTTP/1.1\r\n\r\n"));
  EXPECT_TRUE(engine.log().wait_for("truncating vsnprintf buffer: [" + std::string(200, 'x') + "]", 5000));
}

TEST(EngineConnection, CallbackRepliesWithoutLengthEndTheConnection) {
  // With keep-alive on, a reply the engine cannot delimit must still end.
  TestEngine engine({"enable_keep_alive", "yes", "document_root", "/nonexistent"},
                    [&](mg_event event, Connection* conn, RequestInfo* info) -> void* {
                      if (event == EVT_NEW_REQUEST && std::string(info->uri) == "/svc") {
                        mg_send_formatted(conn, "HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nbody");
                        return taken();
                      }
                      if (event == EVT_HTTP_ERROR) return taken();  // nothing at all
                      return nullptr;
                    });
  ASSERT_TRUE(engine.started());
  int fd = connect_to(engine.port());
  ASSERT_TRUE(send_all(fd, "GET /svc HTTP/1.1\r\n\r\n"));
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ("HTTP/1.1 200 OK\r\nConnection: close\r\n\r\nbody", read_until_close(fd, 12000));
  // Closed at once, not by the 15 s read time-out.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(8));
  closeSocket(fd);
  fd = connect_to(engine.port());
  ASSERT_TRUE(send_all(fd, "GET /missing HTTP/1.1\r\n\r\n"));
  EXPECT_TRUE(peer_closes(fd, 8000));
  closeSocket(fd);
}
