#pragma once

// The per-request wrapper of an engine connection: what the receivers know of
// the request beyond its URI and parameters. An event channel turns it into a
// WebSocket: `run` answers the handshake on the engine worker thread and then
// writes, one frame each, the texts that other threads queue, until the channel
// ends. Only `run`'s thread touches the connection once the channel is up.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <string>

#include "ostrel/web/MessageSender.h"

struct Connection;
class FrameReader;
class WebSocketListener;

class Socket : public MessageSender {
 public:
  // `wsTimeout` is accepted and has no effect: channels have no inactivity time-out.
  Socket(Connection* connection, int wsTimeout);
  ~Socket() override;

  // MessageSender. Frames the text and writes it now; for `run`'s thread only.
  // The bytes written, or -1.
  int send(std::string text) override;

  // Answers the handshake and serves the channel until it ends.
  virtual void run(const std::string& uri);
  // Queues a text; dropped once the channel has ended.
  virtual void post(const std::string& text);
  // Queues a text and waits until the channel has written it (true), or failed on
  // it or ended before (false).
  virtual bool postAndWait(const std::string& text);
  // Asks the channel to end.
  void stop();
  void setListener(const std::shared_ptr<WebSocketListener>& listener);
  bool ended() const { return ended_; }

  void setRequestData(const std::string& rawRequest, int requestLength, int dataLength);
  // The first value of a name is kept when a request repeats it.
  void addHeader(const std::string& name, const std::string& value);

  int outputFormat() const { return outputFormat_; }
  void setOutputFormat(int format) { outputFormat_ = format; }

  const std::string& rawRequest() const { return rawRequest_; }
  int requestLength() const { return requestLength_; }
  int dataLength() const { return dataLength_; }
  // Exact name; empty when absent.
  std::string header(const std::string& name) const;
  const std::map<std::string, std::string>& headers() const { return headers_; }

  Connection* connection() const { return connection_; }

  // How often a waiting channel looks at the engine's stop and, on RFC 6455
  // channels, at what the browser sent.
  static constexpr std::chrono::milliseconds kIdleCheck{100};
  // How much a channel reads of the browser's input (in 4 KiB reads) before it
  // looks at its queue again.
  static constexpr int kMaxChunksPerRead = 16;

 private:
  enum Kind { kStop = 0, kSend = 1, kSendAndReport = 2 };
  struct Report {
    bool done = false;
    bool written = false;
  };
  struct Item {
    int kind;
    std::string text;
    std::shared_ptr<Report> report;  // kind 2 only
  };
  enum class Next { kItem, kPeerGone, kEngineStopping };

  bool handshake(const std::string& uri);
  bool originsAreLocal() const;
  std::string headerAnyCase(const std::string& name) const;
  void serve();
  Next nextItem(Item& item);
  bool peerAlive(bool handleFrames = true);
  bool readFrames(bool handleFrames);
  bool handleReadFrames();
  void append(Item item);
  void report(const Item& item, bool written);
  void markEnded();
  void closeChannel(bool goingAway);
  bool engineStopping() const;
  int64_t writeAll(const std::string& bytes);

  std::list<Item> outbox_;
  std::shared_ptr<WebSocketListener> listener_;  // released when the channel ends
  std::mutex queueMutex_;  // guards outbox_
  std::condition_variable queueCondition_;
  std::mutex reportMutex_;  // guards the reports of queued items; ended_ changes under it
  std::condition_variable reportCondition_;
  std::atomic<bool> ended_{false};
  std::atomic<int> outputFormat_;
  std::string rawRequest_;
  int requestLength_ = 0;
  int dataLength_ = 0;
  std::map<std::string, std::string> headers_;
  Connection* connection_;
  // RFC 6455 channel state, `run`'s thread only.
  bool rfc6455_ = false;
  std::unique_ptr<FrameReader> frames_;
};

using SocketPtr = std::shared_ptr<Socket>;
