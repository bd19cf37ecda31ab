#pragma once

// A record that describes its own fields, in order, to a FieldVisitor: the base
// of every type written and read with the reflective XML and JSON forms.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ostrel/services/ReflectiveObject.h"

class ReflectiveRecord;
class SequenceAccess;

class FieldVisitor {
 public:
  virtual ~FieldVisitor() = default;
  virtual void field(const std::string& name, std::string& value) = 0;
  virtual void field(const std::string& name, int32_t& value) = 0;
  virtual void field(const std::string& name, bool& value) = 0;
  virtual void record(const std::string& name, ReflectiveRecord& value) = 0;
  // A sequence field; its name gives the container and item names.
  virtual void sequence(const std::string& name, SequenceAccess& items) = 0;
};

class ReflectiveRecord : public ReflectiveObject {
 public:
  virtual std::string typeName() const = 0;
  // Visits every field in order; readers assign through the references.
  virtual void visitFields(FieldVisitor& visitor) = 0;
};

// A sequence field seen by visitors: its items are visited one by one under the
// item name.
class SequenceAccess {
 public:
  virtual ~SequenceAccess() = default;
  virtual size_t size() const = 0;
  virtual void resize(size_t count) = 0;
  virtual void visitItem(size_t index, const std::string& itemName, FieldVisitor& visitor) = 0;
};

inline void visitValue(FieldVisitor& v, const std::string& name, std::string& value) { v.field(name, value); }
inline void visitValue(FieldVisitor& v, const std::string& name, int32_t& value) { v.field(name, value); }
inline void visitValue(FieldVisitor& v, const std::string& name, bool& value) { v.field(name, value); }
inline void visitValue(FieldVisitor& v, const std::string& name, ReflectiveRecord& value) { v.record(name, value); }

template <typename T>
class VectorAccess : public SequenceAccess {
 public:
  explicit VectorAccess(std::vector<T>& items) : items_(items) {}
  size_t size() const override { return items_.size(); }
  void resize(size_t count) override { items_.resize(count); }
  void visitItem(size_t index, const std::string& itemName, FieldVisitor& visitor) override {
    visitValue(visitor, itemName, items_[index]);
  }

 private:
  std::vector<T>& items_;
};

template <typename T>
void visitValue(FieldVisitor& v, const std::string& name, std::vector<T>& items) {
  VectorAccess<T> access(items);
  v.sequence(name, access);
}
