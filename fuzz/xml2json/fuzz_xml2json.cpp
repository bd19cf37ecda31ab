// Any text: the converter returns, and what it returns is empty or one JSON object.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ostrel/xml2json/Xml2Json.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string xml(reinterpret_cast<const char*>(data), size);
  const std::string json = Xml2Json().convert(xml);
  if (xml.empty() && json != "{}") std::abort();
  if (!json.empty() && (json.front() != '{' || json.back() != '}')) std::abort();
  return 0;
}
