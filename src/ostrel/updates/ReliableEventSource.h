#pragma once

// What the UX update needs of the reliable-event listener: the format in which
// the business logic sends events (2 is JSON, anything else XML), which is also
// the format of its agent replies, and the oldest pending event of a name.

#include <memory>
#include <string>

class ReliableEventSource {
 public:
  virtual ~ReliableEventSource() = default;
  virtual int eventsFormat() const = 0;
  // The oldest pending event text of the name; empty when none.
  virtual std::string takePending(const std::string& name) = 0;
};

using ReliableEventSourcePtr = std::shared_ptr<ReliableEventSource>;

// Until the real listener is bound: no pending events, XML.
class NoReliableEvents : public ReliableEventSource {
 public:
  int eventsFormat() const override { return 0; }
  std::string takePending(const std::string&) override { return ""; }
};
