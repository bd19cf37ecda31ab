#include "ostrel/xml2json/JsonElement.h"

#include <gtest/gtest.h>

namespace {

TEST(JsonElement, PathsAndParents) {
  auto root = std::make_shared<JsonElement>("response");
  auto app = std::make_shared<JsonElement>("app", root);
  root->addChild(app);
  auto icon = std::make_shared<JsonElement>("icon", app);
  app->addChild(icon);
  EXPECT_EQ(root->path(), ".response");
  EXPECT_EQ(app->path(), ".response.app");
  EXPECT_EQ(icon->path(), ".response.app.icon");
  EXPECT_EQ(icon->parent(), app);
  EXPECT_EQ(root->parent(), nullptr);

  // The parent link does not keep the parent alive.
  std::weak_ptr<JsonElement> watch = root;
  root.reset();
  EXPECT_TRUE(watch.expired());
  EXPECT_EQ(app->parent(), nullptr);
  EXPECT_EQ(app->path(), ".app");
}

TEST(JsonElement, ObjectForms) {
  auto root = std::make_shared<JsonElement>("r");
  EXPECT_EQ(root->toJson(), R"("r":{},)");
  root->addMember(R"("a":"1")");
  root->addMember(R"("b":{})");
  auto child = std::make_shared<JsonElement>("c", root);
  child->addMember(R"("x":"2")");
  root->addChild(child);
  EXPECT_EQ(root->toJson(), R"("r":{"a":"1","b":{},"c":{"x":"2"}},)");

  child->setArrayItem(true);
  EXPECT_EQ(child->toJson(), R"({"x":"2"},)");
  // writeJson appends.
  std::string out = "{";
  child->writeJson(out);
  EXPECT_EQ(out, R"({{"x":"2"},)");
}

TEST(JsonElement, ArrayForm) {
  auto list = std::make_shared<JsonElement>("apps");
  list->addMember(R"("count":"2")");  // not written by an array container
  for (const char* id : {"1", "2"}) {
    auto app = std::make_shared<JsonElement>("app", list);
    app->setArrayItem(true);
    app->addMember(std::string(R"("id":")") + id + "\"");
    list->addChild(app);
  }
  auto other = std::make_shared<JsonElement>("other", list);
  list->addChild(other);
  list->setArray(true);
  EXPECT_EQ(list->toJson(), R"("apps":{"app":[{"id":"1"},{"id":"2"},"other":{}]},)");

  // An array item that is also an array is written as a container.
  list->setArrayItem(true);
  EXPECT_EQ(list->toJson(), R"("apps":{"app":[{"id":"1"},{"id":"2"},"other":{}]},)");
}

TEST(JsonElement, VeryDeepTreesAreWrittenAndFreedWithoutRecursion) {
  const int depth = 300000;
  auto root = std::make_shared<JsonElement>("a");
  JsonElementPtr node = root;
  for (int i = 1; i < depth; ++i) {
    auto child = std::make_shared<JsonElement>("a", node);
    node->addChild(child);
    node = child;
  }
  node.reset();
  const std::string json = root->toJson();
  ASSERT_EQ(json.size(), static_cast<std::size_t>(depth) * 6 + 1);
  EXPECT_EQ(json.substr(0, 10), R"("a":{"a":{)");
  EXPECT_EQ(json.substr(json.size() - 4), "}}},");
  std::weak_ptr<JsonElement> watch = root;
  root.reset();
  EXPECT_TRUE(watch.expired());
}

}  // namespace
