#pragma once

#include "bizl-demo/ReplyStore.h"

namespace bizl {

// A ReplyStore over a folder. Files are read on every call, so data may be edited
// while the demo runs.
class FileReplyStore : public ReplyStore {
 public:
  explicit FileReplyStore(std::string root);

  const std::string& root() const { return root_; }

  // A name is safe when its segments are non-empty runs of letters, digits, "_",
  // "-" and ".", none of them "." or "..".
  static bool isSafeName(const std::string& name);

  // ReplyStore
  bool read(const std::string& name, std::string& text) const override;
  std::vector<std::string> list(const std::string& folder) const override;

  // Larger files are refused; the demo's files are a few kilobytes.
  static constexpr size_t kMaxFileSize = 1 << 20;

 private:
  std::string root_;
};

}  // namespace bizl
