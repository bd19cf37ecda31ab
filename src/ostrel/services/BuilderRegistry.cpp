#include "ostrel/services/BuilderRegistry.h"

BuilderRegistry& BuilderRegistry::instance() {
  static BuilderRegistry registry;
  return registry;
}

int BuilderRegistry::add(std::unique_ptr<Builder> builder) {
  const std::string name = builder ? builder->name() : std::string();
  for (int slot = 0; slot < kSlots; ++slot) {
    if (!slots_[slot]) {
      slots_[slot] = std::move(builder);
      return slot;
    }
    if (slots_[slot]->name() == name) return slot;
  }
  return kSlots;
}

FunctorPtr BuilderRegistry::create(const std::string& className, const FunctorContext& context) const {
  for (int slot = 0; slot < kSlots; ++slot) {
    const std::string name = slots_[slot] ? slots_[slot]->name() : std::string();
    if (name != className) continue;
    if (!slots_[slot]) return nullptr;
    std::unique_ptr<ReflectiveObject> object = slots_[slot]->create(context);
    auto* functor = dynamic_cast<Functor*>(object.get());
    if (!functor) return nullptr;
    object.release();
    return FunctorPtr(functor);
  }
  return nullptr;
}

const Builder* BuilderRegistry::builderAt(int slot) const {
  return slot >= 0 && slot < kSlots ? slots_[slot].get() : nullptr;
}
