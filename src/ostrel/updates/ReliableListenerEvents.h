#pragma once

// The plug-in's reliable-event listener as the UX update's event source, bound
// by the start sequence once the listener's format is set.

#include "ostrel/channels/ReliableHCListener.h"
#include "ostrel/updates/ReliableEventSource.h"

class ReliableListenerEvents : public ReliableEventSource {
 public:
  explicit ReliableListenerEvents(ReliableHCListener& listener) : listener_(listener) {}

  int eventsFormat() const override;
  std::string takePending(const std::string& name) override;

 private:
  ReliableHCListener& listener_;
};
