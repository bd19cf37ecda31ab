#pragma once

#include <cstdint>

#include "tessaro/LocalMessage.h"

// A receiver the MessageDispatcher delivers to, on one of its own threads.
class IMessageSink {
 public:
  virtual ~IMessageSink() = default;
  // `tag` is non-zero and distinct for every delivery.
  virtual void onMessage(uint64_t tag, const LocalMessagePtr& message) = 0;
};
