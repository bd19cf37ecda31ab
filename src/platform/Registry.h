#pragma once

// The current user's registry, kept in files: a key is a directory under the
// registry root, a value a file holding its .reg-style text ("dword:00001f9b").
// Root: $TESSARO_REGISTRY_ROOT, else $XDG_RUNTIME_DIR/tessaro-registry, else
// /tmp/tessaro-registry-<uid>; it must be owned by this user and writable by no
// one else, so another local user cannot plant a value the store would trust.

#include <cstdint>
#include <string>

struct RegistryKey;
typedef RegistryKey* HKEY;

#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(uintptr_t(0x80000001)))

enum : long {
  ERROR_SUCCESS = 0,
  ERROR_ACCESS_DENIED = 5,
  ERROR_INVALID_HANDLE = 6,
  ERROR_WRITE_FAULT = 29,
  ERROR_INVALID_PARAMETER = 87,
};

enum : uint32_t {
  REG_OPTION_NON_VOLATILE = 0,
  REG_OPTION_VOLATILE = 1,
  KEY_ALL_ACCESS = 0xF003F,
  REG_DWORD = 4,
  REG_CREATED_NEW_KEY = 1,
  REG_OPENED_EXISTING_KEY = 2,
};

long RegCreateKeyExA(HKEY root, const char* subKey, uint32_t reserved, char* keyClass, uint32_t options,
                     uint32_t access, void* security, HKEY* result, uint32_t* disposition);
long RegSetValueExA(HKEY key, const char* valueName, uint32_t reserved, uint32_t type, const uint8_t* data,
                    uint32_t size);
long RegCloseKey(HKEY key);

// The folder that holds the registry, as chosen from the environment.
std::string registryRoot();
// The file of a value of the current user's hive ("Software\\A", "V").
std::string registryValueFile(const std::string& subKey, const std::string& valueName);
