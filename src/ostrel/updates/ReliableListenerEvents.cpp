#include "ostrel/updates/ReliableListenerEvents.h"

int ReliableListenerEvents::eventsFormat() const { return listener_.outputFormat(); }

std::string ReliableListenerEvents::takePending(const std::string& name) {
  return listener_.takePending(name);
}
