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

RecordPtr Catalog::app(const std::string& id) const {
  if (!isValidId(id)) return nullptr;
  DataText text = store_->read("apps/" + id + ".xml");
  {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = apps_.find(id);
    if (!text) {
      if (it != apps_.end()) apps_.erase(it);
      return nullptr;
    }
    if (it != apps_.end() && it->second.text == text) return it->second.value;
  }
  return parsedApp(id, text);
}

// Two requests may parse the same new version at once; either result serves.
RecordPtr Catalog::parsedApp(const std::string& id, const DataText& text) const {
  auto record = std::make_shared<Record>(parseRecord(*text, "apps/" + id + ".xml"));
  (*record)["Id"] = id;  // the file name decides; ids need no escaping
  std::lock_guard<std::mutex> lock(mutex_);
  apps_[id] = Parsed<Record>{text, record};
  return record;
}

std::vector<RecordPtr> Catalog::apps() const {
  const std::vector<std::string> ids = store_->list("apps");
  std::vector<RecordPtr> records;
  records.reserve(ids.size());
  for (const std::string& id : ids)
    if (RecordPtr record = app(id)) records.push_back(std::move(record));
  keepOnly(ids);
  return records;
}

// Applications whose file went away leave the cache with it.
void Catalog::keepOnly(const std::vector<std::string>& ids) const {
  std::lock_guard<std::mutex> lock(mutex_);
  for (auto it = apps_.begin(); it != apps_.end();) {
    if (std::binary_search(ids.begin(), ids.end(), it->first))
      ++it;
    else
      it = apps_.erase(it);
  }
}

std::shared_ptr<const Catalog::Users> Catalog::users() const {
  DataText text = store_->read("users.xml");
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!text) users_ = Parsed<Users>{};
    if (users_.text == text) return users_.value;  // null when there is no file
  }
  auto users = std::make_shared<const Users>(parseRecordList(*text, "users.xml"));
  std::lock_guard<std::mutex> lock(mutex_);
  users_ = Parsed<Users>{text, users};
  return users;
}

RecordPtr Catalog::user(const std::string& mail) const {
  if (mail.empty()) return nullptr;
  std::shared_ptr<const Users> all = users();
  if (!all) return nullptr;
  for (const Record& candidate : *all)
    if (equalsIgnoringCase(plainText(candidate, "Mail"), mail)) return RecordPtr(all, &candidate);
  return nullptr;
}

std::string plainText(const Record& record, const std::string& field) {
  auto it = record.find(field);
  if (it == record.end()) return std::string();
  // Most fields hold neither markup nor references: nothing to decode.
  if (it->second.find_first_of("<&") == std::string::npos) return it->second;
  QDomDocument document;
  if (!document.setContent(QByteArray::fromStdString("<x>" + it->second + "</x>"))) return it->second;
  return document.documentElement().text().toStdString();
}

}  // namespace bizl
