#pragma once

// The current user's registry, through the registry calls of Windows with
// fixed-width integers, so that one caller serves both systems.
//
// On Windows these are the system's own calls (HKEY_CURRENT_USER's key
// "Software\\Corvane\\Tessaro", REG_OPTION_VOLATILE, kept in memory only).
//
// Elsewhere the registry is kept in files: a key is a directory under the
// registry root, a value a file holding its .reg-style text ("dword:00001f9b").
// Root: $TESSARO_REGISTRY_ROOT, else $XDG_RUNTIME_DIR/tessaro-registry, else
// /tmp/tessaro-registry-<uid>. The root and every key folder must be real
// folders owned by this user and writable by no one else (they are made so
// when missing), so another local user can neither plant a value the store
// would trust nor be handed this user's port in a folder of theirs.

#include <cstdint>
#include <string>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
// Winsock 2 before windows.h, which would otherwise bring the old Winsock.
#include <winsock2.h>
#include <windows.h>

// The system's calls take DWORD (unsigned long) where callers here hold
// uint32_t: these forward to them.
long RegCreateKeyExA(HKEY root, const char* subKey, uint32_t reserved, char* keyClass, uint32_t options,
                     uint32_t access, void* security, HKEY* result, uint32_t* disposition);
long RegQueryValueExA(HKEY key, const char* valueName, uint32_t* reserved, uint32_t* type, uint8_t* data,
                      uint32_t* size);
#else
struct RegistryKey;
typedef RegistryKey* HKEY;

#define HKEY_CURRENT_USER (reinterpret_cast<HKEY>(uintptr_t(0x80000001)))

enum : long {
  ERROR_SUCCESS = 0,
  ERROR_FILE_NOT_FOUND = 2,
  // A folder on the way is refused (registryKeyRefusal says why), or a value
  // file is not this user's: trying again does not help.
  ERROR_ACCESS_DENIED = 5,
  ERROR_INVALID_HANDLE = 6,
  ERROR_INVALID_DATA = 13,
  ERROR_WRITE_FAULT = 29,
  ERROR_INVALID_PARAMETER = 87,
  ERROR_MORE_DATA = 234,
};

enum : uint32_t {
  REG_OPTION_NON_VOLATILE = 0,
  REG_OPTION_VOLATILE = 1,
  KEY_READ = 0x20019,
  KEY_ALL_ACCESS = 0xF003F,
  REG_DWORD = 4,
  REG_CREATED_NEW_KEY = 1,
  REG_OPENED_EXISTING_KEY = 2,
};

long RegCreateKeyExA(HKEY root, const char* subKey, uint32_t reserved, char* keyClass, uint32_t options,
                     uint32_t access, void* security, HKEY* result, uint32_t* disposition);
long RegSetValueExA(HKEY key, const char* valueName, uint32_t reserved, uint32_t type, const uint8_t* data,
                    uint32_t size);
// Opens an existing key without creating anything: ERROR_FILE_NOT_FOUND when a
// folder is missing, ERROR_ACCESS_DENIED when one is refused.
long RegOpenKeyExA(HKEY root, const char* subKey, uint32_t options, uint32_t access, HKEY* result);
// Reads a REG_DWORD value (4 bytes, little-endian) of a file this user owns
// and no one else may write; ERROR_ACCESS_DENIED for any other file,
// ERROR_INVALID_DATA for another text, ERROR_MORE_DATA (and the size needed)
// for a short buffer. Without `data`, only the type and size are given.
long RegQueryValueExA(HKEY key, const char* valueName, uint32_t* reserved, uint32_t* type, uint8_t* data,
                      uint32_t* size);
long RegCloseKey(HKEY key);

// The folder that holds the registry, as chosen from the environment.
std::string registryRoot();
// The file of a value of the current user's hive ("Software\\A", "V").
std::string registryValueFile(const std::string& subKey, const std::string& valueName);
#endif

// Why the key cannot be used, as "<path> <reason>" ("/tmp/r is owned by uid
// 1000, not by this user (uid 0)"; on Windows the key's name and the system's
// message); empty when it can. A missing key is created as RegCreateKeyExA
// creates it (volatile).
std::string registryKeyRefusal(const std::string& subKey);

// A REG_DWORD value of the current user's hive, as a reader of the port
// record reads it: ERROR_SUCCESS and the value, or the error code
// (ERROR_FILE_NOT_FOUND when the key or value is missing, ERROR_INVALID_DATA
// for a value of another type or size).
long readRegistryDword(const std::string& subKey, const std::string& valueName, uint32_t& value);
