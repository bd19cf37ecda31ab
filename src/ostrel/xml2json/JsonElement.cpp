#include "ostrel/xml2json/JsonElement.h"

#include <utility>

JsonElement::JsonElement(std::string name) : name_(std::move(name)) {}

JsonElement::JsonElement(std::string name, const JsonElementPtr& parent)
    : name_(std::move(name)), parent_(parent) {}

JsonElement::~JsonElement() {
  // Takes the subtree apart without recursion, so that a very deep tree cannot
  // exhaust the stack.
  std::vector<JsonElementPtr> pending = std::move(children_);
  while (!pending.empty()) {
    JsonElementPtr node = std::move(pending.back());
    pending.pop_back();
    if (node.use_count() == 1) {
      for (auto& child : node->children_) pending.push_back(std::move(child));
      node->children_.clear();
    }
  }
}

std::string JsonElement::path() const {
  std::vector<const std::string*> names{&name_};
  for (JsonElementPtr node = parent(); node; node = node->parent()) names.push_back(&node->name_);
  std::string result;
  for (auto it = names.rbegin(); it != names.rend(); ++it) {
    result += '.';
    result += **it;
  }
  return result;
}

std::string JsonElement::toJson() const {
  std::string out;
  writeJson(out);
  return out;
}

namespace {

void openNode(const JsonElement& node, std::string& out) {
  if (node.isArray()) {
    out += '"';
    out += node.name();
    out += "\":{";
    if (!node.children().empty()) {
      out += '"';
      out += node.children().front()->name();
      out += "\":[";
    }
    return;
  }
  if (node.isArrayItem()) {
    out += '{';
  } else {
    out += '"';
    out += node.name();
    out += "\":{";
  }
  for (const auto& member : node.members()) {
    out += member;
    out += ',';
  }
}

// The node's own text is never empty, so the last byte of out is the last byte of
// what this node has written so far.
void closeNode(const JsonElement& node, std::string& out) {
  if (!out.empty() && out.back() == ',') out.pop_back();
  out += node.isArray() ? "]}," : "},";
}

}  // namespace

void JsonElement::writeJson(std::string& out) const {
  // Depth-first with an explicit stack: nesting depth is bounded only by the input.
  struct Frame {
    const JsonElement* node;
    std::size_t nextChild;
  };
  std::vector<Frame> stack;
  openNode(*this, out);
  stack.push_back({this, 0});
  while (!stack.empty()) {
    Frame& top = stack.back();
    if (top.nextChild < top.node->children_.size()) {
      const JsonElement* child = top.node->children_[top.nextChild++].get();
      openNode(*child, out);
      stack.push_back({child, 0});
    } else {
      closeNode(*top.node, out);
      stack.pop_back();
    }
  }
}
