#pragma once

#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>

#include "common/HandlerHelper/WaitStop.h"
#include "tessaro/IMessageSink.h"

namespace HCI {

// A one-shot reply receiver. Constructed with a topic, it subscribes itself to
// that topic; it unsubscribes when destroyed, so a late reply reaches no one.
class MessageHandler : public IMessageSink {
 public:
  explicit MessageHandler(const std::string& topic);
  ~MessageHandler() override;
  MessageHandler(const MessageHandler&) = delete;
  MessageHandler& operator=(const MessageHandler&) = delete;

  // Waits until a reply has arrived, `timeoutSeconds` have passed (-1: no
  // limit) or the wait was cancelled, then hands the reply over (empty on
  // time-out or cancel) and forgets it. A wait that has to block throws
  // WaitStopped as soon as `stop` (when given) is requested, also when it was
  // requested before.
  LocalMessagePtr waitForReply(int timeoutSeconds, WaitStop* stop = nullptr);
  // No reply will come: a wait ends at once, empty.
  void cancel();

  const std::string& topic() const { return topic_; }

  // IMessageSink. A message of the type MessageDispatcher::kNoReplyType is
  // the host's word that no reply will come.
  void onMessage(uint64_t tag, const LocalMessagePtr& message) override;
  // Stores the reply and wakes the caller: nothing that could hold the poster.
  bool takesMessagesInline() const override { return true; }

 private:
  friend class WaitStop;
  // The waiter's stop was requested: a blocking wait ends with WaitStopped.
  void stop();

  uint64_t tag_ = 0;
  LocalMessagePtr message_;
  bool cancelled_ = false;
  bool stopped_ = false;
  std::mutex mutex_;  // guards tag_, message_, cancelled_ and stopped_
  std::condition_variable arrived_;
  std::string topic_;
};

using MessageHandlerPtr = std::shared_ptr<MessageHandler>;

}  // namespace HCI
