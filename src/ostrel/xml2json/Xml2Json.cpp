#include "ostrel/xml2json/Xml2Json.h"

#include <algorithm>
#include <cstdint>
#include <exception>
#include <random>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "ostrel/xml2json/HashArithmetic.h"
#include "ostrel/xml2json/JsonElement.h"
#include "ostrel/xml2json/JsonEscape.h"

// The conversion runs as a fixed sequence of text stages (normalise, expand empty
// tags, attributes to elements, JSON escaping, flatten to element lines, build the
// tree, write). Each stage is linear in its input: the documents come from another
// component, and no input may make a worker thread spin or exhaust its stack. The
// stages are written as plain scanning loops, never as regular expressions, whose
// matchers may backtrack or recurse per character.

namespace {

// Stands for "</" while the document is flattened; never part of UTF-8 text.
constexpr char kCloseMarker = '\xFE';

// Element text is guarded while attributes are rewritten.
const char* const kGuardWords[] = {"_jsonconvtemp0_", "_jsonconvtemp1_", "_jsonconvtemp2_",
                                   "_jsonconvtemp3_"};
const char kGuardedChars[] = {' ', '=', '"', '\''};

std::string replaceAll(const std::string& text, std::string_view from, std::string_view to) {
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  for (std::size_t hit = text.find(from); hit != std::string::npos;
       hit = text.find(from, pos)) {
    out.append(text, pos, hit - pos);
    out.append(to);
    pos = hit + from.size();
  }
  out.append(text, pos, std::string::npos);
  return out;
}

// ASCII white space only: bytes of multi-byte UTF-8 characters are never space.
bool isSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

// Replaces "\s*/>" by "/>": every "/>" loses the white space right before it (the
// match before it ends in ">", so the runs never overlap). Written out because a
// regular-expression search would restart inside each white-space run.
std::string dropSpaceBeforeEmptyClose(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  for (std::size_t close = text.find("/>"); close != std::string::npos; close = text.find("/>", pos)) {
    out.append(text, pos, close - pos);
    while (!out.empty() && isSpace(out.back())) out.pop_back();
    out += "/>";
    pos = close + 2;
  }
  out.append(text, pos, std::string::npos);
  return out;
}

// Removes every "<!" with the text up to the next ">" ("<\![^>]*>"): document type
// declarations, comments and CDATA sections that hold no ">". A "<!" that no ">"
// follows stays, and so does everything after it.
std::string dropMarkupDeclarations(const std::string& text) {
  std::size_t open = text.find("<!");
  if (open == std::string::npos) return text;
  std::string out;
  out.reserve(text.size());
  std::size_t pos = 0;
  for (; open != std::string::npos; open = text.find("<!", pos)) {
    const std::size_t close = text.find('>', open + 2);
    if (close == std::string::npos) break;
    out.append(text, pos, open - pos);
    pos = close + 1;
  }
  out.append(text, pos, std::string::npos);
  return out;
}

std::string normalise(const std::string& text) {
  std::string out = dropSpaceBeforeEmptyClose(text);
  out = replaceAll(out, "<Downloads xsi:nil=\"true\"/>", "<Downloads>0</Downloads>");
  out = dropMarkupDeclarations(out);
  return dropSpaceBeforeEmptyClose(out);
}

// <a x="1"/> -> <a x="1"></a>
std::string expandEmptyTags(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 4);
  std::size_t prevBegin = 0;
  std::size_t prevEnd = text.find("/>");
  if (prevEnd == std::string::npos) return text;
  out.append(text, 0, prevEnd);
  while (prevEnd != std::string::npos) {
    const std::size_t begin = prevEnd + 2;
    const std::size_t end = text.find("/>", begin);

    const std::size_t lt =
        std::string_view(text).substr(prevBegin, prevEnd - prevBegin).rfind('<');
    const std::size_t tagBegin = lt == std::string_view::npos ? prevBegin : prevBegin + lt + 1;
    std::size_t nameEnd = tagBegin;
    while (nameEnd < prevEnd && text[nameEnd] != ' ' && text[nameEnd] != '\t') ++nameEnd;

    out += "></";
    out.append(text, tagBegin, nameEnd - tagBegin);
    out += '>';
    out.append(text, begin, end == std::string::npos ? std::string::npos : end - begin);
    prevBegin = begin;
    prevEnd = end;
  }
  return out;
}

// In every part that a ">" ends, the text before the part's first "<" is element
// text: its spaces, "=" and quotes are hidden behind guard words.
std::string guardElementText(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 2);
  std::size_t pos = 0;
  std::size_t nextLt = text.find('<');
  for (std::size_t gt = text.find('>'); gt != std::string::npos; gt = text.find('>', pos)) {
    if (nextLt != std::string::npos && nextLt < pos) nextLt = text.find('<', pos);
    const std::size_t guardEnd = (nextLt == std::string::npos || nextLt > gt) ? gt : nextLt;
    for (std::size_t i = pos; i < guardEnd; ++i) {
      const char c = text[i];
      const char* word = nullptr;
      for (std::size_t g = 0; g < sizeof(kGuardedChars); ++g) {
        if (c == kGuardedChars[g]) word = kGuardWords[g];
      }
      if (word) {
        out += word;
      } else {
        out += c;
      }
    }
    out.append(text, guardEnd, gt + 1 - guardEnd);
    pos = gt + 1;
  }
  out.append(text, pos, std::string::npos);
  return out;
}

// Rewrites each " NAME=VALUE" as "><NAME>VALUE</NAME" (" ([^=]*)=([^ |>]*)"): the
// name runs from a space to the next "=", whatever lies between, and the value
// from there to the first space, "|" or ">". A space that no "=" follows starts
// no attribute, and neither does any later one.
std::string rewriteAttributes(const std::string& text) {
  std::string out;
  out.reserve(text.size() + text.size() / 2);
  std::size_t pos = 0;
  for (std::size_t space = text.find(' '); space != std::string::npos; space = text.find(' ', pos)) {
    const std::size_t eq = text.find('=', space + 1);
    if (eq == std::string::npos) break;
    std::size_t end = text.find_first_of(" |>", eq + 1);
    if (end == std::string::npos) end = text.size();
    const std::string_view name = std::string_view(text).substr(space + 1, eq - space - 1);
    out.append(text, pos, space - pos);
    out += "><";
    out.append(name);
    out += '>';
    out.append(text, eq + 1, end - eq - 1);
    out += "</";
    out.append(name);
    pos = end;
  }
  out.append(text, pos, std::string::npos);
  return out;
}

// ` id="7"` inside a start tag -> `><id>7</id`.
std::string attributesToElements(const std::string& text) {
  std::string out = rewriteAttributes(guardElementText(text));
  out = replaceAll(out, ">\"", ">");
  out = replaceAll(out, "\"<", "<");
  for (std::size_t g = 0; g < sizeof(kGuardedChars); ++g) {
    out = replaceAll(out, kGuardWords[g], std::string_view(&kGuardedChars[g], 1));
  }
  return out;
}

// ---- Flattening -------------------------------------------------------------

// Polynomial hashes modulo the Mersenne prime 2^61 - 1, with a base chosen per
// process so that no input can be made to collide on purpose.
constexpr std::uint64_t kHashModulus = hash61::kModulus;
using hash61::mulMod;

std::uint64_t hashBase() {
  static const std::uint64_t base = [] {
    std::random_device device;
    const std::uint64_t bits = (std::uint64_t{device()} << 32) ^ device();
    return (std::uint64_t{1} << 20) + bits % (kHashModulus - (std::uint64_t{1} << 21));
  }();
  return base;
}

std::uint64_t addByte(std::uint64_t hash, std::uint64_t base, char c) {
  const std::uint64_t r = mulMod(hash, base) + static_cast<unsigned char>(c) + 1;
  return r >= kHashModulus ? r - kHashModulus : r;
}

std::uint64_t keyOf(std::uint64_t hash, std::size_t length) {
  return hash ^ (static_cast<std::uint64_t>(length) * 0x9E3779B97F4A7C15ull);
}

struct OpenElement {
  std::string_view name;
  std::uint64_t key;  // keyOf(hash of name, its length)
};

OpenElement openElement(std::string_view name) {
  const std::uint64_t base = hashBase();
  std::uint64_t hash = 0;
  for (char c : name) hash = addByte(hash, base, c);
  return {name, keyOf(hash, name.size())};
}

// Answers "does the token contain close marker + name + '>'?". Names hold no ">",
// so such an occurrence is the text between some close marker and the first ">"
// after it: one candidate per marker, all hashed in one pass. A token with few
// markers is searched directly, which costs as little; so is a name whose hash
// meets a candidate of other text.
class CloseTagIndex {
 public:
  CloseTagIndex(std::string_view token, std::size_t markers) : token_(token) {
    if (markers <= kDirectSearchMarkers) return;
    indexed_ = true;
    const std::uint64_t base = hashBase();
    std::vector<std::uint64_t> prefix(token.size() + 1, 0);
    std::vector<std::uint64_t> power(token.size() + 1, 1);
    for (std::size_t i = 0; i < token.size(); ++i) {
      prefix[i + 1] = addByte(prefix[i], base, token[i]);
      power[i + 1] = mulMod(power[i], base);
    }
    candidates_.reserve(markers);
    std::size_t nextGt = std::string_view::npos;
    for (std::size_t i = token.size(); i-- > 0;) {
      if (token[i] == '>') {
        nextGt = i;
      } else if (token[i] == kCloseMarker && nextGt != std::string_view::npos) {
        const std::size_t begin = i + 1;
        std::uint64_t hash = prefix[nextGt] + kHashModulus - mulMod(prefix[begin], power[nextGt - begin]);
        if (hash >= kHashModulus) hash -= kHashModulus;
        candidates_.emplace(keyOf(hash, nextGt - begin), begin);
      }
    }
  }

  bool contains(const OpenElement& element) const {
    const std::string_view name = element.name;
    if (indexed_) {
      auto found = candidates_.find(element.key);
      if (found == candidates_.end()) return false;
      const std::size_t begin = found->second;
      if (begin + name.size() < token_.size() && token_[begin + name.size()] == '>' &&
          token_.compare(begin, name.size(), name) == 0) {
        return true;
      }
    }
    std::string needle;
    needle.reserve(name.size() + 2);
    needle += kCloseMarker;
    needle.append(name);
    needle += '>';
    return token_.find(needle) != std::string_view::npos;
  }

 private:
  static constexpr std::size_t kDirectSearchMarkers = 4;

  std::string_view token_;
  bool indexed_ = false;
  std::unordered_map<std::uint64_t, std::size_t> candidates_;  // key -> start of one such text
};

// One element line: its depth and the head of its token (the tag and the text up
// to the first close marker), with "{}" appended when the element closes at once.
struct ElementLine {
  std::size_t depth;
  std::string text;
};

std::vector<ElementLine> flatten(const std::string& text) {
  std::vector<ElementLine> lines;
  std::vector<OpenElement> open;
  std::string_view all(text);
  std::size_t pos = 0;
  while (pos <= all.size()) {
    std::size_t lt = all.find('<', pos);
    if (lt == std::string_view::npos) lt = all.size();
    const std::string_view token = all.substr(pos, lt - pos);
    pos = lt + 1;
    if (token.empty()) continue;

    const std::size_t firstGt = token.find('>');
    const std::string_view tag = token.substr(0, firstGt);
    open.push_back(openElement(tag));

    const std::string_view head = token.substr(0, token.find(kCloseMarker));
    bool closesAtOnce = false;
    if (firstGt != std::string_view::npos) {
      const std::size_t secondGt = token.find('>', firstGt + 1);
      const std::string_view between =
          token.substr(firstGt + 1, secondGt == std::string_view::npos
                                        ? std::string_view::npos
                                        : secondGt - firstGt - 1);
      closesAtOnce = between.size() == tag.size() + 1 && between.front() == kCloseMarker &&
                     between.substr(1) == tag;
    }
    std::string line(head);
    if (closesAtOnce) line += "{}";
    lines.push_back({open.size(), std::move(line)});

    std::size_t markers = static_cast<std::size_t>(std::count(token.begin(), token.end(), kCloseMarker));
    if (markers == 0) continue;
    const CloseTagIndex closes(token, markers);
    while (!open.empty() && markers > 0 && closes.contains(open.back())) {
      open.pop_back();
      --markers;
    }
  }
  return lines;
}

// ---- Tree -------------------------------------------------------------------

void toLowerAscii(std::string& text) {
  for (char& c : text) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
}

// Each entity is decoded once; what a decoding produces is not read again.
std::string decodeEntities(const std::string& value) {
  static const std::pair<std::string_view, std::string_view> kEntities[] = {
      {"&quot;", "\\\""}, {"&amp;", "&"}, {"&apos;", "'"}, {"&lt;", "<"}, {"&gt;", ">"}};
  std::string out;
  out.reserve(value.size());
  const std::string_view text(value);
  std::size_t pos = 0;
  while (pos < text.size()) {
    const std::size_t amp = text.find('&', pos);
    if (amp == std::string_view::npos) break;
    out.append(text.substr(pos, amp - pos));
    pos = amp + 1;
    bool decoded = false;
    for (const auto& entity : kEntities) {
      if (text.compare(amp, entity.first.size(), entity.first) == 0) {
        out.append(entity.second);
        pos = amp + entity.first.size();
        decoded = true;
        break;
      }
    }
    if (!decoded) out += '&';
  }
  out.append(text.substr(std::min(pos, text.size())));
  return out;
}

// Builds the tree from the element lines. The current path is kept as its
// components (the path text split at "."), the current node as the chain of nodes
// from its root down, and `matched` counts the leading components that equal the
// names along that chain: "the node at depth d has the path of the first d
// components" is then a comparison of numbers. A node's path always has one
// component per tree level, since its name is the text after the path's last ".".
// Returns false when a line finds no parent.
bool buildTree(const std::vector<ElementLine>& lines, std::vector<JsonElementPtr>& roots) {
  std::vector<std::string> components;
  std::vector<JsonElementPtr> chain;
  std::size_t matched = 0;
  long long previousDepth = -1;

  for (const ElementLine& line : lines) {
    const long long depth = static_cast<long long>(line.depth);
    const std::string& text = line.text;
    const std::size_t firstGt = text.find('>');
    std::string name = text.substr(0, firstGt);
    toLowerAscii(name);
    std::string value;
    if (firstGt != std::string::npos) {
      const std::size_t secondGt = text.find('>', firstGt + 1);
      value = text.substr(firstGt + 1, secondGt == std::string::npos ? std::string::npos
                                                                    : secondGt - firstGt - 1);
    }

    if (depth <= previousDepth) {
      const auto cuts = static_cast<unsigned long long>(previousDepth - depth + 1);
      const std::size_t remove =
          static_cast<std::size_t>(std::min<unsigned long long>(cuts, components.size()));
      components.resize(components.size() - remove);
      matched = std::min(matched, components.size());
    }
    const std::size_t sizeBefore = components.size();
    for (std::size_t begin = 0;;) {
      const std::size_t dot = name.find('.', begin);
      components.push_back(name.substr(begin, dot == std::string::npos ? std::string::npos : dot - begin));
      if (dot == std::string::npos) break;
      begin = dot + 1;
    }
    if (matched == sizeBefore) {
      while (matched < chain.size() && matched < components.size() &&
             chain[matched]->name() == components[matched]) {
        ++matched;
      }
    }
    previousDepth = depth;

    const std::size_t parentLevels = components.size() - 1;
    const std::string& leafName = components.back();
    if (parentLevels == 0) {
      auto root = std::make_shared<JsonElement>(leafName);
      roots.push_back(root);
      chain.assign(1, root);
      matched = 1;
      continue;
    }
    if (chain.empty()) return false;
    // The parent is the current node or its nearest ancestor with the parent path.
    if (chain.size() < parentLevels || matched < parentLevels) return false;
    chain.resize(parentLevels);
    matched = std::min(matched, parentLevels);
    const JsonElementPtr& parent = chain.back();

    if (!value.empty()) {
      if (value != "{}") value = "\"" + value + "\"";
      parent->addMember("\"" + leafName + "\":" + decodeEntities(value));
      continue;
    }

    auto node = std::make_shared<JsonElement>(leafName, parent);
    const auto& siblings = parent->children();
    if (!siblings.empty() && siblings.front()->name() == leafName) {
      parent->setArray(true);
      siblings.front()->setArrayItem(true);
      node->setArrayItem(true);
    }
    parent->addChild(node);
    chain.push_back(std::move(node));
    matched = chain.size();
  }
  return true;
}

std::string convertText(std::string text) {
  text = normalise(text);
  text = expandEmptyTags(text);
  text = attributesToElements(text);
  text = jsonEscape(text);
  text = replaceAll(text, "</", std::string_view(&kCloseMarker, 1));
  const std::vector<ElementLine> lines = flatten(text);
  text.clear();
  text.shrink_to_fit();

  std::vector<JsonElementPtr> roots;
  if (!buildTree(lines, roots)) return std::string();

  std::string json = "{";
  for (const auto& root : roots) root->writeJson(json);
  if (json.back() == ',') json.pop_back();
  json += '}';
  return json;
}

}  // namespace

Xml2Json::~Xml2Json() = default;

std::string Xml2Json::convert(std::string xml) const {
  try {
    return convertText(std::move(xml));
  } catch (const std::exception&) {
    // Memory running out: the same failure result as a document without a tree.
    return std::string();
  }
}
