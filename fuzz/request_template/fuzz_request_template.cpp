// Input: a template on the first line, then "name=value" lines as parameters.
#include <cstdint>
#include <cstdlib>
#include <string>

#include "ostrel/services/RequestTemplate.h"

namespace {

// Escaped text holds no markup character, and every "&" starts an entity.
void checkEscaped(const std::string& escaped) {
  if (escaped.find_first_of("<>\"'") != std::string::npos) std::abort();
  for (std::size_t amp = escaped.find('&'); amp != std::string::npos; amp = escaped.find('&', amp + 1)) {
    bool known = false;
    for (const char* entity : {"&lt;", "&gt;", "&amp;", "&apos;", "&quot;"}) {
      if (escaped.compare(amp, std::char_traits<char>::length(entity), entity) == 0) known = true;
    }
    if (!known) std::abort();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const std::size_t firstLine = input.find('\n');
  const std::string text = input.substr(0, firstLine);
  ParameterMap parameters;
  for (std::size_t pos = firstLine; pos != std::string::npos && pos < input.size();) {
    const std::size_t end = input.find('\n', pos + 1);
    const std::string line = input.substr(pos + 1, end == std::string::npos ? std::string::npos : end - pos - 1);
    const std::size_t eq = line.find('=');
    parameters.emplace(line.substr(0, eq), eq == std::string::npos ? "" : line.substr(eq + 1));
    pos = end;
  }

  const std::string document = RequestTemplate(text, parameters).result();
  if (text.find_first_of("{[") == std::string::npos && document != text) std::abort();

  for (const auto& parameter : parameters) {
    const std::string escaped = RequestTemplate::xmlEscape(parameter.second, RequestTemplate::kNoLimit);
    checkEscaped(escaped);
    const std::size_t limit = parameter.first.size();
    const std::string cut = RequestTemplate::xmlEscape(parameter.second, limit);
    if (cut.size() > limit || escaped.compare(0, cut.size(), cut) != 0) std::abort();
  }
  return 0;
}
