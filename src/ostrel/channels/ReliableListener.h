#pragma once

// Reliable events: each goes to the first open channel whose name is the event's
// name and counts as delivered once that channel has written it; until then it
// stays pending under its name. The events of a name go out one at a time, oldest
// first, each after the one before was written, and no lock is held while a
// channel writes. No event is dropped: the pending events of a name go to the
// next channel of that name that opens, or one by one to the services that take
// them; at stop the pending web-link events are saved for the business logic's
// next start.

#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include "ostrel/channels/Event.h"

class WebSocketListener;

class ReliableListener {
 public:
  // Under the data path, for the business logic to read at its next start.
  static constexpr const char* kEventsFile = "/bootstrap/ostrel_events.xml";

  ReliableListener() = default;
  virtual ~ReliableListener() = default;
  ReliableListener(const ReliableListener&) = delete;
  ReliableListener& operator=(const ReliableListener&) = delete;

  // Queues the event under its name and hands it to an open channel of that
  // name if there is one; never waits for the channel.
  void dispatch(const std::string& name, const Event& event);
  // Registers the listener and hands its channel the pending events of its name.
  void addListener(WebSocketListener* listener);
  void removeListener(WebSocketListener* listener);
  // The oldest pending event's message of that name, which is then delivered;
  // empty when there is none.
  std::string takePending(const std::string& name);
  // Writes the pending web-link events to the host's data path ("Directories/
  // VarPath") + kEventsFile; nothing without a data path.
  void savePending(const std::string& dataPath);

  size_t pendingCount(const std::string& name) const;
  // Registered listeners of that name.
  size_t registeredCount(const std::string& name) const;

 private:
  // Shared with the channels' reports, which may come after this listener is gone.
  struct Store {
    // Guards everything below.
    std::mutex mutex;
    std::map<std::string, std::list<Event>> pending;  // oldest first
    std::set<std::string> inFlight;  // names whose oldest event a channel is writing
    // Not owned: a channel removes its listener when it ends.
    std::set<WebSocketListener*> registry;
  };
  using StorePtr = std::shared_ptr<Store>;

  static void deliver(const StorePtr& store, const std::string& name);
  static void written(const StorePtr& store, const std::string& name, Event event, bool wasWritten);

  const StorePtr store_ = std::make_shared<Store>();
};
