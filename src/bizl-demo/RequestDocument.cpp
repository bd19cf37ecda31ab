#include "bizl-demo/RequestDocument.h"

#include <vector>

#include "bizl-demo/RequestError.h"
#include "common/text/XmlReading.h"

namespace bizl {

std::string RequestDocument::value(const std::string& name) const {
  auto it = values_.find(name);
  return it == values_.end() ? std::string() : it->second;
}

RequestDocument RequestDocument::parse(const std::string& text) {
  pugi::xml_document parsed;
  const std::string error = xml::read(text, xml::Dialect::kStream, parsed);
  if (!error.empty()) throw RequestError(status::kMalformedRequest, "Malformed request document: " + error);
  RequestDocument document;
  std::map<std::string, std::string> items;
  std::vector<Frame> open;
  // Element by element in document order, without recursion.
  const pugi::xml_node root = parsed.document_element();
  pugi::xml_node node = root;
  for (;;) {
    if (node.type() == pugi::node_element) {
      if (open.empty()) document.root_ = node.name();
      if (!open.empty()) open.back().hasChildren = true;
      open.push_back(Frame{node.name(), {}, false, {}});
    } else {
      open.back().text += node.value();
    }
    if (node.type() == pugi::node_element && node.first_child()) {
      node = node.first_child();
      continue;
    }
    for (;;) {
      if (node.type() == pugi::node_element) document.close(open, items);
      if (node == root || node.next_sibling()) break;
      node = node.parent();
    }
    if (node == root) break;
    node = node.next_sibling();
  }
  for (auto& item : items) document.values_.emplace(item.first, item.second);
  return document;
}

// An element ends: a leaf's text is a value, a list item's key and value an item.
void RequestDocument::close(std::vector<Frame>& open, std::map<std::string, std::string>& items) {
  Frame frame = std::move(open.back());
  open.pop_back();
  Frame* parent = open.empty() ? nullptr : &open.back();
  if (frame.name == "parameter" && frame.hasChildren) {
    auto key = frame.leaves.find("key");
    if (key != frame.leaves.end() && !key->second.empty()) items.emplace(key->second, frame.leaves["value"]);
  } else if (!frame.hasChildren) {
    if (parent) parent->leaves.emplace(frame.name, frame.text);
    // The key and value of a list item are the item's, not the request's.
    if (!parent || parent->name != "parameter") values_.emplace(frame.name, frame.text);
  }
}

}  // namespace bizl
