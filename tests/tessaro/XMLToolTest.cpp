#include "tessaro/XMLTool.h"

#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <string>
#include <thread>
#include <vector>

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

namespace {

std::string valueOf(const std::string& document, const std::string& path) {
  return bootStrapCreate(document, 0)->getValue(path);
}

bool refused(const std::string& document) {
  try {
    bootStrapCreate(document, 0);
    return false;
  } catch (const tctl::illformed_serialized_object_exception&) {
    return true;
  }
}

// Runs `read` with a time limit, on a thread of its own so that a hang fails the test instead of stalling it.
template <typename Read>
void withinSeconds(int seconds, Read read) {
  std::promise<void> done;
  std::future<void> finished = done.get_future();
  std::thread reader([&] {
    read();
    done.set_value();
  });
  const bool inTime = finished.wait_for(std::chrono::seconds(seconds)) == std::future_status::ready;
  reader.join();
  EXPECT_TRUE(inTime);
}

}  // namespace

// What the host's reader has always made of documents, case by case.
TEST(XMLToolTest, ReadsTextsNamesAndReferencesAsBefore) {
  struct Case {
    std::string document, path, value;
  };
  const std::vector<Case> cases = {
      // Namespaces are not looked at: names are taken whole, prefix and all.
      {"<p:R xmlns:p=\"urn:x\"><p:A>1</p:A><A>2</A></p:R>", "p:R\\p:A", "1"},
      {"<p:R xmlns:p=\"urn:x\"><p:A>1</p:A><A>2</A></p:R>", "p:R\\A", "2"},
      {"<p:R><p:A>undeclared prefixes are names too</p:A></p:R>", "p:R\\p:A", "undeclared prefixes are names too"},
      {"<R xmlns=\"urn:d\"><A>1</A></R>", "R\\A", "1"},
      // CDATA is text as written, also when it is blank.
      {"<R><A>a<![CDATA[<b>&amp;]]>c</A></R>", "R\\A", "a<b>&amp;c"},
      {"<R><A><![CDATA[  ]]></A></R>", "R\\A", "  "},
      // Character references and the predefined entities.
      {"<R><A>&#65;&#x42;&#x20AC;&#233;&lt;&gt;&amp;&quot;&apos;</A></R>", "R\\A", "AB\xE2\x82\xAC\xC3\xA9<>&\"'"},
      {"<R><A>a&#13;b</A></R>", "R\\A", "a\rb"},
      // UTF-8 in names and texts; an invalid byte reads as U+FFFD.
      {"<R><\xC3\x84>\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80</\xC3\x84></R>", "R\\\xC3\x84", "\xC3\xBC\xE2\x82\xAC\xF0\x9F\x98\x80"},
      {"<R><A>a\xFF" "b\xC3(</A></R>", "R\\A", "a\xEF\xBF\xBD" "b\xEF\xBF\xBD("},
      // A byte order mark, with or without a declaration.
      {"\xEF\xBB\xBF<R><A>1</A></R>", "R\\A", "1"},
      {"\xEF\xBB\xBF<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<R><A>1</A></R>", "R\\A", "1"},
      // The declared encoding is not looked at: the text is UTF-8.
      {"<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><R><A>\xE9</A></R>", "R\\A", "\xEF\xBF\xBD"},
      // A text of white space only is left out (Unicode's white space: no-break
      // and ideographic spaces, vertical tab too); other texts keep theirs.
      {"<R>\n  <A> x </A>\n  <B>   </B>\n</R>", "R", " x "},
      {"<R><A> <B>y</B> </A></R>", "R\\A", "y"},
      {"<R><A>\xC2\xA0</A></R>", "R\\A", ""},
      {"<R><A>\xE3\x80\x80</A></R>", "R\\A", ""},
      {"<R><A>\x0B</A></R>", "R\\A", ""},
      {"<R><A>&#32;</A></R>", "R\\A", ""},
      {"<R><A>a<!--c--> </A></R>", "R\\A", "a"},
      // Line ends stay as written; comments and processing instructions are no text.
      {"<R><A>a\r\nb\rc</A></R>", "R\\A", "a\r\nb\rc"},
      {"<R><A>1<!--x-->2<?pi data?></A></R>", "R\\A", "12"},
      {"<R><A>x<B>y</B> <C>z</C></A></R>", "R\\A", "xyz"},
      // An entity that is not declared, or an external one, reads as nothing.
      {"<R><A>x&bogus;y</A></R>", "R\\A", "xy"},
      {"<!DOCTYPE R [<!ENTITY xxe SYSTEM \"file:///etc/passwd\">]><R><A>a&xxe;b</A></R>", "R\\A", "ab"},
      {"<!DOCTYPE R SYSTEM \"file:///etc/passwd\"><R><A>1</A></R>", "R\\A", "1"},
      {"<?xml version=\"1.1\"?><R><A>1</A></R>", "R\\A", "1"},
  };
  for (const Case& c : cases) {
    try {
      EXPECT_EQ(c.value, valueOf(c.document, c.path)) << c.document;
    } catch (const std::exception& error) {
      ADD_FAILURE() << c.document << ": " << error.what();
    }
  }
}

TEST(XMLToolTest, RefusesWhatIsNotWellFormed) {
  const std::vector<std::string> documents = {
      "", "   ", "plain text", "<R>", "<R><A>1</R>", "<R/><S/>", "<R/>x", "x<R/>", "<R><A>a & b</A></R>",
      "<R><A>&#x;</A></R>", "<R><A>&amp</A></R>", "<R a=\"<\"/>", "<R><A>a]]>b</A></R>", "<R><!-- a -- b --></R>",
      "<R><!-- a ---></R>", "<R><1a/></R>", "<R><a\xC3\x97/></R>", "\n<?xml version=\"1.0\"?><R/>",
      "<R/><?xml version=\"1.0\"?>", "<R><?xml version=\"1.0\"?></R>", "<?xml encoding=\"UTF-8\"?><R/>",
      "<R/><!DOCTYPE R>", "<![CDATA[x]]><R/>", "<R><A>\xEF\xBF\xBE</A></R>", "<R x=1/>", "<R></S>",
      "<!DOCTYPE R [<!ENTITYTY e \"hi\">]><R/>", "<!DOCTYPE R [<!ENTITY xxe SYSTEM&gt; \"f\">]><R/>",
      "<!DOCTYPE R SYS\"f\"><R/>", "<!DOCTYPE [<!ENTITY e \"x\">]><R/>",
      // A doctype that declares the entity a text refers to: declared entities are not read.
      "<!DOCTYPE R [<!ENTITY e \"hi\">]><R><A>&e;</A></R>",
  };
  for (const std::string& document : documents) EXPECT_TRUE(refused(document)) << document;
}

// Declared entities are never expanded and nothing outside the document is
// read: a document that tries either is refused, or its reference reads as
// nothing, at once and without memory to speak of.
TEST(XMLToolTest, NeitherExpandsNorLoadsEntities) {
  std::string laughs = "<?xml version=\"1.0\"?><!DOCTYPE lolz [<!ENTITY lol \"lol\">";
  for (int i = 2; i <= 9; ++i) {
    laughs += "<!ENTITY lol" + std::to_string(i) + " \"";
    for (int k = 0; k < 10; ++k) laughs += "&lol" + (i == 2 ? std::string() : std::to_string(i - 1)) + ";";
    laughs += "\">";
  }
  laughs += "]><lolz><A>&lol9;</A></lolz>";
  // One entity referred to a million times in a text of 4 MB.
  std::string quadratic = "<!DOCTYPE R [<!ENTITY a \"" + std::string(1000, 'a') + "\">]><R><A>";
  for (int i = 0; i < 1000000; ++i) quadratic += "&a;";
  quadratic += "</A></R>";
  withinSeconds(10, [&] {
    EXPECT_TRUE(refused(laughs));
    EXPECT_TRUE(refused(quadratic));
    const std::string external =
        "<?xml version=\"1.0\"?><!DOCTYPE R [<!ENTITY xxe SYSTEM \"file:///etc/passwd\">]><R><A>&xxe;</A></R>";
    EXPECT_EQ("", valueOf(external, "R\\A"));
    const std::string parameter =
        "<!DOCTYPE R [<!ENTITY % p SYSTEM \"file:///etc/passwd\"> %p;]><R><A>1</A></R>";
    EXPECT_EQ("1", valueOf(parameter, "R\\A"));
    // An external DTD is not fetched either.
    EXPECT_EQ("1", valueOf("<!DOCTYPE R SYSTEM \"http://127.0.0.1:9/none.dtd\"><R><A>1</A></R>", "R\\A"));
  });
}

// Deep nesting and long texts need neither a deep stack nor long.
TEST(XMLToolTest, ReadsAndWritesMegabyteDocuments) {
  withinSeconds(20, [] {
    std::string deep;
    for (int i = 0; i < 100000; ++i) deep += "<a>";
    deep += "x";
    for (int i = 0; i < 100000; ++i) deep += "</a>";
    EXPECT_EQ("x", valueOf(deep, "a"));
    EXPECT_TRUE(refused(deep.substr(0, deep.size() - 4)));
    const std::string text(1 << 20, 'y');
    IXMLToolPtr writer = bootStrapCreate();
    writer->setValue("R\\A", text);
    const std::string written = writer->serialize();
    EXPECT_EQ(text, valueOf(written, "R\\A"));
    EXPECT_EQ(text, valueOf("<R><A><![CDATA[" + text + "]]></A></R>", "R\\A"));
  });
}

TEST(XMLToolTest, WritesTextsAsTheHostAlwaysDid) {
  struct Case {
    std::string value, written;
  };
  const std::vector<Case> cases = {
      {"\"'&<>", "\"'&amp;&lt;>"},
      {"]]> ]> > ]]]>", "]]&gt; ]> > ]]]&gt;"},
      {"a\r\nb\rc\td", "a&#xd;\nb&#xd;c\td"},
      {"a\xF0\x9F\x98\x80" "b", "a\xF0\x9F\x98\x80" "b"},
      {std::string("a\x01\0b\x7F", 5), std::string("a\x01\0b\x7F", 5)},
      {"a\xFF" "b\xE2\x82", "a\xEF\xBF\xBD" "b\xEF\xBF\xBD\xEF\xBF\xBD"},
      {"\xEF\xBB\xBFx\xEF\xBB\xBF", "x\xEF\xBB\xBF"},
      {"\xC2\xA0 ", "\xC2\xA0 "},
  };
  for (const Case& c : cases) {
    IXMLToolPtr writer = bootStrapCreate();
    writer->setValue("R\\A", c.value);
    EXPECT_EQ("<R><A>" + c.written + "</A></R>", writer->serialize()) << c.value;
  }
  // A U+0000 written is read back as it was.
  IXMLToolPtr writer = bootStrapCreate();
  writer->setValue("R\\A", std::string("a\0b", 3));
  EXPECT_EQ(std::string("a\0b", 3), writer->getValue("R\\A"));
}
