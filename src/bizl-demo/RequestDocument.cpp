#include "bizl-demo/RequestDocument.h"

#include <QString>
#include <QXmlStreamReader>
#include <vector>

#include "bizl-demo/RequestError.h"

namespace bizl {

namespace {

struct Frame {
  std::string name;
  std::string text;
  bool hasChildren = false;
  std::map<std::string, std::string> leaves;  // direct leaf children, for list items
};

}  // namespace

std::string RequestDocument::value(const std::string& name) const {
  auto it = values_.find(name);
  return it == values_.end() ? std::string() : it->second;
}

RequestDocument RequestDocument::parse(const std::string& text) {
  RequestDocument document;
  std::map<std::string, std::string> items;
  std::vector<Frame> open;
  QXmlStreamReader reader(QByteArray::fromStdString(text));
  while (!reader.atEnd()) {
    switch (reader.readNext()) {
      case QXmlStreamReader::StartElement:
        if (open.empty()) document.root_ = reader.name().toString().toStdString();
        if (!open.empty()) open.back().hasChildren = true;
        open.push_back(Frame{reader.name().toString().toStdString(), {}, false, {}});
        break;
      case QXmlStreamReader::Characters:
        if (!open.empty()) open.back().text += reader.text().toString().toStdString();
        break;
      case QXmlStreamReader::EndElement: {
        Frame frame = std::move(open.back());
        open.pop_back();
        Frame* parent = open.empty() ? nullptr : &open.back();
        if (frame.name == "parameter" && frame.hasChildren) {
          auto key = frame.leaves.find("key");
          if (key != frame.leaves.end() && !key->second.empty()) items.emplace(key->second, frame.leaves["value"]);
        } else if (!frame.hasChildren) {
          if (parent) parent->leaves.emplace(frame.name, frame.text);
          // The key and value of a list item are the item's, not the request's.
          if (!parent || parent->name != "parameter") document.values_.emplace(frame.name, frame.text);
        }
        break;
      }
      default:
        break;
    }
  }
  if (reader.hasError() || document.root_.empty())
    throw RequestError(status::kMalformedRequest,
                       "Malformed request document: " +
                           (reader.hasError() ? reader.errorString().toStdString() : std::string("no element")));
  for (auto& item : items) document.values_.emplace(item.first, item.second);
  return document;
}

}  // namespace bizl
