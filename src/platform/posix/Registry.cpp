#include "platform/Registry.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "platform/PrivateFolder.h"

struct RegistryKey {
  std::string directory;
};

namespace {

std::string keyDirectory(const std::string& subKey) {
  std::string directory = registryRoot() + "/HKEY_CURRENT_USER";
  std::string part;
  for (char c : subKey + "\\") {
    if (c != '\\') {
      part += c;
      continue;
    }
    if (part == "." || part == ".." || part.find('/') != std::string::npos) return "";
    if (!part.empty()) directory += "/" + part;
    part.clear();
  }
  return directory;
}

// Every folder from the root to the key, each created (mode 0700) when
// `create` is set and it is missing, and each checked: a link, a non-folder,
// a folder of another user or one that others may write is refused, or
// another user could plant the port that the store client will trust, or
// learn this user's port from a folder that is theirs.
struct FolderCheck {
  std::string refusal;  // "<path> <reason>" of the first folder refused; empty when none
  bool missing = false;  // that folder does not exist (only when not creating)
  bool created = false;  // the key's own folder was made now
};

FolderCheck keyFolders(const std::string& target, bool create) {
  const std::string root = registryRoot();
  std::vector<std::string> steps = {root};
  for (size_t slash = target.find('/', root.size() + 1);; slash = target.find('/', slash + 1)) {
    steps.push_back(target.substr(0, slash));
    if (slash == std::string::npos) break;
  }
  FolderCheck check;
  for (const std::string& step : steps) {
    struct stat info;
    const bool absent = lstat(step.c_str(), &info) != 0 && errno == ENOENT;
    check.created = create && absent;
    check.missing = !create && absent;
    const std::string refusal = create ? makePrivateFolder(step) : privateFolderRefusal(step);
    if (!refusal.empty()) {
      check.refusal = step + " " + refusal;
      return check;
    }
  }
  return check;
}

// "dword:" and 8 lower-case hex digits and a line feed, exactly as written.
bool parseDword(const char* text, ssize_t length, uint32_t& value) {
  static const char kPrefix[] = "dword:";
  if (length != 15 || std::strncmp(text, kPrefix, 6) != 0 || text[14] != '\n') return false;
  value = 0;
  for (int i = 6; i < 14; ++i) {
    const char c = text[i];
    if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    value = value << 4 | uint32_t(c <= '9' ? c - '0' : c - 'a' + 10);
  }
  return true;
}

bool validName(const std::string& name) {
  return !name.empty() && name != "." && name != ".." && name.find('/') == std::string::npos &&
         name.find('\\') == std::string::npos;
}

}  // namespace

std::string registryRoot() {
  if (const char* root = std::getenv("TESSARO_REGISTRY_ROOT"); root && *root) return root;
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime)
    return std::string(runtime) + "/tessaro-registry";
  return "/tmp/tessaro-registry-" + std::to_string(geteuid());
}

std::string registryValueFile(const std::string& subKey, const std::string& valueName) {
  return keyDirectory(subKey) + "/" + valueName;
}

long RegCreateKeyExA(HKEY root, const char* subKey, uint32_t, char*, uint32_t, uint32_t, void*, HKEY* result,
                     uint32_t* disposition) {
  if (root != HKEY_CURRENT_USER || !subKey || !result) return ERROR_INVALID_PARAMETER;
  std::string target = keyDirectory(subKey);
  if (target.empty()) return ERROR_INVALID_PARAMETER;
  const FolderCheck check = keyFolders(target, true);
  if (!check.refusal.empty()) return ERROR_ACCESS_DENIED;
  auto* key = new (std::nothrow) RegistryKey{target};
  if (!key) return ERROR_WRITE_FAULT;
  *result = key;
  if (disposition) *disposition = check.created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
}

long RegOpenKeyExA(HKEY root, const char* subKey, uint32_t, uint32_t, HKEY* result) {
  if (root != HKEY_CURRENT_USER || !subKey || !result) return ERROR_INVALID_PARAMETER;
  std::string target = keyDirectory(subKey);
  if (target.empty()) return ERROR_INVALID_PARAMETER;
  const FolderCheck check = keyFolders(target, false);
  if (!check.refusal.empty()) return check.missing ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
  auto* key = new (std::nothrow) RegistryKey{target};
  if (!key) return ERROR_WRITE_FAULT;
  *result = key;
  return ERROR_SUCCESS;
}

std::string registryKeyRefusal(const std::string& subKey) {
  std::string target = keyDirectory(subKey);
  if (target.empty()) return subKey + " is not a key name";
  return keyFolders(target, true).refusal;
}

long RegSetValueExA(HKEY key, const char* valueName, uint32_t, uint32_t type, const uint8_t* data, uint32_t size) {
  if (!key || key == HKEY_CURRENT_USER) return ERROR_INVALID_HANDLE;
  if (!valueName || !validName(valueName) || type != REG_DWORD || !data || size != 4)
    return ERROR_INVALID_PARAMETER;
  uint32_t value = uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16 | uint32_t(data[3]) << 24;
  char text[32];
  int length = std::snprintf(text, sizeof text, "dword:%08x\n", value);

  // Written beside the value and renamed over it, so a reader never sees half a value.
  std::string file = key->directory + "/" + valueName;
  std::string temporary = file + ".tmp." + std::to_string(getpid());
  int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return ERROR_ACCESS_DENIED;
  bool written = write(fd, text, size_t(length)) == length;
  written = close(fd) == 0 && written;
  if (!written || rename(temporary.c_str(), file.c_str()) != 0) {
    unlink(temporary.c_str());
    return ERROR_WRITE_FAULT;
  }
  return ERROR_SUCCESS;
}

long RegQueryValueExA(HKEY key, const char* valueName, uint32_t*, uint32_t* type, uint8_t* data, uint32_t* size) {
  if (!key || key == HKEY_CURRENT_USER) return ERROR_INVALID_HANDLE;
  if (!valueName || !validName(valueName)) return ERROR_INVALID_PARAMETER;
  const std::string file = key->directory + "/" + valueName;
  // Non-blocking: a pipe planted at the name must not hold the reader.
  int fd = open(file.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED;
  struct stat info;
  // Only a value this user wrote: the folders are checked, the file too.
  if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode) || info.st_uid != geteuid() ||
      (info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    close(fd);
    return ERROR_ACCESS_DENIED;
  }
  char text[32] = {};
  const ssize_t length = read(fd, text, sizeof text - 1);
  close(fd);
  uint32_t value = 0;
  if (!parseDword(text, length, value)) return ERROR_INVALID_DATA;
  if (type) *type = REG_DWORD;
  if (!data) {
    if (size) *size = 4;
    return ERROR_SUCCESS;
  }
  if (!size) return ERROR_INVALID_PARAMETER;
  if (*size < 4) {
    *size = 4;
    return ERROR_MORE_DATA;
  }
  for (int i = 0; i < 4; ++i) data[i] = uint8_t(value >> (8 * i));
  *size = 4;
  return ERROR_SUCCESS;
}

long RegCloseKey(HKEY key) {
  if (!key || key == HKEY_CURRENT_USER) return ERROR_INVALID_HANDLE;
  delete key;  // the handle is the caller's until here, as with the platform call
  return ERROR_SUCCESS;
}

long readRegistryDword(const std::string& subKey, const std::string& valueName, uint32_t& value) {
  HKEY key = nullptr;
  long result = RegOpenKeyExA(HKEY_CURRENT_USER, subKey.c_str(), 0, KEY_READ, &key);
  if (result != ERROR_SUCCESS) return result;
  uint8_t data[4] = {};
  uint32_t type = 0, size = sizeof data;
  result = RegQueryValueExA(key, valueName.c_str(), nullptr, &type, data, &size);
  RegCloseKey(key);
  if (result == ERROR_MORE_DATA || (result == ERROR_SUCCESS && (type != REG_DWORD || size != 4)))
    return ERROR_INVALID_DATA;
  if (result != ERROR_SUCCESS) return result;
  value = uint32_t(data[0]) | uint32_t(data[1]) << 8 | uint32_t(data[2]) << 16 | uint32_t(data[3]) << 24;
  return ERROR_SUCCESS;
}
