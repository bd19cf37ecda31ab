#pragma once

// One browser's event channel once its handshake has been answered. It owns the
// connection taken from the engine and a thread of its own, which writes the
// queued texts as frames, reads what the browser sends (RFC 6455: close, ping
// and text frames; the early drafts: only whether it is still there) and ends
// the channel when the browser goes, stops taking bytes, or is asked to stop.
// No engine worker is held while a channel is open.

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "ostrel/channels/ChannelHandshake.h"
#include "ostrel/channels/EventChannel.h"
#include "ostrel/channels/FrameReader.h"
#include "ostrel/web/OutputFormat.h"

struct Connection;
class WebSocketListener;

class Channel : public EventChannel {
 public:
  struct Limits {
    // A browser that has taken no byte for this long while output waits is gone.
    std::chrono::milliseconds stall{15000};
    // Bytes of texts queued behind the one being written; a browser this far
    // behind is gone.
    size_t maxQueuedBytes = 4 * 1024 * 1024;
  };

  // Every text is rendered in `outputFormat` before it is framed. Texts posted
  // before the channel starts wait in its queue.
  Channel(OutputFormat outputFormat, std::shared_ptr<WebSocketListener> listener, std::string rawRequest,
          Limits limits);
  ~Channel() override;
  Channel(const Channel&) = delete;
  Channel& operator=(const Channel&) = delete;

  // Takes `detached` (from mg_detach_connection) for its own and runs the
  // channel on its own thread; `ended` is its last call there.
  void start(Connection* detached, WireProtocol protocol, std::function<void()> ended);
  // For a channel that never starts: queued texts fail, later posts fail at
  // once, and the listener is let go.
  void abandon();
  // Waits for the thread to finish.
  void join();

  // EventChannel
  void post(const std::string& text, Written written = nullptr) override;
  bool postAndWait(const std::string& text) override;
  void stop() override;
  // True once the channel has ended or is ending: nothing posted now is written.
  bool ended() const override;

  // How much of the browser's input one look reads (in 4 KiB reads) before
  // the channel turns to its queue again.
  static constexpr int kMaxChunksPerRead = 16;
  // Control frames owed to the browser (pongs) beyond which its input is no
  // longer read: a browser that pings and never reads must not grow them.
  static constexpr size_t kMaxControlBytes = 64 * 1024;

 private:
  struct Item {
    std::string text;
    Written written;
  };
  enum class End { kPeerGone, kStopped, kStalled, kOverflow, kProtocolError };

  void run();
  bool opened();
  End serve();
  void finish(End end);
  bool takeNextItem(End& end);
  bool readInput(End& end);
  bool handleFrames(End& end);
  bool writeOutput();
  int waitMilliseconds() const;
  void appendControl(const std::string& frame);
  void closeConnection(End end);
  void failQueued();
  void release();
  void wake();

  Connection* connection_ = nullptr;  // set by start, before the thread runs
  WireProtocol protocol_ = WireProtocol::kDraft;
  const OutputFormat outputFormat_;
  std::shared_ptr<WebSocketListener> listener_;  // released when the channel ends
  const std::string rawRequest_;
  const Limits limits_;
  int wakeFd_;  // readable when the queue changed or a stop was asked

  mutable std::mutex mutex_;  // guards queue_, queuedBytes_, stopAsked_, overflow_
  std::deque<Item> queue_;
  size_t queuedBytes_ = 0;
  bool stopAsked_ = false;
  bool overflow_ = false;
  std::atomic<bool> ended_{false};

  // The channel thread's own state.
  std::string current_;  // the frame being written
  size_t currentWritten_ = 0;
  Written currentDone_;
  std::string control_;  // control frames, written between two texts
  size_t controlWritten_ = 0;
  std::string closeFrame_;  // the close frame to end with, when one is owed
  std::chrono::steady_clock::time_point lastProgress_;
  FrameReader frames_;

  std::function<void()> endedCallback_;
  std::mutex joinMutex_;  // guards the join of thread_
  std::thread thread_;
};
