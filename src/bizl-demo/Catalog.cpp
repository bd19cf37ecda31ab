#include "bizl-demo/Catalog.h"

#include <algorithm>
#include <cctype>

#include "bizl-demo/RequestError.h"
#include "common/text/XmlReading.h"

namespace bizl {

namespace {

pugi::xml_node rootOf(const std::string& text, const std::string& source, pugi::xml_document& document) {
  const std::string error = xml::read(text, xml::Dialect::kTree, document);
  if (!error.empty())
    throw RequestError(status::kBadData, "Demo data file " + source + " is not well-formed: " + error, true);
  return document.document_element();
}

// Text as the records have always held it: "<", "&", a ">" after "]]" and a
// carriage return as references; in attribute values also '"', tab and line feed.
std::string escaped(const char* text, bool attribute) {
  std::string out;
  for (const char* c = text; *c; ++c) {
    if (*c == '<') {
      out += "&lt;";
    } else if (*c == '&') {
      out += "&amp;";
    } else if (*c == '>' && c - text >= 2 && c[-1] == ']' && c[-2] == ']') {
      out += "&gt;";
    } else if (attribute && *c == '"') {
      out += "&quot;";
    } else if (attribute && *c == '\t') {
      out += "&#x9;";
    } else if (attribute && *c == '\n') {
      out += "&#xa;";
    } else if (*c == '\r') {
      out += "&#xd;";
    } else {
      out += *c;
    }
  }
  return out;
}

bool isText(const pugi::xml_node& node) {
  return node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata;
}

// The nodes inside `field` as XML text: no declarations, no indentation; a
// comment or processing instruction that no text follows ends its line.
std::string contentOf(const pugi::xml_node& field) {
  std::string out;
  pugi::xml_node node = field.first_child();
  while (node) {
    switch (node.type()) {
      case pugi::node_element:
        out += std::string("<") + node.name();
        for (const pugi::xml_attribute& attribute : node.attributes())
          out += std::string(" ") + attribute.name() + "=\"" + escaped(attribute.value(), true) + "\"";
        out += node.first_child() ? ">" : "/>";
        break;
      case pugi::node_pcdata:
        out += escaped(node.value(), false);
        break;
      case pugi::node_cdata: {
        std::string text = node.value();
        for (size_t at = text.find("]]>"); at != std::string::npos; at = text.find("]]>", at + 15))
          text.replace(at, 3, "]]]]><![CDATA[>");
        out += "<![CDATA[" + text + "]]>";
        break;
      }
      case pugi::node_comment: {
        const std::string text = node.value();
        out += "<!--" + text + (!text.empty() && text.back() == '-' ? " " : "") + "-->";
        if (!isText(node.next_sibling())) out += "\n";
        break;
      }
      case pugi::node_pi:
        out += std::string("<?") + node.name() + " " + node.value() + "?>\n";
        break;
      default:
        break;
    }
    if (node.type() == pugi::node_element && node.first_child()) {
      node = node.first_child();
      continue;
    }
    while (node != field && !node.next_sibling()) {
      node = node.parent();
      if (node != field) out += std::string("</") + node.name() + ">";
    }
    if (node == field) break;
    node = node.next_sibling();
  }
  return out;
}

Record recordOf(const pugi::xml_node& element) {
  Record record;
  for (pugi::xml_node field = element.first_child(); field; field = field.next_sibling())
    if (field.type() == pugi::node_element) record.emplace(field.name(), contentOf(field));
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
  pugi::xml_document document;
  return recordOf(rootOf(text, source, document));
}

std::vector<Record> Catalog::parseRecordList(const std::string& text, const std::string& source) {
  pugi::xml_document document;
  const pugi::xml_node root = rootOf(text, source, document);
  std::vector<Record> records;
  for (pugi::xml_node child = root.first_child(); child; child = child.next_sibling())
    if (child.type() == pugi::node_element) records.push_back(recordOf(child));
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
  pugi::xml_document document;
  if (!xml::read("<x>" + it->second + "</x>", xml::Dialect::kTree, document).empty()) return it->second;
  return xml::textOf(document.document_element());
}

}  // namespace bizl
