#include "ostrel/updates/ReliableListenerEvents.h"

#include "ostrel/channels/ReliableHCListener.h"

int ReliableListenerEvents::eventsFormat() const { return ReliableHCListener::instance().outputFormat(); }

std::string ReliableListenerEvents::takePending(const std::string& name) {
  return ReliableHCListener::instance().takePending(name);
}
