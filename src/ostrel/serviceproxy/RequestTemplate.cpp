#include "ostrel/serviceproxy/RequestTemplate.h"

#include <utility>

namespace {

// Finds the first "<open>...<close>" whose inside holds no <close>; returns false
// when there is none. Matches the patterns \{([^\}]*)\} and \[([^\]]*)\].
bool findBracketed(const std::string& text, std::size_t from, char open, char close,
                   std::size_t& begin, std::size_t& end) {
  begin = text.find(open, from);
  if (begin == std::string::npos) return false;
  end = text.find(close, begin + 1);
  return end != std::string::npos;
}

}  // namespace

RequestTemplate::RequestTemplate(std::string templateText, const ParameterMap& parameters)
    : templateText_(std::move(templateText)),
      result_(templateText_),
      allParameters_(parameters),
      remainingParameters_(parameters) {
  std::string document;
  std::size_t literalStart = 0;
  std::size_t begin = 0;
  std::size_t end = 0;
  while (findBracketed(templateText_, literalStart, '{', '}', begin, end)) {
    document.append(templateText_, literalStart, begin - literalStart);
    const std::string name = templateText_.substr(begin + 1, end - begin - 1);
    auto found = allParameters_.find(name);
    if (found != allParameters_.end()) {
      document += xmlEscape(found->second, kNoLimit);
      remainingParameters_.erase(name);
    }
    literalStart = end + 1;
  }
  document += expandListMarker(templateText_.substr(literalStart));
  result_ = std::move(document);
}

std::string RequestTemplate::expandListMarker(const std::string& text) const {
  std::size_t begin = 0;
  std::size_t end = 0;
  if (!findBracketed(text, 0, '[', ']', begin, end)) return text;

  const std::string element = text.substr(begin + 1, end - begin - 1);
  std::string expanded = text.substr(0, begin);
  for (const auto& parameter : remainingParameters_) {
    expanded += "<" + element + "><key>";
    // Names come from the request unchecked; escaped so that they cannot add markup.
    expanded += xmlEscape(parameter.first, kNoLimit);
    expanded += "</key><value>";
    expanded += xmlEscape(parameter.second, kNoLimit);
    expanded += "</value></" + element + ">";
  }
  expanded.append(text, end + 1, std::string::npos);
  return expanded;
}

std::string RequestTemplate::xmlEscape(const std::string& value, std::size_t maxLength) {
  std::string escaped;
  escaped.reserve(value.size() < maxLength ? value.size() : maxLength);
  for (char c : value) {
    const char* entity = nullptr;
    switch (c) {
      case '<': entity = "&lt;"; break;
      case '>': entity = "&gt;"; break;
      case '&': entity = "&amp;"; break;
      case '\'': entity = "&apos;"; break;
      case '"': entity = "&quot;"; break;
      default: break;
    }
    const std::size_t width = entity ? std::char_traits<char>::length(entity) : 1;
    if (maxLength - escaped.size() < width) break;
    if (entity) {
      escaped += entity;
    } else {
      escaped += c;
    }
  }
  return escaped;
}
