#pragma once

#include <string>

#include "ostrel/xml2json/XmlEscape.h"

namespace bizl {

// xmlEscape comes from the converter's library.
using ::xmlEscape;

// The text with the XML declaration and other "<?...?>" instructions, comments and
// white space that stands alone between two tags removed, and trimmed. Data files
// may be indented and commented; replies must be compact for the JSON conversion.
std::string compactXml(const std::string& text);

}  // namespace bizl
