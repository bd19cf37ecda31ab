#pragma once

// What an event channel tells about its life, and who it sends through. A
// listener given a reliable-event listener takes part in reliable delivery under
// its name (the route's last part, such as "all" or "inAppPurchase") while its
// channel is open.

#include <memory>
#include <mutex>
#include <string>

#include "ostrel/channels/EventChannel.h"

class ReliableListener;

class WebSocketListener {
 public:
  // `reliable`: the reliable-event listener to register with; none for a
  // listener without the reliable flag.
  WebSocketListener(std::string name, ReliableListener* reliable);
  virtual ~WebSocketListener() = default;
  WebSocketListener(const WebSocketListener&) = delete;
  WebSocketListener& operator=(const WebSocketListener&) = delete;

  // The channel is up; `request` is the raw request copy.
  virtual void onOpen(const std::string& request);
  // The channel has ended after it was open.
  virtual void onClose();
  // The channel failed before it was open, or by an exception.
  virtual void onAbort();
  virtual void senderChanged(const EventChannelPtr& oldSender, const EventChannelPtr& newSender);
  // A text message from the browser.
  virtual void onText(const std::string& text);
  virtual void setSender(const EventChannelPtr& sender);
  // The channel; null before it is set.
  virtual EventChannelPtr getSender() const;

  const std::string& name() const { return name_; }
  bool reliable() const { return reliable_ != nullptr; }

 private:
  EventChannelPtr sender_;
  ReliableListener* const reliable_;
  // Guards sender_: event threads read it while the manager sets it.
  mutable std::mutex mutex_;
  const std::string name_;
};

using WebSocketListenerPtr = std::shared_ptr<WebSocketListener>;
