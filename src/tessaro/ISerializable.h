#pragma once

#include <memory>
#include <string>

// The base of every message payload.
class ISerializable {
 public:
  virtual std::string getTypeName() const = 0;
  virtual ~ISerializable() = default;
};

using ISerializablePtr = std::shared_ptr<ISerializable>;
