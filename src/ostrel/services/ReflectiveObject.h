#pragma once

#include <memory>

// The base of every object that builders create by class name.
class ReflectiveObject {
 public:
  virtual bool isReflective() const { return true; }
  virtual ~ReflectiveObject() = default;
};

using ReflectiveObjectPtr = std::shared_ptr<ReflectiveObject>;
