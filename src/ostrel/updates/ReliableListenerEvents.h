#pragma once

// The plug-in's reliable-event listener as the UX update's event source. The
// start sequence binds it once the listener exists and its format is set:
//   UXUpdateManager::getInstance()->setReliableEvents(std::make_shared<ReliableListenerEvents>());

#include "ostrel/updates/ReliableEventSource.h"

class ReliableListenerEvents : public ReliableEventSource {
 public:
  int eventsFormat() const override;
  std::string takePending(const std::string& name) override;
};
