#pragma once

#include <memory>
#include <string>

#include "tessaro/CommonMessageProperties.h"
#include "tessaro/ISerializable.h"

// A message delivered inside the process by the MessageDispatcher.
class LocalMessage {
 public:
  explicit LocalMessage(const CommonMessageProperties& properties) : properties_(properties) {}

  void setPayload(const ISerializablePtr& payload) { payload_ = payload; }
  const ISerializablePtr& getPayload() const { return payload_; }

  const std::string& getTargetTopic() const { return properties_.getTargetTopic(); }
  const std::string& getReplyTopic() const { return properties_.getReplyTopic(); }
  const std::string& getMessageType() const { return properties_.getMessageType(); }
  const CommonMessageProperties& getProperties() const { return properties_; }

 private:
  CommonMessageProperties properties_;
  ISerializablePtr payload_;
};

using LocalMessagePtr = std::shared_ptr<LocalMessage>;
