#pragma once

#include <memory>
#include <string>
#include <vector>

namespace bizl {

// One event for the host's dispatcher: its topic and its text (XML or JSON).
struct DemoEvent {
  std::string topic;
  std::string text;
};

// Publishes events on the host's event topics, away from the thread that asks.
class EventPublisher {
 public:
  virtual ~EventPublisher() = default;

  // Publishes the events in order, one interval apart, the first one interval
  // from now, or from the last event still waiting on one of their topics: the
  // sequences of a topic follow each other whole. `key` names the sequence for
  // cancel.
  virtual void schedule(const std::string& key, const std::vector<DemoEvent>& events) = 0;
  // Drops the events of `key` not published yet; returns how many were dropped.
  virtual size_t cancel(const std::string& key) = 0;
};

using EventPublisherPtr = std::shared_ptr<EventPublisher>;

}  // namespace bizl
