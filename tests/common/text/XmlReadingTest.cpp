#include "common/text/XmlReading.h"

#include <gtest/gtest.h>

#include <string>

namespace {

std::string textOf(const std::string& text, xml::Dialect dialect, const char* child) {
  pugi::xml_document document;
  const std::string error = xml::read(text, dialect, document);
  if (!error.empty()) return "refused: " + error;
  return xml::textOf(document.document_element().child(child));
}

}  // namespace

// The two ways documents are read differ where the readers they replace did.
TEST(XmlReadingTest, StreamAndTreeReadAsTheirReadersDid) {
  using xml::Dialect;
  const std::string blank = "<R><A> </A><B>\xC2\xA0</B><C><![CDATA[ ]]></C></R>";
  EXPECT_EQ(" ", textOf(blank, Dialect::kStream, "A"));
  EXPECT_EQ("", textOf(blank, Dialect::kTree, "A"));
  EXPECT_EQ("", textOf(blank, Dialect::kTree, "B"));
  EXPECT_EQ(" ", textOf(blank, Dialect::kTree, "C"));

  const std::string lines = "<R><A>a\r\nb\rc</A></R>";
  EXPECT_EQ("a\nb\nc", textOf(lines, Dialect::kStream, "A"));
  EXPECT_EQ("a\r\nb\rc", textOf(lines, Dialect::kTree, "A"));

  const std::string names = "<p:R xmlns:p=\"urn:p\"><p:A>1</p:A></p:R>";
  EXPECT_EQ("1", textOf(names, Dialect::kStream, "A"));
  EXPECT_EQ("1", textOf(names, Dialect::kTree, "p:A"));
  EXPECT_EQ(0u, textOf("<p:R><p:A>1</p:A></p:R>", Dialect::kStream, "A").find("refused: "));
  EXPECT_EQ("1", textOf("<p:R><p:A>1</p:A></p:R>", Dialect::kTree, "p:A"));

  const std::string undeclared = "<R><A>x&bogus;y</A></R>";
  EXPECT_EQ(0u, textOf(undeclared, Dialect::kStream, "A").find("refused: "));
  EXPECT_EQ("xy", textOf(undeclared, Dialect::kTree, "A"));

  const std::string invalid = "<R><A>a\xFF\x01</A></R>";
  EXPECT_EQ(0u, textOf(invalid, Dialect::kStream, "A").find("refused: "));
  EXPECT_EQ("a\xEF\xBF\xBD\x01", textOf(invalid, Dialect::kTree, "A"));

  for (Dialect dialect : {Dialect::kStream, Dialect::kTree}) {
    EXPECT_EQ("\xC3\xA9", textOf("<?xml version=\"1.0\" encoding=\"ISO-8859-1\"?><R><A>\xE9</A></R>", dialect, "A"));
    EXPECT_EQ("1", textOf("\xEF\xBB\xBF<R><A>1</A></R>", dialect, "A"));
    EXPECT_EQ("1", textOf(std::string("\xFF\xFE<\0R\0>\0<\0A\0>\0" "1\0<\0/\0A\0>\0<\0/\0R\0>\0", 32), dialect, "A"));
    EXPECT_EQ(0u, textOf("<?xml version=\"1.0\" encoding=\"KOI8-R\"?><R/>", dialect, "A").find("refused: "));
    EXPECT_EQ(0u, textOf("<!DOCTYPE R [<!ENTITY e \"x\">]><R><A>&e;</A></R>", dialect, "A").find("refused: "));
    EXPECT_EQ("ab", textOf("<!DOCTYPE R [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><R><A>a&x;b</A></R>", dialect, "A"));
  }
}
