#pragma once

// The host's XML serialiser. Elements are addressed by paths: the root name, then
// each element name, joined by a backslash ("Root\\Child\\Leaf"). A segment may
// carry a zero-based index, "item[2]", to address the third "item" child; without
// one it means the first.

#include <memory>
#include <stdexcept>
#include <string>

namespace tctl {

// A path that names no element of the document being read.
class mandatory_element_not_found_exception : public std::runtime_error {
 public:
  explicit mandatory_element_not_found_exception(const std::string& path)
      : std::runtime_error("mandatory element not found: " + path) {}
};

// A document that cannot be read, or a write that cannot be done.
class illformed_serialized_object_exception : public std::runtime_error {
 public:
  explicit illformed_serialized_object_exception(const std::string& what) : std::runtime_error(what) {}
};

}  // namespace tctl

class IXMLTool {
 public:
  virtual ~IXMLTool() = default;

  // Sets the text of the element at `path`, creating it and its ancestors as needed.
  virtual void setValue(const std::string& path, const std::string& value) = 0;
  // Creates the element at `path` (and its ancestors) when missing; keeps its text.
  virtual void addElement(const std::string& path) = 0;

  // The text of the element at `path`; throws mandatory_element_not_found_exception.
  virtual std::string getValue(const std::string& path) const = 0;
  virtual bool hasElement(const std::string& path) const = 0;
  // How many elements share the last segment's name under the parent of `path`
  // (the segment's own index is ignored); 0 when the parent is missing.
  virtual int countElements(const std::string& path) const = 0;

  // The document as compact XML text.
  virtual std::string serialize() const = 0;
};

using IXMLToolPtr = std::shared_ptr<IXMLTool>;

// A tool holding an empty document, for writing.
IXMLToolPtr bootStrapCreate();
// A tool holding the parsed `text`, for reading; `options` must be 0. Throws
// tctl::illformed_serialized_object_exception when the text is not well-formed XML.
IXMLToolPtr bootStrapCreate(const std::string& text, int options);
