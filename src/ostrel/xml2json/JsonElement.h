#pragma once

#include <memory>
#include <string>
#include <vector>

class JsonElement;
using JsonElementPtr = std::shared_ptr<JsonElement>;

// One node of the tree that Xml2Json rebuilds from its element lines: a root, or an
// element that contains other elements. Leaf elements are only members ("name":value)
// of their parent. A parent owns its children; the parent link is weak.
class JsonElement {
 public:
  explicit JsonElement(std::string name);                    // a root
  JsonElement(std::string name, const JsonElementPtr& parent);  // any other node
  virtual ~JsonElement();

  JsonElement(const JsonElement&) = delete;
  JsonElement& operator=(const JsonElement&) = delete;

  const std::string& name() const { return name_; }
  // "." followed by the names from the root down to this node, joined by ".".
  // Derived from the parent links: a stored copy per node would cost memory that
  // grows with the square of the nesting depth.
  std::string path() const;

  JsonElementPtr parent() const { return parent_.lock(); }
  const std::vector<std::string>& members() const { return members_; }
  const std::vector<JsonElementPtr>& children() const { return children_; }

  bool isArray() const { return isArray_; }
  bool isArrayItem() const { return isArrayItem_; }
  void setArray(bool value) { isArray_ = value; }
  void setArrayItem(bool value) { isArrayItem_ = value; }

  // member is a finished JSON member such as "status":"0".
  void addMember(std::string member) { members_.push_back(std::move(member)); }
  void addChild(JsonElementPtr child) { children_.push_back(std::move(child)); }

  // The JSON text of this node and its subtree; always ends with ",".
  std::string toJson() const;
  // Appends toJson() to out.
  void writeJson(std::string& out) const;

 private:
  std::string name_;
  std::vector<std::string> members_;
  std::vector<JsonElementPtr> children_;
  std::weak_ptr<JsonElement> parent_;
  bool isArray_ = false;
  bool isArrayItem_ = false;
};
