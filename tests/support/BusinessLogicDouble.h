#pragma once

// Plays the business-logic plug-in on the real dispatcher: answers every request
// on "target:/KivraBusinessLogic/*" with the next scripted reply (the last one
// again and again) and remembers what it was sent. Without a script it answers
// nothing, as a business logic that is down.

#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tessaro/MessageDispatcher.h"
#include "tessaro/XMLPayload.h"

class BusinessLogicDouble : public IMessageSink {
 public:
  struct Reply {
    std::string type;                 // "SUCCESS", "ERROR", ...
    std::optional<std::string> text;  // no value: a reply without payload
  };
  struct Request {
    std::string type, target, text;  // text "<none>" without a text payload
  };

  static constexpr const char* kTopic = "target:/KivraBusinessLogic/*";

  BusinessLogicDouble() { MessageDispatcher::getInstance()->subscribe(this, kTopic); }
  ~BusinessLogicDouble() override { MessageDispatcher::getInstance()->unsubscribe(this, kTopic); }

  void script(std::vector<Reply> replies) {
    std::lock_guard<std::mutex> lock(mutex_);
    replies_ = std::move(replies);
  }
  void answer(const std::string& type, const std::optional<std::string>& text) { script({{type, text}}); }
  void silence() { script({}); }

  std::vector<Request> requests() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }
  // "TARGET TEXT" of every request, in order.
  std::vector<std::string> documents() const {
    std::vector<std::string> documents;
    for (const Request& r : requests()) documents.push_back(r.target + " " + r.text);
    return documents;
  }

  void onMessage(uint64_t, const LocalMessagePtr& request) override {
    Reply reply;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      auto payload = std::dynamic_pointer_cast<XMLPayload>(request->getPayload());
      requests_.push_back({request->getMessageType(), request->getTargetTopic(), payload ? payload->getXML() : "<none>"});
      if (replies_.empty()) return;
      reply = replies_.front();
      if (replies_.size() > 1) replies_.erase(replies_.begin());
    }
    CommonMessageProperties properties;
    properties.setTargetTopic(request->getReplyTopic());
    properties.setMessageType(reply.type);
    auto message = std::make_shared<LocalMessage>(properties);
    if (reply.text) message->setPayload(std::make_shared<XMLPayload>(*reply.text));
    MessageDispatcher::getInstance()->post(message);
  }

 private:
  mutable std::mutex mutex_;  // guards replies_ and requests_
  std::vector<Reply> replies_;
  std::vector<Request> requests_;
};
