#pragma once

#include <cstdint>

#include "tessaro/LocalMessage.h"

// A receiver the MessageDispatcher delivers to, on one of its own threads, one
// message at a time.
class IMessageSink {
 public:
  virtual ~IMessageSink() = default;
  // `tag` is non-zero and distinct for every delivery.
  virtual void onMessage(uint64_t tag, const LocalMessagePtr& message) = 0;
  // True for a sink whose onMessage only hands the message over and returns at
  // once (a waiting caller's reply slot): the dispatcher may then deliver on the
  // posting thread and save a hand-over to one of its own.
  virtual bool takesMessagesInline() const { return false; }
};
