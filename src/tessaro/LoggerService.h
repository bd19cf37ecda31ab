#pragma once

// The host's logger service: answers "GET_LOGGER_QUEUE" on "target:/KivraLogger"
// with the shared line queue and writes every queued line to its output on a
// consumer thread of its own.

#include <cstdio>
#include <string>
#include <thread>

#include "tessaro/IMessageSink.h"
#include "tessaro/LogLineQueue.h"

class LoggerService : public IMessageSink {
 public:
  static constexpr const char* kTopic = "target:/KivraLogger";
  static constexpr const char* kQueueRequest = "GET_LOGGER_QUEUE";

  // Writes to `output` (not owned, not closed). With `readable` the 0x0B field
  // separators are written as tabs, for a terminal.
  LoggerService(FILE* output, bool readable);
  ~LoggerService() override;

  // Subscribes and starts the consumer; false when already started.
  bool start();
  // Unsubscribes, writes what is still queued and ends the consumer.
  void stop();

  const LogLineQueuePtr& queue() const { return queue_; }
  // Appends a line from the host itself, formatted by the caller.
  void append(const std::string& line);

  // IMessageSink
  void onMessage(uint64_t tag, const LocalMessagePtr& message) override;

 private:
  void consume();
  void write(const std::string& line);

  FILE* output_;
  bool readable_;
  LogLineQueuePtr queue_;
  std::thread consumer_;
  bool started_ = false;
};
