#pragma once

#include "tessaro/ISerializable.h"
#include "tessaro/LogLineQueue.h"

// The logger service's answer to "GET_LOGGER_QUEUE": the shared line queue.
class KivraLoggerQueueData : public ISerializable {
 public:
  explicit KivraLoggerQueueData(LogLineQueuePtr queue) : queue_(std::move(queue)) {}
  std::string getTypeName() const override { return "KivraLoggerQueueData"; }
  const LogLineQueuePtr& getQueue() const { return queue_; }

 private:
  LogLineQueuePtr queue_;
};
