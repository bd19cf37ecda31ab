#include "bizl-demo/FileReplyStore.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <fstream>
#include <iterator>

#include "bizl-demo/XmlText.h"

namespace bizl {

namespace fs = std::filesystem;

FileReplyStore::FileReplyStore(std::string root) : root_(std::move(root)) {}

bool FileReplyStore::isSafeName(const std::string& name) {
  if (name.empty()) return false;
  size_t start = 0;
  for (;;) {
    size_t end = name.find('/', start);
    std::string segment = name.substr(start, end == std::string::npos ? std::string::npos : end - start);
    if (segment.empty() || segment == "." || segment == "..") return false;
    for (char c : segment)
      if (!(std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '-' || c == '.')) return false;
    if (end == std::string::npos) return true;
    start = end + 1;
  }
}

bool FileReplyStore::read(const std::string& name, std::string& text) const {
  if (!isSafeName(name)) return false;
  const fs::path path = fs::path(root_) / name;
  std::error_code error;
  if (!fs::is_regular_file(path, error) || fs::file_size(path, error) > kMaxFileSize || error) return false;
  std::ifstream in(path, std::ios::binary);
  if (!in) return false;
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) return false;
  text = compactXml(content);
  return true;
}

std::vector<std::string> FileReplyStore::list(const std::string& folder) const {
  std::vector<std::string> names;
  if (!isSafeName(folder)) return names;
  std::error_code error;
  for (fs::directory_iterator it(fs::path(root_) / folder, error), end; !error && it != end; it.increment(error)) {
    const fs::path& path = it->path();
    if (path.extension() == ".xml" && it->is_regular_file(error) && isSafeName(path.stem().string()))
      names.push_back(path.stem().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

}  // namespace bizl
