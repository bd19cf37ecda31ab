#pragma once

// Reliable events: each goes to the first open channel whose name is the event's
// name and counts as delivered once that channel has written it; otherwise it
// waits, pending under its name, for a channel of that name to open. At stop the
// pending web-link events are saved for the business logic's next start.

#include <list>
#include <map>
#include <mutex>
#include <set>
#include <string>

#include "ostrel/websocket/Event.h"

class WebSocketListener;

class ReliableListener {
 public:
  // Under the data path, for the business logic to read at its next start.
  static constexpr const char* kEventsFile = "/bootstrap/ostrel_events.xml";

  ReliableListener() = default;
  virtual ~ReliableListener() = default;
  ReliableListener(const ReliableListener&) = delete;
  ReliableListener& operator=(const ReliableListener&) = delete;

  // Holds the lock while the channel writes, so events go out one at a time in
  // order of arrival.
  void dispatch(const std::string& name, const Event& event);
  // Posts the oldest pending event of the listener's name (dropping the others)
  // and registers the listener.
  void addListener(WebSocketListener* listener);
  void removeListener(WebSocketListener* listener);
  // The oldest pending event's message of that name, empty when there is none;
  // every pending event of the name is dropped.
  std::string takePending(const std::string& name);
  // Writes the pending web-link events to "Directories/VarPath" + kEventsFile.
  void savePending();

  size_t pendingCount(const std::string& name) const;
  // Registered listeners of that name.
  size_t registeredCount(const std::string& name) const;

 private:
  // Guards pending_ and registry_.
  mutable std::mutex mutex_;
  std::map<std::string, std::list<Event>> pending_;
  // Not owned: a channel removes its listener when it ends.
  std::set<WebSocketListener*> registry_;
};
