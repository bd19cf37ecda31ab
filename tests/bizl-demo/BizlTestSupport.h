#pragma once

// Drives the demo business logic the way the Ostrel plug-in does: through the
// host's dispatcher, with HCI::HandlerHelper::sendAndWait, and listens to the
// event topics it publishes on.

#include <chrono>
#include <condition_variable>
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

constexpr const char* kAllEvents = "event:/KivraServices/KivraBusinessLogic/v1_0/*";
constexpr const char* kReliableEvents = "event:/KivraServices/KivraBusinessLogic/Reliable/v1_0/*";

}  // namespace bizltest
