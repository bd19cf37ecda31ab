#include "ostrel/channels/WebLink.h"

#include <utility>
#include <vector>

#include "common/text/JsonReader.h"
#include "common/text/XmlReading.h"

namespace {

bool sameIgnoringAsciiCase(const std::string& a, const char* b) {
  size_t i = 0;
  for (; i < a.size() && b[i]; ++i) {
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return i == a.size() && !b[i];
}

std::string* jsonField(WebLink& link, const std::string& name) {
  if (sameIgnoringAsciiCase(name, "applicationId")) return &link.applicationId;
  if (sameIgnoringAsciiCase(name, "categoryId")) return &link.categoryId;
  if (sameIgnoringAsciiCase(name, "localeCode")) return &link.localeCode;
  return nullptr;
}

// Members in key order, objects entered where they stand: of several members
// for one field, the last visited counts.
bool readJson(const std::string& message, WebLink& link) {
  json::Document document;
  if (!document.read(message) || document.top().kind != json::Node::Kind::kObject) return false;
  std::vector<std::pair<const json::Node*, size_t>> open{{&document.top(), 0}};
  while (!open.empty()) {
    auto& [object, next] = open.back();
    if (next == object->children.size()) {
      open.pop_back();
      continue;
    }
    const auto& [key, index] = object->children[next++];
    const json::Node& value = document.node(index);
    if (value.kind == json::Node::Kind::kObject) {
      open.emplace_back(&value, 0);
    } else if (std::string* field = jsonField(link, key)) {
      *field = json::Document::valueText(value);
    }
  }
  return true;
}

std::string* xmlField(WebLink& link, const char* name) {
  if (std::string(name) == "applicationId") return &link.applicationId;
  if (std::string(name) == "categoryId") return &link.categoryId;
  if (std::string(name) == "localeCode") return &link.localeCode;
  return nullptr;
}

// Elements in document order; what is inside a field's element belongs to that
// field, and a later element of a field's name replaces an earlier one.
bool readXml(const std::string& message, WebLink& link) {
  pugi::xml_document document;
  if (!xml::read(message, xml::Dialect::kStream, document).empty()) return false;
  const pugi::xml_node root = document.document_element();
  pugi::xml_node node = root;
  while (node) {
    std::string* field = node.type() == pugi::node_element ? xmlField(link, node.name()) : nullptr;
    if (field) *field = xml::textOf(node);
    if (!field && node.first_child()) {
      node = node.first_child();
      continue;
    }
    while (node != root && !node.next_sibling()) node = node.parent();
    if (node == root) break;
    node = node.next_sibling();
  }
  return true;
}

}  // namespace

bool WebLink::read(const std::string& message, WebLink& link) {
  const size_t first = message.find_first_not_of(" \t\r\n");
  if (first != std::string::npos && message[first] == '{') return readJson(message, link);
  return readXml(message, link);
}
