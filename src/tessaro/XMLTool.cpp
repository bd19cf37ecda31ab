#include "tessaro/XMLTool.h"

#include <QDomDocument>
#include <QDomElement>
#include <QString>

#include <vector>

namespace {

struct Segment {
  QString name;
  int index = 0;
};

std::vector<Segment> splitPath(const std::string& path) {
  std::vector<Segment> segments;
  size_t start = 0;
  for (;;) {
    size_t end = path.find('\\', start);
    std::string part = path.substr(start, end == std::string::npos ? std::string::npos : end - start);
    Segment segment;
    size_t bracket = part.find('[');
    if (bracket != std::string::npos && part.back() == ']') {
      try {
        segment.index = std::stoi(part.substr(bracket + 1, part.size() - bracket - 2));
      } catch (const std::exception&) {
        throw tctl::illformed_serialized_object_exception("bad element index in path: " + path);
      }
      part.erase(bracket);
    }
    if (part.empty() || segment.index < 0)
      throw tctl::illformed_serialized_object_exception("bad element path: " + path);
    segment.name = QString::fromStdString(part);
    segments.push_back(segment);
    if (end == std::string::npos) break;
    start = end + 1;
  }
  return segments;
}

QDomElement nthChild(const QDomElement& parent, const Segment& segment) {
  QDomElement child = parent.firstChildElement(segment.name);
  for (int i = 0; i < segment.index && !child.isNull(); ++i) child = child.nextSiblingElement(segment.name);
  return child;
}

class QtXMLTool : public IXMLTool {
 public:
  QtXMLTool() = default;
  explicit QtXMLTool(const std::string& text) {
    QString error;
    int line = 0, column = 0;
    if (!document_.setContent(QString::fromUtf8(text.data(), int(text.size())), &error, &line, &column))
      throw tctl::illformed_serialized_object_exception("ill-formed XML at line " + std::to_string(line) +
                                                        ", column " + std::to_string(column) + ": " +
                                                        error.toStdString());
  }

  void setValue(const std::string& path, const std::string& value) override {
    QDomElement element = create(path);
    while (!element.firstChild().isNull()) element.removeChild(element.firstChild());
    if (!value.empty()) element.appendChild(document_.createTextNode(QString::fromUtf8(value.data(), int(value.size()))));
  }

  void addElement(const std::string& path) override { create(path); }

  std::string getValue(const std::string& path) const override {
    QDomElement element = find(path);
    if (element.isNull()) throw tctl::mandatory_element_not_found_exception(path);
    return element.text().toStdString();
  }

  bool hasElement(const std::string& path) const override { return !find(path).isNull(); }

  int countElements(const std::string& path) const override {
    std::vector<Segment> segments = splitPath(path);
    Segment last = segments.back();
    QDomElement parent;
    if (segments.size() == 1) {
      QDomElement root = document_.documentElement();
      return !root.isNull() && root.tagName() == last.name ? 1 : 0;
    }
    segments.pop_back();
    parent = walk(segments);
    if (parent.isNull()) return 0;
    int count = 0;
    for (QDomElement child = parent.firstChildElement(last.name); !child.isNull();
         child = child.nextSiblingElement(last.name))
      ++count;
    return count;
  }

  std::string serialize() const override {
    if (document_.documentElement().isNull())
      throw tctl::illformed_serialized_object_exception("nothing to serialize: the document is empty");
    return document_.toString(-1).toStdString();
  }

 private:
  QDomElement walk(const std::vector<Segment>& segments) const {
    QDomElement element = document_.documentElement();
    if (element.isNull() || element.tagName() != segments[0].name || segments[0].index != 0) return QDomElement();
    for (size_t i = 1; i < segments.size() && !element.isNull(); ++i) element = nthChild(element, segments[i]);
    return element;
  }

  QDomElement find(const std::string& path) const { return walk(splitPath(path)); }

  QDomElement create(const std::string& path) {
    std::vector<Segment> segments = splitPath(path);
    QDomElement element = document_.documentElement();
    if (element.isNull()) {
      element = document_.createElement(segments[0].name);
      document_.appendChild(element);
    } else if (element.tagName() != segments[0].name || segments[0].index != 0) {
      throw tctl::illformed_serialized_object_exception("a document has one root; cannot write " + path);
    }
    for (size_t i = 1; i < segments.size(); ++i) {
      const Segment& segment = segments[i];
      int existing = 0;
      QDomElement child = element.firstChildElement(segment.name);
      while (!child.isNull() && existing < segment.index) {
        child = child.nextSiblingElement(segment.name);
        ++existing;
      }
      if (child.isNull()) {
        for (int n = existing; n <= segment.index; ++n) {
          child = document_.createElement(segment.name);
          element.appendChild(child);
        }
      }
      element = child;
    }
    return element;
  }

  QDomDocument document_;
};

}  // namespace

IXMLToolPtr bootStrapCreate() { return std::make_shared<QtXMLTool>(); }

IXMLToolPtr bootStrapCreate(const std::string& text, int options) {
  if (options != 0) throw tctl::illformed_serialized_object_exception("unsupported options");
  return std::make_shared<QtXMLTool>(text);
}
