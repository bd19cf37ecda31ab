#include "tessaro/XMLTool.h"

#include <gtest/gtest.h>

TEST(XMLToolTest, WritesPathsInOrderAndReadsThemBack) {
  IXMLToolPtr writer = bootStrapCreate();
  writer->setValue("Root\\Name", "a <b> & 'c' \"d\"");
  writer->setValue("Root\\List\\item[0]\\Code", "en");
  writer->setValue("Root\\List\\item[1]\\Code", "de");
  writer->addElement("Root\\Empty");
  std::string text = writer->serialize();
  EXPECT_EQ(0u, text.find("<Root><Name>"));
  EXPECT_NE(std::string::npos, text.find("<List><item><Code>en</Code></item><item><Code>de</Code></item></List>"));

  IXMLToolPtr reader = bootStrapCreate(text, 0);
  EXPECT_EQ("a <b> & 'c' \"d\"", reader->getValue("Root\\Name"));
  EXPECT_EQ("de", reader->getValue("Root\\List\\item[1]\\Code"));
  EXPECT_EQ("en", reader->getValue("Root\\List\\item\\Code"));
  EXPECT_EQ(2, reader->countElements("Root\\List\\item"));
  EXPECT_EQ(0, reader->countElements("Root\\Missing\\item"));
  EXPECT_EQ("", reader->getValue("Root\\Empty"));
  EXPECT_TRUE(reader->hasElement("Root\\Empty"));
  EXPECT_FALSE(reader->hasElement("Root\\List\\item[2]"));
}

TEST(XMLToolTest, SetValueReplacesText) {
  IXMLToolPtr writer = bootStrapCreate();
  writer->setValue("R\\A", "1");
  writer->setValue("R\\A", "2");
  EXPECT_EQ("<R><A>2</A></R>", writer->serialize());
}

TEST(XMLToolTest, ReportsMissingElementsAndBadDocuments) {
  IXMLToolPtr reader = bootStrapCreate("<Root><A>1</A></Root>", 0);
  EXPECT_THROW(reader->getValue("Root\\B"), tctl::mandatory_element_not_found_exception);
  EXPECT_THROW(reader->getValue("Other\\A"), tctl::mandatory_element_not_found_exception);
  EXPECT_THROW(bootStrapCreate("<Root><A>1</Root>", 0), tctl::illformed_serialized_object_exception);
  EXPECT_THROW(bootStrapCreate("", 0), tctl::illformed_serialized_object_exception);
  EXPECT_THROW(bootStrapCreate()->serialize(), tctl::illformed_serialized_object_exception);
  IXMLToolPtr writer = bootStrapCreate();
  writer->setValue("Root\\A", "1");
  EXPECT_THROW(writer->setValue("Other\\A", "1"), tctl::illformed_serialized_object_exception);
}
