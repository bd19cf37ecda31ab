#pragma once

// Documents read for the plug-ins, the same way everywhere: a document that is
// not well-formed is refused, with why; no entity that the document declares is
// ever expanded and nothing outside the text is ever loaded. A reference to an
// entity the document declares in its DTD refuses the document; one to an
// external entity reads as nothing. Only the predefined entities (&lt; &gt;
// &amp; &apos; &quot;) and character references are replaced. The text may
// begin with a UTF-8 byte order mark and may declare UTF-8 or ISO-8859-1.

#include <pugixml.hpp>
#include <string>

namespace xml {

enum class Dialect {
  // Element by element, as a stream reader reports them: every text kept (white
  // space too), line ends normalised to "\n", names without their namespace
  // prefix (which must be declared), the text invalid UTF-8 or any character
  // XML forbids refused, an undeclared entity refused. Comments and processing
  // instructions are left out.
  kStream,
  // As a document tree: a text of nothing but white space (in Unicode's sense)
  // left out unless it is a CDATA section, line ends and names as written,
  // namespaces not looked at, an invalid UTF-8 byte read as U+FFFD, an
  // undeclared entity read as nothing, any character but U+0000, U+FFFE and
  // U+FFFF allowed. Comments and processing instructions are kept.
  kTree,
};

// Reads `text` into `document`, which then holds the root element and what is
// inside it; entity and character references in texts and attribute values are
// replaced. Empty when the text was read, else why not.
std::string read(const std::string& text, Dialect dialect, pugi::xml_document& document);

// Every text below `element` (texts and CDATA sections), in document order.
std::string textOf(const pugi::xml_node& element);

}  // namespace xml
