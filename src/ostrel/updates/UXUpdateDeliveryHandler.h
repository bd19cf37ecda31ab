#pragma once

// Receives the store's announcement of a downloaded UX update package on
// "event://KivraStore/UXUpdate" and starts an update with activation.

#include <atomic>
#include <memory>

#include "ostrel/services/UpdateService.h"
#include "tessaro/IMessageSink.h"

class MessageDispatcher;

class _UXUpdateDeliveryHandler : public IMessageSink {
 public:
  static constexpr const char* kTopic = "event://KivraStore/UXUpdate";

  // Subscribes with `dispatcher`; starts its updates with `updates`.
  _UXUpdateDeliveryHandler(MessageDispatcher& dispatcher, UpdateService& updates)
      : dispatcher_(dispatcher), updates_(updates) {}
  // Still subscribed, it unsubscribes: no delivery may reach a handler that is gone.
  ~_UXUpdateDeliveryHandler() override;

  // 0, or 2 (logged) when the dispatcher refuses.
  int subscribe();
  int unsubscribe();

  // IMessageSink
  void onMessage(uint64_t tag, const LocalMessagePtr& message) override;

 private:
  MessageDispatcher& dispatcher_;
  UpdateService& updates_;
  std::atomic<bool> subscribed_{false};
};
