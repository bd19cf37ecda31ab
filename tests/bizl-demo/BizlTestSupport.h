#pragma once

// Drives the demo business logic the way the Ostrel plug-in does: through the
// host's dispatcher, with HCI::HandlerHelper::sendAndWait, and listens to the
// event topics it publishes on.

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <string>
#include <vector>

#include "bizl-demo/BizlDemoComponent.h"
#include "common/HandlerHelper/HandlerHelper.h"
#include "tessaro/ConfigurationManager.h"
#include "tessaro/MessageDispatcher.h"
#include "tessaro/XMLPayload.h"

namespace bizltest {

struct Answer {
  std::string type;  // "<no reply>" when nothing came back in time
  std::string text;
};

// Sends `document` to "target:/KivraBusinessLogic/" + operation as Ostrel does.
inline Answer ask(const std::string& operation, const std::string& document, int timeoutSeconds = 5) {
  LocalMessagePtr reply = HCI::HandlerHelper::sendAndWait(bizl::BizlDemoComponent::kTopicPrefix + operation, operation,
                                                          std::make_shared<XMLPayload>(document), timeoutSeconds, UUId(), 0);
  if (!reply) return {"<no reply>", ""};
  auto payload = std::dynamic_pointer_cast<XMLPayload>(reply->getPayload());
  return {reply->getMessageType(), payload ? payload->getXML() : "<no XMLPayload>"};
}

inline Answer setOutputFormat(int format) {
  return ask("1.0/Internal/setOutputFormat",
             "<setOutputFormat><OutputFormat>" + std::to_string(format) + "</OutputFormat></setOutputFormat>");
}

// Sets the component's configuration keys; an empty value removes the key.
inline void configure(const std::string& dataRoot, const std::string& eventInterval) {
  ConfigurationManager* configuration = ConfigurationManager::getDefaultInstance(ConfigScopeComponent);
  for (const auto& entry : {std::make_pair(std::string(bizl::BizlDemoComponent::kDataRootKey), dataRoot),
                            std::make_pair(std::string(bizl::BizlDemoComponent::kEventIntervalKey), eventInterval)}) {
    if (entry.second.empty())
      configuration->removeValue(entry.first);
    else
      configuration->setValue(entry.first, entry.second);
  }
}

struct ReceivedEvent {
  std::string topic;
  std::string text;
};

// Records every message on a topic (pattern) until destroyed.
class EventRecorder : public IMessageSink {
 public:
  explicit EventRecorder(std::string topic) : topic_(std::move(topic)) {
    MessageDispatcher::getInstance()->subscribe(this, topic_);
  }
  ~EventRecorder() override { MessageDispatcher::getInstance()->unsubscribe(this, topic_); }

  void onMessage(uint64_t, const LocalMessagePtr& message) override {
    auto payload = std::dynamic_pointer_cast<XMLPayload>(message->getPayload());
    {
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back({message->getTargetTopic(), payload ? payload->getXML() : "<no XMLPayload>"});
    }
    arrived_.notify_all();
  }

  // Waits until `count` events arrived (or `limit` passed) and returns what arrived.
  std::vector<ReceivedEvent> waitFor(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(5)) {
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait_for(lock, limit, [&] { return events_.size() >= count; });
    return events_;
  }

  std::vector<ReceivedEvent> events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }

 private:
  std::string topic_;
  std::mutex mutex_;  // guards events_
  std::condition_variable arrived_;
  std::vector<ReceivedEvent> events_;
};

// Holds threads until opened; a wait gives up after `limit`, so a failing test ends.
class Gate {
 public:
  void open() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      open_ = true;
    }
    opened_.notify_all();
  }
  bool wait(std::chrono::milliseconds limit = std::chrono::seconds(10)) {
    std::unique_lock<std::mutex> lock(mutex_);
    return opened_.wait_for(lock, limit, [&] { return open_; });
  }

 private:
  std::mutex mutex_;  // guards open_
  std::condition_variable opened_;
  bool open_ = false;
};

struct ReceivedReply {
  std::string topic;
  std::string messageId;
  std::string type;
  std::string text;
};

// Posts requests whose reply topics share a prefix and collects the replies.
class ReplyCollector : public IMessageSink {
 public:
  explicit ReplyCollector(std::string prefix) : prefix_(std::move(prefix)) {
    MessageDispatcher::getInstance()->subscribe(this, prefix_ + "*");
  }
  ~ReplyCollector() override { MessageDispatcher::getInstance()->unsubscribe(this, prefix_ + "*"); }

  // Posts `document` with the reply topic prefix + tag and a new message identifier,
  // which it returns; empty when nobody received the request.
  std::string post(const std::string& operation, const std::string& document, const std::string& tag) {
    const UUId id;
    CommonMessageProperties properties;
    properties.setMessageType(operation);
    properties.setTargetTopic(bizl::BizlDemoComponent::kTopicPrefix + operation);
    properties.setReplyTopic(prefix_ + tag);
    properties.setMessageId(id);
    auto message = std::make_shared<LocalMessage>(properties);
    message->setPayload(std::make_shared<XMLPayload>(document));
    return MessageDispatcher::getInstance()->post(message) == 0 ? id.getValue() : std::string();
  }

  void onMessage(uint64_t, const LocalMessagePtr& message) override {
    auto payload = std::dynamic_pointer_cast<XMLPayload>(message->getPayload());
    {
      std::lock_guard<std::mutex> lock(mutex_);
      replies_.push_back({message->getTargetTopic().substr(prefix_.size()), message->getProperties().getMessageId().getValue(),
                          message->getMessageType(), payload ? payload->getXML() : "<no XMLPayload>"});
    }
    arrived_.notify_all();
  }

  std::vector<ReceivedReply> waitFor(size_t count, std::chrono::milliseconds limit = std::chrono::seconds(30)) {
    std::unique_lock<std::mutex> lock(mutex_);
    arrived_.wait_for(lock, limit, [&] { return replies_.size() >= count; });
    return replies_;
  }

  size_t count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return replies_.size();
  }

 private:
  std::string prefix_;
  std::mutex mutex_;  // guards replies_
  std::condition_variable arrived_;
  std::vector<ReceivedReply> replies_;
};

inline size_t threadCount() {
  size_t count = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) {
    (void)entry;
    ++count;
  }
  return count;
}

constexpr const char* kAllEvents = "event:/KivraServices/KivraBusinessLogic/v1_0/*";
constexpr const char* kReliableEvents = "event:/KivraServices/KivraBusinessLogic/Reliable/v1_0/*";

}  // namespace bizltest
