#pragma once

// What an event listener sends through: the open channel of one browser.

#include <functional>
#include <memory>
#include <string>

class EventChannel {
 public:
  virtual ~EventChannel() = default;

  // Hears whether a queued text was written whole (true), or never will be.
  using Written = std::function<void(bool written)>;

  // Queues a text, framed in the channel's format when its turn comes;
  // returns at once. Once the channel has ended the text is dropped and
  // `written` hears false at once.
  virtual void post(const std::string& text, Written written = nullptr) = 0;
  // Queues a text and waits until the channel has written it (true), or
  // failed on it or ended (false).
  virtual bool postAndWait(const std::string& text) = 0;
  // Asks the channel to end.
  virtual void stop() = 0;
  virtual bool ended() const = 0;
};

using EventChannelPtr = std::shared_ptr<EventChannel>;
