#include "platform/FileNames.h"

namespace filenames {

// Linux names are bytes: UTF-8 passes through unchanged.
std::filesystem::path toPath(const std::string& utf8Name) { return std::filesystem::path(utf8Name); }

std::string toUtf8(const std::filesystem::path& path) { return path.string(); }

std::FILE* openFile(const std::string& utf8Name, const char* mode) {
  return std::fopen(utf8Name.c_str(), (std::string(mode) + "e").c_str());
}

}  // namespace filenames
