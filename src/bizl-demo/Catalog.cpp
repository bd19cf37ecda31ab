#include "bizl-demo/Catalog.h"

#include <QDomDocument>
#include <QString>
#include <QTextStream>
#include <algorithm>
#include <cctype>

#include "bizl-demo/RequestError.h"

namespace bizl {

namespace {

QDomElement rootOf(const std::string& text, const std::string& source, QDomDocument& document) {
  QString error;
  int line = 0;
  if (!document.setContent(QByteArray::fromStdString(text), &error, &line))
    throw RequestError(status::kBadData,
                       "Demo data file " + source + " is not well-formed: " + error.toStdString(), true);
  return document.documentElement();
}

Record recordOf(const QDomElement& element) {
  Record record;
  for (QDomElement field = element.firstChildElement(); !field.isNull(); field = field.nextSiblingElement()) {
    QString content;
    QTextStream stream(&content);
    for (QDomNode child = field.firstChild(); !child.isNull(); child = child.nextSibling()) child.save(stream, -1);
    stream.flush();
    record.emplace(field.tagName().toStdString(), content.toStdString());
  }
  return record;
}

bool equalsIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
         });
}

}  // namespace

Catalog::Catalog(ReplyStorePtr store) : store_(std::move(store)) {}

bool Catalog::isValidId(const std::string& id) {
  return !id.empty() && id.size() <= 64 && std::all_of(id.begin(), id.end(), [](char c) {
           return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-';
         });
}

Record Catalog::parseRecord(const std::string& text, const std::string& source) {
  QDomDocument document;
  return recordOf(rootOf(text, source, document));
}

std::vector<Record> Catalog::parseRecordList(const std::string& text, const std::string& source) {
  QDomDocument document;
  QDomElement root = rootOf(text, source, document);
  std::vector<Record> records;
  for (QDomElement child = root.firstChildElement(); !child.isNull(); child = child.nextSiblingElement())
    records.push_back(recordOf(child));
  return records;
}

bool Catalog::app(const std::string& id, Record& record) const {
  std::string text;
  const std::string name = "apps/" + id + ".xml";
  if (!isValidId(id) || !store_->read(name, text)) return false;
  record = parseRecord(text, name);
  record["Id"] = id;  // the file name decides; ids need no escaping
  return true;
}

std::vector<Record> Catalog::apps() const {
  std::vector<Record> records;
  for (const std::string& id : store_->list("apps")) {
    Record record;
    if (app(id, record)) records.push_back(std::move(record));
  }
  return records;
}

bool Catalog::user(const std::string& mail, Record& record) const {
  std::string text;
  if (mail.empty() || !store_->read("users.xml", text)) return false;
  for (Record& candidate : parseRecordList(text, "users.xml")) {
    if (equalsIgnoringCase(plainText(candidate, "Mail"), mail)) {
      record = std::move(candidate);
      return true;
    }
  }
  return false;
}

std::string plainText(const Record& record, const std::string& field) {
  auto it = record.find(field);
  if (it == record.end()) return std::string();
  QDomDocument document;
  if (!document.setContent(QByteArray::fromStdString("<x>" + it->second + "</x>"))) return it->second;
  return document.documentElement().text().toStdString();
}

}  // namespace bizl
