#include "platform/Registry.h"

#include "platform/win32/Win32Support.h"

long RegCreateKeyExA(HKEY root, const char* subKey, uint32_t reserved, char* keyClass, uint32_t options,
                     uint32_t access, void* security, HKEY* result, uint32_t* disposition) {
  DWORD got = 0;
  const LONG status = ::RegCreateKeyExA(root, subKey, DWORD(reserved), keyClass, DWORD(options), REGSAM(access),
                                        static_cast<LPSECURITY_ATTRIBUTES>(security), result, &got);
  if (status == ERROR_SUCCESS && disposition != nullptr) *disposition = uint32_t(got);
  return status;
}

long RegQueryValueExA(HKEY key, const char* valueName, uint32_t* reserved, uint32_t* type, uint8_t* data,
                      uint32_t* size) {
  if (reserved != nullptr) return ERROR_INVALID_PARAMETER;
  DWORD gotType = 0;
  DWORD gotSize = size != nullptr ? DWORD(*size) : 0;
  const LONG status =
      ::RegQueryValueExA(key, valueName, nullptr, &gotType, data, size != nullptr ? &gotSize : nullptr);
  if (type != nullptr && (status == ERROR_SUCCESS || status == ERROR_MORE_DATA)) *type = uint32_t(gotType);
  if (size != nullptr && (status == ERROR_SUCCESS || status == ERROR_MORE_DATA)) *size = uint32_t(gotSize);
  return status;
}

std::string registryKeyRefusal(const std::string& subKey) {
  HKEY key = nullptr;
  DWORD disposition = 0;
  const LONG status = ::RegCreateKeyExA(HKEY_CURRENT_USER, subKey.c_str(), 0, nullptr, REG_OPTION_VOLATILE,
                                        KEY_ALL_ACCESS, nullptr, &key, &disposition);
  if (status == ERROR_SUCCESS) {
    RegCloseKey(key);
    return "";
  }
  return "HKEY_CURRENT_USER\\" + subKey + " cannot be opened (" + win32::systemMessage(DWORD(status)) + ")";
}

long readRegistryDword(const std::string& subKey, const std::string& valueName, uint32_t& value) {
  HKEY key = nullptr;
  LONG status = ::RegOpenKeyExA(HKEY_CURRENT_USER, subKey.c_str(), 0, KEY_READ, &key);
  if (status != ERROR_SUCCESS) return status;
  DWORD type = 0, data = 0, size = sizeof data;
  status = ::RegQueryValueExA(key, valueName.c_str(), nullptr, &type, reinterpret_cast<BYTE*>(&data), &size);
  RegCloseKey(key);
  if (status == ERROR_MORE_DATA || (status == ERROR_SUCCESS && (type != REG_DWORD || size != sizeof data)))
    return ERROR_INVALID_DATA;
  if (status != ERROR_SUCCESS) return status;
  value = uint32_t(data);
  return ERROR_SUCCESS;
}
