#include "platform/Registry.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <new>

struct RegistryKey {
  std::string directory;
};

namespace {

// Creates the folder (mode 0700) when missing; refuses a link, a non-folder,
// one owned by someone else, or one that others may write.
bool securedDirectory(const std::string& path) {
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) return false;
  struct stat info;
  if (lstat(path.c_str(), &info) != 0) return false;
  return S_ISDIR(info.st_mode) && info.st_uid == geteuid() && (info.st_mode & (S_IWGRP | S_IWOTH)) == 0;
}

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
  if (!securedDirectory(registryRoot())) return ERROR_ACCESS_DENIED;

  bool created = false;
  // Every folder on the way is created by us and checked like the root.
  for (size_t slash = registryRoot().size(); slash != std::string::npos;) {
    slash = target.find('/', slash + 1);
    std::string step = target.substr(0, slash);
    created = access(step.c_str(), F_OK) != 0;
    if (!securedDirectory(step)) return ERROR_ACCESS_DENIED;
  }
  auto* key = new (std::nothrow) RegistryKey{target};
  if (!key) return ERROR_WRITE_FAULT;
  *result = key;
  if (disposition) *disposition = created ? REG_CREATED_NEW_KEY : REG_OPENED_EXISTING_KEY;
  return ERROR_SUCCESS;
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

long RegCloseKey(HKEY key) {
  if (!key || key == HKEY_CURRENT_USER) return ERROR_INVALID_HANDLE;
  delete key;  // the handle is the caller's until here, as with the platform call
  return ERROR_SUCCESS;
}
