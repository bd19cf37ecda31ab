// Event fan-out: events posted on the host's dispatcher reach every open RFC 6455
// channel on /1.0/Events/all.ws, each whole and in order. Measures the time from
// the first post until every channel has read every frame.
//   event_fanout [EVENTS [CHANNELS [FORMAT...]]]      defaults: 20000 10 0 1
// Exits 1 when an event is lost, altered, repeated or out of order.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "ostrel/engine/engine.h"
#include "ostrel/web/WebServer.h"
#include "ostrel/channels/HCServiceProxyWebSocketListenerFactory.h"
#include "ostrel/channels/WebSocketManager.h"
#include "ostrel/xml2json/Xml2Json.h"
#include "tessaro/MessageDispatcher.h"
#include "tessaro/XMLPayload.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr const char* kTopic = "event:/KivraServices/KivraBusinessLogic/v1_0/bench";
// The plug-in's engine runs this many workers.
constexpr int kWorkers = 50;
// The poster stays at most this many events ahead of the slowest channel's
// reader, as a real source does: a channel whose browser falls 4 MiB behind is
// closed by design, and the bench measures delivery, not that limit.
constexpr int kWindow = 2000;
// No byte on any channel for this long: what is missing is lost.
constexpr std::chrono::seconds kStall{15};
constexpr std::chrono::seconds kHandshakeLimit{5};
constexpr const char* kAccept = "Sec-WebSocket-Accept: s3pPLMBiTxaQ9kYGzzhZRbK+xOo=\r\n";

double seconds(Clock::duration d) { return std::chrono::duration<double>(d).count(); }

// A download-progress event as the business logic publishes it; the
// correlation id makes every event's text unique.
std::string eventText(int i) {
  return "<Event><Type>DownloadProgress</Type><Message><applicationId>app-" + std::to_string(i % 8) +
         "</applicationId><applicationName>Puzzle Quest</applicationName><correlationId>bench-" +
         std::to_string(i) + "</correlationId><progress>" + std::to_string(i % 100) +
         "</progress><state>DOWNLOADING</state></Message></Event>";
}

// The channels' output format in the round that runs.
std::atomic<int> channelFormat{0};

void publish(const std::string& text) {
  CommonMessageProperties properties;
  properties.setTargetTopic(kTopic);
  properties.setMessageType("event");
  auto message = std::make_shared<LocalMessage>(properties);
  message->setPayload(std::make_shared<XMLPayload>(text));
  MessageDispatcher::getInstance()->post(message);
}

// One channel from the browser's side.
struct Channel {
  int fd = -1;
  std::string input;  // bytes not yet framed
  int received = 0;
  Clock::time_point done;
  std::string fault;
  bool ended = false;  // end of stream seen
};

int connectLoopback(int port) {
  int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(uint16_t(port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd >= 0 && connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

// Appends what the socket has (waiting up to `limit`); false at end of stream,
// on error or when nothing came in time.
bool fill(Channel& channel, std::chrono::milliseconds limit) {
  pollfd p{channel.fd, POLLIN, 0};
  if (poll(&p, 1, int(limit.count())) <= 0) return false;
  char bytes[65536];
  ssize_t n = recv(channel.fd, bytes, sizeof bytes, 0);
  if (n <= 0) {
    channel.ended = true;
    return false;
  }
  channel.input.append(bytes, size_t(n));
  return true;
}

bool openChannel(Channel& channel, int port) {
  channel.fd = connectLoopback(port);
  if (channel.fd < 0) {
    channel.fault = std::string("connect: ") + strerror(errno);
    return false;
  }
  // The key is the RFC's example, so the answer is known.
  const std::string request = "GET /1.0/Events/all.ws HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                              "\r\nUpgrade: websocket\r\nConnection: Upgrade\r\nOrigin: http://127.0.0.1:" +
                              std::to_string(port) +
                              "\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
  send(channel.fd, request.data(), request.size(), MSG_NOSIGNAL);
  const Clock::time_point deadline = Clock::now() + kHandshakeLimit;
  size_t end;
  while ((end = channel.input.find("\r\n\r\n")) == std::string::npos) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0 || !fill(channel, left)) {
      channel.fault = "no handshake reply: \"" + channel.input + "\"";
      return false;
    }
  }
  const std::string head = channel.input.substr(0, end + 4);
  channel.input.erase(0, end + 4);
  if (head.rfind("HTTP/1.1 101 Switching Protocols\r\n", 0) != 0 || head.find(kAccept) == std::string::npos) {
    channel.fault = "unexpected handshake reply: \"" + head + "\"";
    return false;
  }
  return true;
}

enum class Frame { kNeedMore, kText, kOther };

// Takes the next complete frame off the channel's input. Server frames are unmasked.
Frame nextFrame(const std::string& input, size_t& at, std::string_view& payload, int& opcode) {
  const size_t available = input.size() - at;
  const auto* p = reinterpret_cast<const unsigned char*>(input.data() + at);
  if (available < 2) return Frame::kNeedMore;
  uint64_t length = p[1] & 0x7F;
  size_t head = 2;
  if (length == 126) {
    if (available < 4) return Frame::kNeedMore;
    length = uint64_t(p[2]) << 8 | p[3];
    head = 4;
  } else if (length == 127) {
    if (available < 10) return Frame::kNeedMore;
    length = 0;
    for (int i = 2; i < 10; ++i) length = length << 8 | p[i];
    head = 10;
  }
  // A masked frame is foreign at once; it may never be complete.
  if (p[1] & 0x80) {
    opcode = p[0] & 0x0F;
    return Frame::kOther;
  }
  if (available - head < length) return Frame::kNeedMore;
  opcode = p[0] & 0x0F;
  payload = std::string_view(input.data() + at + head, size_t(length));
  at += head + size_t(length);
  // Fragments count as foreign, like anything but a whole text frame.
  return p[0] == 0x81 ? Frame::kText : Frame::kOther;
}

std::string describe(std::string_view payload, const std::vector<std::string>& expected, int due) {
  for (size_t i = 0; i < expected.size(); ++i)
    if (expected[i] == payload)
      return "event " + std::to_string(i) + " came where event " + std::to_string(due) + " was due";
  return "frame " + std::to_string(due) + " is no event sent: \"" + std::string(payload.substr(0, 120)) + "\"";
}

// Frames everything read so far; each text frame must be the next event.
void consume(Channel& channel, const std::vector<std::string>& expected) {
  size_t at = 0;
  std::string_view payload;
  int opcode = 0;
  for (Frame f; channel.fault.empty() && (f = nextFrame(channel.input, at, payload, opcode)) != Frame::kNeedMore;) {
    if (f != Frame::kText)
      channel.fault = "a frame other than a whole unmasked text frame (opcode " + std::to_string(opcode) +
                      ") after " + std::to_string(channel.received) + " events";
    else if (channel.received == int(expected.size()))
      channel.fault = "a frame after the last event: " + describe(payload, expected, channel.received);
    else if (payload != expected[size_t(channel.received)])
      channel.fault = describe(payload, expected, channel.received);
    else if (++channel.received == int(expected.size()))
      channel.done = Clock::now();
  }
  channel.input.erase(0, at);
}

// After the server stopped: all that may follow the last event is the close 1001.
void checkEnd(Channel& channel) {
  if (!channel.fault.empty()) return;
  const Clock::time_point deadline = Clock::now() + kHandshakeLimit;
  while (!channel.ended && Clock::now() < deadline)
    fill(channel, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()));
  if (!channel.ended) channel.fault = "the connection stayed open after the server stopped";
  else if (channel.input != std::string("\x88\x02\x03\xE9", 4))
    channel.fault = std::to_string(channel.input.size()) + " bytes other than the close frame after the last event";
}

bool runRound(WebSocketManager& manager, int format, int events, int count) {
  channelFormat = format;
  std::vector<std::string> texts, expected;
  const Xml2Json converter;
  for (int i = 0; i < events; ++i) {
    texts.push_back(eventText(i));
    expected.push_back(format == 1 ? converter.convert(texts.back()) : texts.back());
  }
  std::printf("output format %d (%s): %d channels, %d events of %zu bytes, frames of %zu bytes\n", format,
              format == 1 ? "converted to JSON" : "XML as is", count, events, texts[0].size(), expected[0].size());

  WebServer server(Receivers{nullptr, &manager, nullptr});
  if (!server.start("127.0.0.1:0", kWorkers, "-0.0.0.0/0,+127.0.0.1", 0, 1, "/nonexistent", true, false)) {
    std::printf("  FAILED: the web server did not start\n");
    return false;
  }
  const int port = ntohs(server.context()->listening_sockets->local_addr.sin.sin_port);
  std::vector<Channel> channels(static_cast<size_t>(count));
  bool ok = true;
  for (Channel& channel : channels) {
    if (!ok) channel.fault = "not opened";
    else ok = openChannel(channel, port);
  }
  // A channel's listener is subscribed before its handshake is answered; the
  // channel is listed once its thread runs.
  const Clock::time_point listed = Clock::now() + kHandshakeLimit;
  while (ok && manager.openChannels() != size_t(count) && Clock::now() < listed)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  if (ok && manager.openChannels() != size_t(count)) {
    channels[0].fault = std::to_string(manager.openChannels()) + " channels listed";
    ok = false;
  }

  const Clock::time_point start = Clock::now();
  Clock::time_point posted = start;
  std::atomic<int> slowest{0};
  std::atomic<bool> reading{true};
  std::thread poster;
  if (ok)
    poster = std::thread([&] {
      for (int i = 0; i < events; ++i) {
        while (i - slowest.load() > kWindow && reading.load()) std::this_thread::sleep_for(std::chrono::microseconds(200));
        publish(texts[size_t(i)]);
      }
      posted = Clock::now();
    });

  Clock::time_point lastByte = Clock::now();
  std::vector<pollfd> watched;
  std::vector<Channel*> owners;
  while (ok) {
    watched.clear();
    owners.clear();
    for (Channel& channel : channels)
      if (channel.fault.empty() && channel.received < events) {
        watched.push_back(pollfd{channel.fd, POLLIN, 0});
        owners.push_back(&channel);
      }
    if (watched.empty()) break;
    const int ready = poll(watched.data(), watched.size(), 1000);
    if (ready < 0 && errno != EINTR) {
      owners[0]->fault = std::string("poll: ") + strerror(errno);
      break;
    }
    if (ready <= 0) {
      if (Clock::now() - lastByte < kStall) continue;
      for (Channel* channel : owners)
        channel->fault = "lost: " + std::to_string(events - channel->received) + " events never came";
      break;
    }
    for (size_t i = 0; i < watched.size(); ++i) {
      if (watched[i].revents == 0) continue;
      Channel& channel = *owners[i];
      if (!fill(channel, std::chrono::milliseconds(0))) {
        if (channel.ended) channel.fault = "the channel ended after " + std::to_string(channel.received) + " events";
        continue;
      }
      lastByte = Clock::now();
      consume(channel, expected);
    }
    int least = events;
    for (const Channel& channel : channels) least = std::min(least, channel.received);
    slowest = least;
  }
  reading = false;
  if (poster.joinable()) poster.join();
  server.stop();
  for (Channel& channel : channels) {
    if (ok) checkEnd(channel);
    if (channel.fd >= 0) close(channel.fd);
  }

  Clock::time_point last = start;
  for (size_t i = 0; i < channels.size(); ++i) {
    const Channel& channel = channels[i];
    if (!channel.fault.empty()) {
      std::printf("  channel %2zu: FAILED after %d events: %s\n", i + 1, channel.received, channel.fault.c_str());
      ok = false;
    } else {
      if (channel.done > last) last = channel.done;
      std::printf("  channel %2zu: %d events in %.3f s, %.0f events/s\n", i + 1, events,
                  seconds(channel.done - start), events / seconds(channel.done - start));
    }
  }
  if (!ok) return false;
  std::printf("  posted in %.3f s (%.0f events/s); every channel complete after %.3f s:\n", seconds(posted - start),
              events / seconds(posted - start), seconds(last - start));
  std::printf("  %.0f events/s per channel, %.0f frames/s in total\n", events / seconds(last - start),
              double(events) * count / seconds(last - start));
  return true;
}

int positive(const char* text, const char* what) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (*text == '\0' || *end != '\0' || value < 1 || value > 1000000) {
    std::fprintf(stderr, "event_fanout: %s must be a whole number from 1: %s\n", what, text);
    std::exit(2);
  }
  return int(value);
}

}  // namespace

int main(int argc, char** argv) {
  const int events = argc > 1 ? positive(argv[1], "EVENTS") : 20000;
  const int count = argc > 2 ? positive(argv[2], "CHANNELS") : 10;
  if (size_t(count) > WebSocketManager::kMaxChannels) {
    std::fprintf(stderr, "event_fanout: at most %zu channels\n", WebSocketManager::kMaxChannels);
    return 2;
  }
  std::vector<int> formats;
  for (int i = 3; i < argc; ++i) {
    const std::string format = argv[i];
    if (format != "0" && format != "1") {
      std::fprintf(stderr, "event_fanout: FORMAT is 0 (XML as is) or 1 (converted to JSON): %s\n", argv[i]);
      return 2;
    }
    formats.push_back(format[0] - '0');
  }
  if (formats.empty()) formats = {0, 1};

  WebSocketManager manager([] { return channelFormat.load(); });
  // Keep-alive off: its control event would come between the events.
  manager.addRoute("1.0/Events/all", std::make_shared<HCServiceProxyWebSocketListenerFactory>(
                                         false, *MessageDispatcher::getInstance(), nullptr));

  bool ok = true;
  for (int format : formats) ok = runRound(manager, format, events, count) && ok;
  std::printf("event fan-out: %s\n", ok ? "every event reached every channel in order" : "FAILED");
  return ok ? 0 : 1;
}
