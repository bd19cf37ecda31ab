#include "ostrel/services/ReflectiveSerializer.h"

#include <algorithm>

#include "ostrel/xml2json/JsonEscape.h"
#include "tessaro/XMLTool.h"

namespace ReflectiveSerializer {

void sequenceNames(const std::string& fieldName, std::string& container, std::string& item) {
  // "([^_]+)_{0,2}(.*)" over the whole name: the leading run without "_", then
  // at most two "_" skipped, then the rest. A name that is empty or begins with
  // "_" does not split.
  const size_t end = std::min(fieldName.find('_'), fieldName.size());
  if (end == 0) {
    container = fieldName;
    item.clear();
  } else {
    size_t rest = end;
    for (int skipped = 0; skipped < 2 && rest < fieldName.size() && fieldName[rest] == '_'; ++skipped) ++rest;
    container = fieldName.substr(0, end);
    item = fieldName.substr(rest);
  }
  if (item.empty()) item = "item";
}

std::string jsonString(const std::string& text) { return "\"" + jsonEscape(text) + "\""; }

namespace {

// Only A to Z change, as in the classic locale.
std::string lowerCase(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
  return text;
}

std::string child(const std::string& path, const std::string& name) { return path + "\\" + name; }

std::string indexed(const std::string& name, size_t index) { return name + "[" + std::to_string(index) + "]"; }

class XmlWriter : public FieldVisitor {
 public:
  XmlWriter(IXMLTool& tool, std::string path) : tool_(tool), path_(std::move(path)) {}
  void field(const std::string& name, std::string& value) override { tool_.setValue(child(path_, name), value); }
  void field(const std::string& name, int32_t& value) override {
    tool_.setValue(child(path_, name), std::to_string(value));
  }
  void field(const std::string& name, bool& value) override { tool_.setValue(child(path_, name), value ? "1" : "0"); }
  void record(const std::string& name, ReflectiveRecord& value) override {
    tool_.addElement(child(path_, name));
    XmlWriter nested(tool_, child(path_, name));
    value.visitFields(nested);
  }
  void sequence(const std::string& name, SequenceAccess& items) override {
    std::string container, item;
    sequenceNames(name, container, item);
    tool_.addElement(child(path_, container));
    XmlWriter inside(tool_, child(path_, container));
    for (size_t i = 0; i < items.size(); ++i) items.visitItem(i, indexed(item, i), inside);
  }

 private:
  IXMLTool& tool_;
  std::string path_;
};

class XmlReader : public FieldVisitor {
 public:
  XmlReader(const IXMLTool& tool, std::string path) : tool_(tool), path_(std::move(path)) {}
  void field(const std::string& name, std::string& value) override { value = tool_.getValue(child(path_, name)); }
  void field(const std::string& name, int32_t& value) override {
    std::string text = tool_.getValue(child(path_, name));
    try {
      size_t used = 0;
      long number = std::stol(text, &used);
      if (used != text.size() || number < INT32_MIN || number > INT32_MAX) throw std::out_of_range(text);
      value = int32_t(number);
    } catch (const std::exception&) {
      throw tctl::illformed_serialized_object_exception("not a whole number in " + child(path_, name) + ": " + text);
    }
  }
  void field(const std::string& name, bool& value) override {
    std::string text = tool_.getValue(child(path_, name));
    if (text == "1" || text == "true") {
      value = true;
    } else if (text == "0" || text == "false") {
      value = false;
    } else {
      throw tctl::illformed_serialized_object_exception("not a boolean in " + child(path_, name) + ": " + text);
    }
  }
  void record(const std::string& name, ReflectiveRecord& value) override {
    if (!tool_.hasElement(child(path_, name))) throw tctl::mandatory_element_not_found_exception(child(path_, name));
    XmlReader nested(tool_, child(path_, name));
    value.visitFields(nested);
  }
  void sequence(const std::string& name, SequenceAccess& items) override {
    std::string container, item;
    sequenceNames(name, container, item);
    const std::string where = child(path_, container);
    if (!tool_.hasElement(where)) throw tctl::mandatory_element_not_found_exception(where);
    items.resize(size_t(tool_.countElements(child(where, item))));
    XmlReader inside(tool_, where);
    for (size_t i = 0; i < items.size(); ++i) items.visitItem(i, indexed(item, i), inside);
  }

 private:
  const IXMLTool& tool_;
  std::string path_;
};

// Writes members as `"name":value,`; the caller closes the object.
class JsonWriter : public FieldVisitor {
 public:
  explicit JsonWriter(std::string& out) : out_(out) {}
  void field(const std::string& name, std::string& value) override { member(name, jsonString(value)); }
  void field(const std::string& name, int32_t& value) override { member(name, std::to_string(value)); }
  void field(const std::string& name, bool& value) override { member(name, value ? "true" : "false"); }
  void record(const std::string& name, ReflectiveRecord& value) override { member(name, object(value)); }
  void sequence(const std::string& name, SequenceAccess& items) override {
    std::string container, item;
    sequenceNames(name, container, item);
    std::string array = "[";
    for (size_t i = 0; i < items.size(); ++i) {
      std::string value;
      JsonWriter itemWriter(value);
      items.visitItem(i, item == "item" ? "__none" : item, itemWriter);
      if (item == "item") {
        array += stripComma(value);
      } else {
        array += "{" + stripComma(value) + "}";
      }
      array += ",";
    }
    member(container, stripComma(array) + "]");
  }

  static std::string object(ReflectiveRecord& record) {
    std::string members;
    JsonWriter writer(members);
    record.visitFields(writer);
    return "{" + stripComma(members) + "}";
  }

 private:
  static std::string stripComma(std::string text) {
    if (!text.empty() && text.back() == ',') text.pop_back();
    return text;
  }
  void member(const std::string& name, const std::string& value) {
    if (name != "__none") out_ += jsonString(lowerCase(name)) + ":";
    out_ += value + ",";
  }

  std::string& out_;
};

}  // namespace

std::string writeXml(ReflectiveRecord& record, const std::string& rootName) {
  try {
    IXMLToolPtr tool = bootStrapCreate();
    tool->addElement(rootName);
    XmlWriter writer(*tool, rootName);
    record.visitFields(writer);
    return tool->serialize();
  } catch (const tctl::illformed_serialized_object_exception&) {
    throw;
  } catch (const std::exception& error) {
    throw tctl::illformed_serialized_object_exception(error.what());
  }
}

void readXml(const std::string& text, const std::string& rootName, ReflectiveRecord& record) {
  IXMLToolPtr tool = bootStrapCreate(text, 0);
  if (!tool->hasElement(rootName)) throw tctl::mandatory_element_not_found_exception(rootName);
  XmlReader reader(*tool, rootName);
  record.visitFields(reader);
}

std::string writeJson(ReflectiveRecord& record, const std::string& rootName) {
  return "{" + jsonString(lowerCase(rootName)) + ":" + JsonWriter::object(record) + "}";
}

}  // namespace ReflectiveSerializer
