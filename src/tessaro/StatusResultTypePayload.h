#pragma once

#include <map>
#include <memory>
#include <string>

#include "tessaro/ISerializable.h"

// A status as plug-ins exchange it: a code and a message, and optional string
// properties a sender may attach (for example the "filename" of an update).
class StatusResultTypePayload : public ISerializable {
 public:
  std::string getTypeName() const override { return "Status"; }

  std::string version;
  int32_t statusCode = 0;
  std::string statusMessage;
  // Absent unless the sender set properties.
  std::shared_ptr<std::map<std::string, std::string>> properties;
};

using StatusResultTypePayloadPtr = std::shared_ptr<StatusResultTypePayload>;
