#pragma once

// The reliable listener of the plug-in: receives the business logic's reliable
// events from the host and dispatches them by the event name in their topic.

#include <atomic>
#include <string>

#include "ostrel/channels/ReliableListener.h"
#include "tessaro/IMessageSink.h"

class MessageDispatcher;

class ReliableHCListener : public ReliableListener, public IMessageSink {
 public:
  static constexpr const char* kTopicPrefix = "event:/KivraServices/KivraBusinessLogic/Reliable/v1_0/";

  // Subscribed to the reliable topic with `dispatcher` for its life.
  explicit ReliableHCListener(MessageDispatcher& dispatcher);
  ~ReliableHCListener() override;

  // The events' format: 2 when the business logic sends JSON, any other value XML.
  void setOutputFormat(int format) { format_ = format; }
  int outputFormat() const { return format_; }

  // IMessageSink
  void onMessage(uint64_t tag, const LocalMessagePtr& message) override;

  // The type of an event text in the given format; empty when it has none.
  static std::string eventType(const std::string& text, int format);
  // The type of a JSON event: the first `"type": *"([^"]+)"` of the text.
  static std::string jsonEventType(const std::string& text);
  // "inAppPurchase" from ".../Reliable/v1_0/inAppPurchase/42".
  static std::string eventName(const std::string& topic);

 private:
  MessageDispatcher& dispatcher_;
  std::atomic<int> format_{0};
};
