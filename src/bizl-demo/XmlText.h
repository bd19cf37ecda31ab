#pragma once

#include <string>

namespace bizl {

// Writes < > & ' " as entity references; every other byte is copied.
std::string xmlEscape(const std::string& text);

// The text with the XML declaration and other "<?...?>" instructions, comments and
// white space that stands alone between two tags removed, and trimmed. Data files
// may be indented and commented; replies must be compact for the JSON conversion.
std::string compactXml(const std::string& text);

}  // namespace bizl
