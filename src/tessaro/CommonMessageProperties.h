#pragma once

#include <map>
#include <string>

#include "tessaro/UUId.h"

// The addressing of a message, filled field by field before a LocalMessage is
// made from it.
class CommonMessageProperties {
 public:
  void setMessageType(const std::string& type) { messageType_ = type; }
  void setTargetTopic(const std::string& topic) { targetTopic_ = topic; }
  void setReplyTopic(const std::string& topic) { replyTopic_ = topic; }
  void setPriority(int priority) { priority_ = priority; }
  void setMessageId(const UUId& id) { messageId_ = id; }
  void setProperty(const std::string& name, const std::string& value) { properties_[name] = value; }

  const std::string& getMessageType() const { return messageType_; }
  const std::string& getTargetTopic() const { return targetTopic_; }
  const std::string& getReplyTopic() const { return replyTopic_; }
  int getPriority() const { return priority_; }
  const UUId& getMessageId() const { return messageId_; }
  // Empty when the property was never set.
  std::string getProperty(const std::string& name) const {
    auto it = properties_.find(name);
    return it == properties_.end() ? std::string() : it->second;
  }
  bool hasProperty(const std::string& name) const { return properties_.count(name) != 0; }

 private:
  std::string messageType_;
  std::string targetTopic_;
  std::string replyTopic_;
  int priority_ = 0;
  UUId messageId_;
  std::map<std::string, std::string> properties_;
};
