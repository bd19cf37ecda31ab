#include "ostrel/services/ReflectiveSerializer.h"

#include <gtest/gtest.h>

#include "ostrel/services/KivraSessionProperties.h"
#include "tessaro/XMLTool.h"

namespace {

// A record with every kind of field, including the special names.
struct Sample : public ReflectiveRecord {
  std::string typeName() const override { return "Sample"; }
  void visitFields(FieldVisitor& v) override {
    visitValue(v, "Text", text);
    visitValue(v, "Count", count);
    visitValue(v, "Flag", flag);
    visitValue(v, "Errors__error", errors);
    visitValue(v, "Words", words);
  }
  std::string text;
  int32_t count = 0;
  bool flag = false;
  std::vector<std::string> errors;
  std::vector<std::string> words;
};

struct Bare : public ReflectiveRecord {
  std::string typeName() const override { return "Bare"; }
  void visitFields(FieldVisitor& v) override { visitValue(v, "__none", value); }
  std::string value;
};

TEST(ReflectiveSerializerTest, SequenceNamesSplitAtUnderscores) {
  std::string container, item;
  ReflectiveSerializer::sequenceNames("SupportedLocaleCodes", container, item);
  EXPECT_EQ("SupportedLocaleCodes", container);
  EXPECT_EQ("item", item);
  ReflectiveSerializer::sequenceNames("Errors__error", container, item);
  EXPECT_EQ("Errors", container);
  EXPECT_EQ("error", item);
  ReflectiveSerializer::sequenceNames("A_b", container, item);
  EXPECT_EQ("A", container);
  EXPECT_EQ("b", item);
  ReflectiveSerializer::sequenceNames("A___b", container, item);  // at most two underscores are skipped
  EXPECT_EQ("_b", item);
}

TEST(ReflectiveSerializerTest, SequenceNamesSplitAsTheirPatternDoes) {
  // What "([^_]+)_{0,2}(.*)" captures over the whole name; no match (an empty
  // name or one beginning with "_") keeps the name whole.
  struct Case {
    std::string name;
    std::string container;
    std::string item;
  };
  const Case cases[] = {
      {"", "", "item"},
      {"_", "_", "item"},
      {"__a", "__a", "item"},
      {"a", "a", "item"},
      {"a_", "a", "item"},
      {"a__", "a", "item"},
      {"a___", "a", "_"},
      {"a____b", "a", "__b"},
      {"a_b_c", "a", "b_c"},
      {"a__b__c", "a", "b__c"},
      {std::string("a\nb__c\nd"), std::string("a\nb"), std::string("c\nd")},  // both sides take line breaks
      {std::string("a\0b_\0", 5), std::string("a\0b", 3), std::string("\0", 1)},
      {"\xc3\xa9t\xc3\xa9__x", "\xc3\xa9t\xc3\xa9", "x"},
  };
  for (const Case& c : cases) {
    std::string container = "old", item = "old";
    ReflectiveSerializer::sequenceNames(c.name, container, item);
    EXPECT_EQ(c.container, container) << c.name;
    EXPECT_EQ(c.item, item) << c.name;
  }
}

TEST(ReflectiveSerializerTest, SequenceNamesOfAMegabyteSplitInOnePass) {
  const std::string head(1 << 20, 'n');
  const std::string tail(1 << 20, 'i');
  std::string container, item;
  ReflectiveSerializer::sequenceNames(head + "__" + tail, container, item);
  EXPECT_EQ(head, container);
  EXPECT_EQ(tail, item);
  ReflectiveSerializer::sequenceNames(head, container, item);
  EXPECT_EQ(head, container);
  EXPECT_EQ("item", item);
  const std::string underscores(1 << 20, '_');
  ReflectiveSerializer::sequenceNames("n" + underscores, container, item);
  EXPECT_EQ("n", container);
  EXPECT_EQ(underscores.substr(2), item);
  ReflectiveSerializer::sequenceNames(underscores, container, item);
  EXPECT_EQ(underscores, container);
  EXPECT_EQ("item", item);
}

TEST(ReflectiveSerializerTest, JsonNamesAreLowerCasedInAsciiOnly) {
  struct Named : public ReflectiveRecord {
    std::string typeName() const override { return "Named"; }
    void visitFields(FieldVisitor& v) override { visitValue(v, "AZaz09_\xc3\x89\xc4\xb0[@`{", value); }
    std::string value = "KEEP";
  } named;
  EXPECT_EQ("{\"r\xc3\x89\xc4\xb0\":{\"azaz09_\xc3\x89\xc4\xb0[@`{\":\"KEEP\"}}",
            ReflectiveSerializer::writeJson(named, "R\xc3\x89\xc4\xb0"));
}

TEST(ReflectiveSerializerTest, XmlRoundTripKeepsFieldOrderAndValues) {
  Sample sample;
  sample.text = "a < b & \"c\"";
  sample.count = -13;
  sample.flag = true;
  sample.errors = {"first", "second"};
  std::string xml = ReflectiveSerializer::writeXml(sample, "Sample");
  EXPECT_EQ(0u, xml.find("<Sample><Text>"));
  EXPECT_NE(std::string::npos,
            xml.find("<Count>-13</Count><Flag>1</Flag><Errors><error>first</error><error>second</error></Errors><Words/>"))
      << xml;

  Sample back;
  ReflectiveSerializer::readXml(xml, "Sample", back);
  EXPECT_EQ(sample.text, back.text);
  EXPECT_EQ(-13, back.count);
  EXPECT_TRUE(back.flag);
  EXPECT_EQ(sample.errors, back.errors);
  EXPECT_TRUE(back.words.empty());
}

TEST(ReflectiveSerializerTest, ReadingStopsAtTheFirstMissingElement) {
  Sample sample;
  EXPECT_THROW(ReflectiveSerializer::readXml("<Sample><Text>t</Text><Count>4</Count></Sample>", "Sample", sample),
               tctl::mandatory_element_not_found_exception);
  EXPECT_EQ("t", sample.text);
  EXPECT_EQ(4, sample.count);
  EXPECT_THROW(ReflectiveSerializer::readXml("<Sample><Text>t</Text><Count>4x</Count></Sample>", "Sample", sample),
               tctl::illformed_serialized_object_exception);
  EXPECT_THROW(ReflectiveSerializer::readXml("<Other/>", "Sample", sample), tctl::mandatory_element_not_found_exception);
  EXPECT_THROW(ReflectiveSerializer::readXml("not xml", "Sample", sample), tctl::illformed_serialized_object_exception);
}

TEST(ReflectiveSerializerTest, JsonFormEscapesSevenCharactersAndNamesSequences) {
  Sample sample;
  sample.text = std::string("q\"b\\\b\f\n\r\t/\x01\xc3\xa9");
  sample.count = 7;
  sample.errors = {"e1", "e2"};
  sample.words = {"w"};
  EXPECT_EQ("{\"sample\":{\"text\":\"q\\\"b\\\\\\b\\f\\n\\r\\t/\x01\xc3\xa9\",\"count\":7,\"flag\":false,"
            "\"errors\":[{\"error\":\"e1\"},{\"error\":\"e2\"}],\"words\":[\"w\"]}}",
            ReflectiveSerializer::writeJson(sample, "Sample"));
  Bare bare;
  bare.value = "v";
  EXPECT_EQ("{\"bare\":{\"v\"}}", ReflectiveSerializer::writeJson(bare, "Bare"));
}

TEST(KivraSessionPropertiesTest, WritesSixFieldsInOrder) {
  KivraSessionProperties properties;
  properties.localeCode = "en-GB";
  properties.identified = true;
  properties.userName = "Ann";
  EXPECT_EQ("<KivraSessionProperties><localeCode>en-GB</localeCode><connected>0</connected>"
            "<identified>1</identified><userEmail/><userName>Ann</userName>"
            "<selfUpdateBehavior>0</selfUpdateBehavior></KivraSessionProperties>",
            properties.writeToText());
}

}  // namespace
