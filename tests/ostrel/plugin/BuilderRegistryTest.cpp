#include "ostrel/services/BuilderRegistry.h"

#include <gtest/gtest.h>

namespace {

class TestFunctor : public Functor, public ReflectiveObject {
 public:
  explicit TestFunctor(std::string tag) : tag_(std::move(tag)) {}
  std::string operator()(std::map<std::string, std::string>, const std::string&, const std::string&) override {
    return tag_;
  }

 private:
  std::string tag_;
};

class NotAFunctor : public ReflectiveObject {};

class NamedBuilder : public Builder {
 public:
  NamedBuilder(std::string name, std::string tag) : name_(std::move(name)), tag_(std::move(tag)) {}
  std::string name() const override { return name_; }
  std::unique_ptr<ReflectiveObject> create(const FunctorContext&) const override {
    return std::make_unique<TestFunctor>(tag_);
  }

 private:
  std::string name_, tag_;
};

class WrongKindBuilder : public Builder {
 public:
  std::string name() const override { return "WrongKind"; }
  std::unique_ptr<ReflectiveObject> create(const FunctorContext&) const override {
    return std::make_unique<NotAFunctor>();
  }
};

std::string call(const FunctorPtr& functor) { return (*functor)({}, "", ""); }

TEST(BuilderRegistryTest, DuplicateNameKeepsTheFirstBuilder) {
  BuilderRegistry registry;
  EXPECT_EQ(0, registry.add(std::make_unique<NamedBuilder>("A", "first")));
  EXPECT_EQ(1, registry.add(std::make_unique<NamedBuilder>("B", "b")));
  const Builder* first = registry.builderAt(0);
  EXPECT_EQ(0, registry.add(std::make_unique<NamedBuilder>("A", "second")));
  EXPECT_EQ(first, registry.builderAt(0));
  EXPECT_EQ(nullptr, registry.builderAt(2));
  EXPECT_EQ("first", call(registry.create("A")));
  EXPECT_EQ("b", call(registry.create("B")));
}

TEST(BuilderRegistryTest, FullTableRefusesTheTwentyFirstName) {
  BuilderRegistry registry;
  for (int i = 0; i < BuilderRegistry::kSlots; ++i)
    ASSERT_EQ(i, registry.add(std::make_unique<NamedBuilder>("F" + std::to_string(i), "")));
  EXPECT_EQ(20, registry.add(std::make_unique<NamedBuilder>("F20", "")));
  EXPECT_EQ(nullptr, registry.create("F20"));
  // A name already present is still found in a full table.
  EXPECT_EQ(19, registry.add(std::make_unique<NamedBuilder>("F19", "")));
}

TEST(BuilderRegistryTest, UnknownNamesAndNonFunctorsGiveNull) {
  BuilderRegistry registry;
  registry.add(std::make_unique<NamedBuilder>("A", "a"));
  registry.add(std::make_unique<WrongKindBuilder>());
  EXPECT_EQ(nullptr, registry.create("Missing"));
  EXPECT_EQ(nullptr, registry.create("a"));  // names are case-sensitive
  EXPECT_EQ(nullptr, registry.create("WrongKind"));
  // An empty slot counts as the empty name and yields null.
  EXPECT_EQ(nullptr, registry.create(""));
  // A base builder has the empty name and creates nothing.
  EXPECT_EQ(2, registry.add(std::make_unique<Builder>()));
  EXPECT_EQ(nullptr, registry.create(""));
}

}  // namespace
