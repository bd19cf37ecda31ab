#pragma once

// Reliable events: each goes to the first open channel whose name is the event's
// name and counts as delivered once that channel has written it to its socket
// (the browser confirms nothing); until then it stays pending under its name. The
// events of a name go out one at a time, oldest first, each after the one before
// was written, and no lock is held while a channel writes. Each pending event is
// handed out once: to the next channel of that name that opens, or to a service
// that takes it; the pending events of a name are bounded (Limits), past which the
// oldest go. At stop the pending web-link events are saved for the business
// logic's next start.

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

  // Bounds on the pending events of one name, which only a name that nothing
  // takes comes near: the normal flow keeps a few small events at most. Past
  // either bound the oldest are dropped with a WARNING; the newest is always kept.
  struct Limits {
    size_t maxEvents = 1000;
    size_t maxBytes = 16 * 1024 * 1024;  // of their texts
  };

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

  // Applies to the events that become pending from now on.
  void setLimits(const Limits& limits);

  size_t pendingCount(const std::string& name) const;
  // Registered listeners of that name.
  size_t registeredCount(const std::string& name) const;

 private:
  struct Pending {
    std::list<Event> events;  // oldest first
    size_t bytes = 0;         // of their messages
  };
  // Shared with the channels' reports, which may come after this listener is gone.
  struct Store {
    // Guards everything below.
    std::mutex mutex;
    Limits limits;
    std::map<std::string, Pending> pending;
    std::set<std::string> inFlight;  // names whose oldest event a channel is writing
    // Not owned: a channel removes its listener when it ends.
    std::set<WebSocketListener*> registry;
  };
  using StorePtr = std::shared_ptr<Store>;

  static void deliver(const StorePtr& store, const std::string& name);
  static void written(const StorePtr& store, const std::string& name, Event event, bool wasWritten);
  // Takes the event into the pending ones of its name, at the back or (an event
  // that could not be written) the front, and drops the oldest past the limits;
  // under the store's mutex. The WARNING text of what was dropped, or empty.
  static std::string keep(Store& store, const std::string& name, Event event, bool asOldest);

  const StorePtr store_ = std::make_shared<Store>();
};
