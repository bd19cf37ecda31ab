#include "ostrel/updates/UXFolders.h"

#include <filesystem>
#include <system_error>

namespace fs = std::filesystem;

namespace UXFolders {

namespace {

// Makes room for an entry of the source: whatever the name holds now goes,
// unless both are directories.
bool clearTarget(const fs::path& target, std::error_code& error) {
  fs::file_status status = fs::symlink_status(target, error);
  if (status.type() == fs::file_type::not_found) {
    error.clear();
    return true;
  }
  if (error) return false;
  fs::remove(target, error);
  return !error;
}

bool copyEntries(const fs::path& source, const fs::path& destination) {
  std::error_code error;
  fs::create_directories(destination, error);
  if (error || !fs::is_directory(destination, error)) return false;
  fs::directory_iterator entry(source, error), end;
  for (; !error && entry != end; entry.increment(error)) {
    const fs::path target = destination / entry->path().filename();
    fs::file_status status = entry->symlink_status(error);
    if (error) return false;
    if (fs::is_directory(status)) {
      if (!copyEntries(entry->path(), target)) return false;
    } else if (fs::is_regular_file(status)) {
      if (!clearTarget(target, error)) return false;
      fs::copy_file(entry->path(), target, error);
    } else if (fs::is_symlink(status)) {
      if (!clearTarget(target, error)) return false;
      fs::copy_symlink(entry->path(), target, error);
    }
    if (error) return false;
  }
  return !error;
}

}  // namespace

bool copyRecursive(const std::string& source, const std::string& destination) {
  if (!isDirectory(source)) return true;
  return copyEntries(source, destination);
}

bool emptyDirectory(const std::string& directory) {
  std::error_code error;
  bool ok = true;
  fs::directory_iterator entry(directory, error), end;
  if (error) return !fs::exists(directory);
  for (; !error && entry != end; entry.increment(error)) {
    std::error_code removal;
    fs::file_status status = entry->symlink_status(removal);
    if (fs::is_directory(status)) {
      fs::remove_all(entry->path(), removal);
    } else if (fs::is_regular_file(status)) {
      fs::remove(entry->path(), removal);
    }
    if (removal) ok = false;
  }
  return ok && !error;
}

bool hasEntries(const std::string& directory) {
  std::error_code error;
  if (!isDirectory(directory)) return false;
  return fs::directory_iterator(directory, error) != fs::directory_iterator();
}

bool isDirectory(const std::string& path) {
  std::error_code error;
  return !path.empty() && fs::is_directory(path, error);
}

bool removeAll(const std::string& path) {
  std::error_code error;
  if (path.empty()) return true;
  fs::remove_all(path, error);
  return !error && !fs::exists(fs::symlink_status(path, error));
}

}  // namespace UXFolders
