#include "ostrel/xml2json/XmlEscape.h"

std::string xmlEscape(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '&': out += "&amp;"; break;
      case '\'': out += "&apos;"; break;
      case '"': out += "&quot;"; break;
      default:
        // XML 1.0 cannot carry the other control characters, not even as references.
        if (isXmlForbidden(c))
          out += kReplacementCharacter;
        else
          out += c;
    }
  }
  return out;
}
