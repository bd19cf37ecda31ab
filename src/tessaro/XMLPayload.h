#pragma once

#include <memory>
#include <string>

#include "tessaro/ISerializable.h"

// A payload holding one XML (or JSON) text: what plug-ins exchange.
class XMLPayload : public ISerializable {
 public:
  XMLPayload() = default;
  explicit XMLPayload(std::string text) : text_(std::move(text)) {}

  std::string getTypeName() const override { return "XMLPayload"; }

  const std::string& getXML() const { return text_; }
  void setXML(const std::string& text) { text_ = text; }

 private:
  std::string text_;
};

using XMLPayloadPtr = std::shared_ptr<XMLPayload>;
