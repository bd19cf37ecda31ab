#pragma once

#include <cstddef>
#include <string>

#include "ostrel/services/ParameterMap.h"

// A request document made from a service's template and the request parameters.
//
// "{name}" is replaced by the XML-escaped value of parameter "name" (nothing when
// there is no such parameter). The first "[element]" in the text after the last
// placeholder (or, when that text has none, the first one before it) is replaced by
// one
//   <element><key>NAME</key><value>VALUE</value></element>
// item per parameter that no placeholder used, in map order. The document is made
// once, in the constructor.
class RequestTemplate {
 public:
  static constexpr std::size_t kNoLimit = static_cast<std::size_t>(-1);

  RequestTemplate(std::string templateText, const ParameterMap& parameters);

  const std::string& result() const { return result_; }

  // Writes < > & ' " as entity references and copies every other byte. The output
  // stops before the first character whose written form would pass maxLength bytes.
  static std::string xmlEscape(const std::string& value, std::size_t maxLength);

 private:
  std::string expandListMarker(const std::string& text) const;

  std::string templateText_;
  std::string result_;
  ParameterMap allParameters_;
  ParameterMap remainingParameters_;
};
