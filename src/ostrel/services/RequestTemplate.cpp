#include "ostrel/services/RequestTemplate.h"

#include <utility>
#include <vector>

#include "ostrel/xml2json/XmlEscape.h"

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
  // Literal pieces and filled placeholders, in template order; the list marker can
  // only be expanded once every placeholder has taken its parameter.
  std::vector<std::pair<bool, std::string>> pieces;  // (is literal, text)
  std::size_t literalStart = 0;
  std::size_t begin = 0;
  std::size_t end = 0;
  while (findBracketed(templateText_, literalStart, '{', '}', begin, end)) {
    pieces.emplace_back(true, templateText_.substr(literalStart, begin - literalStart));
    const std::string name = templateText_.substr(begin + 1, end - begin - 1);
    auto found = allParameters_.find(name);
    if (found != allParameters_.end()) {
      pieces.emplace_back(false, xmlEscape(found->second, kNoLimit));
      remainingParameters_.erase(name);
    }
    literalStart = end + 1;
  }
  pieces.emplace_back(true, templateText_.substr(literalStart));

  // The marker is looked for after the last placeholder. A template whose only
  // marker stands earlier (1.0/Catalog/getRelatedApplications) would otherwise send
  // the bare "[parameter]" and lose the optional parameters, so the first marker of
  // the earlier literal text expands then.
  std::size_t markerPiece = pieces.size() - 1;
  if (!findBracketed(pieces.back().second, 0, '[', ']', begin, end)) {
    for (std::size_t i = 0; i + 1 < pieces.size(); ++i) {
      if (pieces[i].first && findBracketed(pieces[i].second, 0, '[', ']', begin, end)) {
        markerPiece = i;
        break;
      }
    }
  }

  std::string document;
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    document += i == markerPiece ? expandListMarker(pieces[i].second) : pieces[i].second;
  }
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
  return ::xmlEscape(value, maxLength);
}
