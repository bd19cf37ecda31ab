#pragma once

#include <map>
#include <string>
#include <vector>

#include "bizl-demo/ReplyStore.h"

namespace bizl {

// One record of the data folder: each child element of the record's root, by
// name, with its content as XML text (plain text fields hold escaped text).
using Record = std::map<std::string, std::string>;

// The demo's store data: the applications (apps/<id>.xml, root "App") and the
// accounts (users.xml, root "Users" with "User" children). Read from the store on
// every call.
class Catalog {
 public:
  explicit Catalog(ReplyStorePtr store);

  // The record of application `id`; false when there is none. Ids are letters,
  // digits, "_" and "-"; any other id names no application.
  bool app(const std::string& id, Record& record) const;
  // Every application, in id order.
  std::vector<Record> apps() const;
  // The account with this e-mail address (compared without regard to ASCII case).
  bool user(const std::string& mail, Record& record) const;

  static bool isValidId(const std::string& id);
  // The children of the root element of `text`; `source` names the file in the
  // RequestError (critical) thrown for text that is not well-formed XML.
  static Record parseRecord(const std::string& text, const std::string& source);
  // The records held by the children of the root element.
  static std::vector<Record> parseRecordList(const std::string& text, const std::string& source);

 private:
  ReplyStorePtr store_;
};

// The field's text with entity references decoded, for comparisons and numbers.
std::string plainText(const Record& record, const std::string& field);

}  // namespace bizl
