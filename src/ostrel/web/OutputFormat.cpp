#include "ostrel/web/OutputFormat.h"

#include "ostrel/xml2json/Xml2Json.h"

OutputFormat outputFormatOf(int number) {
  switch (number) {
    case -1:
      return OutputFormat::Unset;
    case 0:
      return OutputFormat::Xml;
    case 2:
      return OutputFormat::Json;
    default:
      return OutputFormat::XmlAsJson;
  }
}

std::string render(const std::string& text, OutputFormat format) {
  return format == OutputFormat::XmlAsJson ? Xml2Json().convert(text) : text;
}
