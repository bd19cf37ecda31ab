#pragma once

// Functor builders by class name: twenty slots, filled from slot 0 upward while
// the library loads and never emptied; read without locks afterwards.

#include <array>
#include <memory>
#include <string>

#include "ostrel/services/Functor.h"
#include "ostrel/services/FunctorContext.h"
#include "ostrel/services/ReflectiveObject.h"

class Builder {
 public:
  virtual ~Builder() = default;
  // The class name of what create() makes.
  virtual std::string name() const { return ""; }
  // A new object, given what the running plug-in offers it.
  virtual std::unique_ptr<ReflectiveObject> create(const FunctorContext& context) const {
    (void)context;
    return nullptr;
  }
};

class BuilderRegistry {
 public:
  static constexpr int kSlots = 20;

  // The process-wide registry: its builders register themselves while the
  // library loads, before any object could hand it to them.
  static BuilderRegistry& instance();

  // The index of the slot that now holds `builder`'s name: the first empty slot,
  // or the slot that already has that name (the new builder is dropped then).
  // kSlots when every slot holds another name.
  int add(std::unique_ptr<Builder> builder);

  // A new functor of that class, or null when no builder has the name or the
  // object it makes is not a Functor.
  FunctorPtr create(const std::string& className, const FunctorContext& context = {}) const;

  const Builder* builderAt(int slot) const;

 private:
  std::array<std::unique_ptr<Builder>, kSlots> slots_;
};

// Registers a builder while the library loads:
//   static RegisterBuilder<BuilderHCServiceProxyFunctor> registration;
template <typename B>
struct RegisterBuilder {
  RegisterBuilder() { BuilderRegistry::instance().add(std::make_unique<B>()); }
};
