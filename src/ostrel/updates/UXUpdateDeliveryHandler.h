#pragma once

// Receives the store's announcement of a downloaded UX update package on
// "event://KivraStore/UXUpdate" and starts an update with activation.

#include <atomic>
#include <memory>

#include "ostrel/updates/UXUpdateManager.h"
#include "tessaro/IMessageSink.h"

class _UXUpdateDeliveryHandler : public IMessageSink {
 public:
  static constexpr const char* kTopic = "event://KivraStore/UXUpdate";

  // The process-wide handler that the start sequence subscribes.
  static _UXUpdateDeliveryHandler& instance();

  // Without a manager updates go to the process-wide one, looked up at delivery.
  explicit _UXUpdateDeliveryHandler(UXUpdateManagerPtr manager = nullptr) : manager_(std::move(manager)) {}
  // Still subscribed, it unsubscribes: no delivery may reach a handler that is gone.
  ~_UXUpdateDeliveryHandler() override;

  // 0, or 2 (logged) when the dispatcher refuses.
  int subscribe();
  int unsubscribe();

  // IMessageSink
  void onMessage(uint64_t tag, const LocalMessagePtr& message) override;

 private:
  UXUpdateManagerPtr manager_;
  std::atomic<bool> subscribed_{false};
};
