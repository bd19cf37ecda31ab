#pragma once

// The listener of a browser event channel: subscribed to a host event topic, it
// forwards every event text to its channel; with keep-alive, a thread of its own
// sends the control event at a fixed interval while the channel lives, so that a
// browser that went away is noticed.

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>

#include "ostrel/channels/WebSocketListener.h"
#include "tessaro/IMessageSink.h"

class MessageDispatcher;

class HCServiceProxyWebSocketListener : public WebSocketListener, public IMessageSink {
 public:
  static constexpr const char* kControlEvent = "<Event><Type>Control</Type></Event>";

  // Subscribed to `topic` with `dispatcher` for its life.
  HCServiceProxyWebSocketListener(MessageDispatcher& dispatcher, std::string topic, std::string name,
                                  ReliableListener* reliable, bool keepAlive, std::chrono::milliseconds keepAliveInterval);
  ~HCServiceProxyWebSocketListener() override;

  // WebSocketListener
  void onOpen(const std::string& request) override;
  void onClose() override;
  void onAbort() override;
  void senderChanged(const EventChannelPtr& oldSender, const EventChannelPtr& newSender) override;
  void onText(const std::string& text) override;

  // IMessageSink
  void onMessage(uint64_t tag, const LocalMessagePtr& message) override;

  const std::string& topic() const { return topic_; }
  bool keepsAlive() const;

 private:
  void keepAlive(std::chrono::milliseconds interval);
  void stopKeepAlive();

  // Guards keepAliveThread_: the channel's end and the destructor may both stop it.
  mutable std::mutex keepAliveMutex_;
  std::thread keepAliveThread_;
  // Guards stopping_, which ends the keep-alive thread's wait between two events.
  std::mutex stopMutex_;
  std::condition_variable stopSignal_;
  bool stopping_ = false;
  MessageDispatcher& dispatcher_;
  const std::string topic_;
};
