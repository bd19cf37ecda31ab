#pragma once

#include <memory>
#include <string>
#include <vector>

namespace bizl {

// The text of a data file, shared by every request that reads it: the same
// pointer as long as the file has not changed.
using DataText = std::shared_ptr<const std::string>;

// The files of the demo's data folder, addressed by relative names such as
// "replies/1.0/Catalog/getBanners.xml".
class ReplyStore {
 public:
  virtual ~ReplyStore() = default;

  // The file's text, made compact (see compactXml); null when the file is absent,
  // unreadable, or the name leaves the folder.
  virtual DataText read(const std::string& name) const = 0;
  // The names of the ".xml" files directly in `folder`, without the extension, sorted.
  virtual std::vector<std::string> list(const std::string& folder) const = 0;
};

using ReplyStorePtr = std::shared_ptr<ReplyStore>;

}  // namespace bizl
