#pragma once

#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bizl-demo/ReplyStore.h"

namespace bizl {

// One record of the data folder: each child element of the record's root, by
// name, with its content as XML text (plain text fields hold escaped text).
using Record = std::map<std::string, std::string>;
using RecordPtr = std::shared_ptr<const Record>;

// The demo's store data: the applications (apps/<id>.xml, root "App") and the
// accounts (users.xml, root "Users" with "User" children). Each file is parsed
// once per version the store hands out; records are shared and never changed.
class Catalog {
 public:
  explicit Catalog(ReplyStorePtr store);

  // The record of application `id`; null when there is none. Ids are letters,
  // digits, "_" and "-"; any other id names no application.
  RecordPtr app(const std::string& id) const;
  // Every application, in id order.
  std::vector<RecordPtr> apps() const;
  // The account with this e-mail address (compared without regard to ASCII case);
  // null when there is none.
  RecordPtr user(const std::string& mail) const;

  static bool isValidId(const std::string& id);
  // The children of the root element of `text`; `source` names the file in the
  // RequestError (critical) thrown for text that is not well-formed XML.
  static Record parseRecord(const std::string& text, const std::string& source);
  // The records held by the children of the root element.
  static std::vector<Record> parseRecordList(const std::string& text, const std::string& source);

 private:
  using Users = std::vector<Record>;
  // What was parsed from one version of a file.
  template <typename T>
  struct Parsed {
    DataText text;
    std::shared_ptr<const T> value;
  };

  RecordPtr parsedApp(const std::string& id, const DataText& text) const;
  std::shared_ptr<const Users> users() const;
  void keepOnly(const std::vector<std::string>& ids) const;

  ReplyStorePtr store_;
  mutable std::mutex mutex_;  // guards apps_ and users_; never held while parsing
  mutable std::map<std::string, Parsed<Record>> apps_;  // by id
  mutable Parsed<Users> users_;
};

// The field's text with entity references decoded, for comparisons and numbers.
std::string plainText(const Record& record, const std::string& field);

}  // namespace bizl
