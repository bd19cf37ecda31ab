#include "platform/FileNames.h"

#include "platform/win32/Win32Support.h"

namespace filenames {

namespace {

// Strict: a byte sequence that is no UTF-8 gives no name at all, not one
// with replacement characters that might name another file.
bool toWide(const std::string& utf8, std::wstring& wide) {
  wide.clear();
  if (utf8.empty()) return true;
  const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), int(utf8.size()), nullptr, 0);
  if (length <= 0) return false;
  wide.resize(size_t(length));
  return MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, utf8.data(), int(utf8.size()), &wide[0], length) ==
         length;
}

}  // namespace

std::filesystem::path toPath(const std::string& utf8Name) {
  std::wstring wide;
  if (!toWide(utf8Name, wide)) return std::filesystem::path();
  return std::filesystem::path(wide);
}

std::string toUtf8(const std::filesystem::path& path) {
  const std::wstring& wide = path.native();
  if (wide.empty()) return "";
  const int length =
      WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), nullptr, 0, nullptr, nullptr);
  if (length <= 0) return "";
  std::string utf8(size_t(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, wide.data(), int(wide.size()), &utf8[0], length, nullptr, nullptr);
  return utf8;
}

std::FILE* openFile(const std::string& utf8Name, const char* mode) {
  std::wstring wide;
  if (utf8Name.empty() || !toWide(utf8Name, wide)) {
    errno = ENOENT;
    return nullptr;
  }
  // Binary, and not inherited by child processes ("N").
  std::wstring wideMode;
  for (const char* c = mode; *c != '\0'; ++c) wideMode += wchar_t(*c);
  wideMode += L"bN";
  return _wfopen(wide.c_str(), wideMode.c_str());
}

}  // namespace filenames
