#include "common/text/JsonReader.h"

#include <gtest/gtest.h>

#include <string>

using json::Document;
using json::Node;

TEST(JsonReaderTest, ReadsObjectsAndArraysIntoATree) {
  Document document;
  ASSERT_TRUE(document.read(" {\"b\":[1,\"two\",null,true,false,{}],\"a\":{\"x\":-0.5},\"b\":\"last\"} "));
  const Node& top = document.top();
  ASSERT_EQ(Node::Kind::kObject, top.kind);
  // Members in key order; of the two "b" the last.
  ASSERT_EQ(2u, top.children.size());
  EXPECT_EQ("a", top.children[0].first);
  EXPECT_EQ("b", top.children[1].first);
  EXPECT_EQ("last", Document::valueText(document.node(top.children[1].second)));
  const Node& a = document.node(top.children[0].second);
  ASSERT_EQ(Node::Kind::kObject, a.kind);
  EXPECT_EQ("-0.5", Document::valueText(document.node(a.children.at(0).second)));

  ASSERT_TRUE(document.read("[1,\"two\",null,true,false,{},[]]"));
  const Node& items = document.top();
  ASSERT_EQ(Node::Kind::kArray, items.kind);
  ASSERT_EQ(7u, items.children.size());
  const Node::Kind kinds[] = {Node::Kind::kNumber, Node::Kind::kString, Node::Kind::kNull, Node::Kind::kTrue,
                              Node::Kind::kFalse, Node::Kind::kObject, Node::Kind::kArray};
  for (size_t i = 0; i < 7; ++i) EXPECT_EQ(kinds[i], document.node(items.children[i].second).kind) << i;
  const char* texts[] = {"1", "two", "", "true", "false", "", ""};
  for (size_t i = 0; i < 7; ++i) EXPECT_EQ(texts[i], Document::valueText(document.node(items.children[i].second)));
}

TEST(JsonReaderTest, RefusesWhatIsNoObjectOrArray) {
  Document document;
  std::string error;
  for (const char* text : {"", " ", "1", "\"s\"", "null", "{", "[", "{\"a\"}", "{\"a\":}", "[1 2]", "{} {}", "{\"a\":1,}"}) {
    EXPECT_FALSE(document.read(text, &error)) << text;
    EXPECT_FALSE(error.empty()) << text;
  }
}

// 1024 containers deep and no deeper; a megabyte of brackets without recursion.
TEST(JsonReaderTest, NestsUpToItsBoundWithoutRecursion) {
  Document document;
  EXPECT_TRUE(document.read(std::string(Document::kMaxDepth, '[') + std::string(Document::kMaxDepth, ']')));
  EXPECT_FALSE(document.read(std::string(Document::kMaxDepth + 1, '[') + std::string(Document::kMaxDepth + 1, ']')));
  EXPECT_FALSE(document.read(std::string(1 << 20, '[') + std::string(1 << 20, ']')));
  std::string wide = "[";
  for (int i = 0; i < 100000; ++i) wide += "[],";
  wide += "[]]";
  ASSERT_TRUE(document.read(wide));
  EXPECT_EQ(100001u, document.top().children.size());
}
