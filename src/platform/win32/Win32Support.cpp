#include "platform/win32/Win32Support.h"

#include <sddl.h>

namespace win32 {

std::string systemMessage(DWORD code) {
  char* text = nullptr;
  const DWORD length =
      FormatMessageA(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                     nullptr, code, 0, reinterpret_cast<char*>(&text), 0, nullptr);
  std::string message = length > 0 && text != nullptr ? std::string(text, length) : "error " + std::to_string(code);
  if (text != nullptr) LocalFree(text);
  while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' ' ||
                              message.back() == '.'))
    message.pop_back();
  return message;
}

std::vector<unsigned char> tokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind) {
  DWORD size = 0;
  if (GetTokenInformation(token, kind, nullptr, 0, &size) || GetLastError() != ERROR_INSUFFICIENT_BUFFER || size == 0)
    return {};
  std::vector<unsigned char> buffer(size);
  if (!GetTokenInformation(token, kind, buffer.data(), size, &size)) return {};
  return buffer;
}

namespace {

std::vector<unsigned char> copyOfSid(PSID sid) {
  if (sid == nullptr || !IsValidSid(sid)) return {};
  const auto* bytes = static_cast<const unsigned char*>(sid);
  return std::vector<unsigned char>(bytes, bytes + GetLengthSid(sid));
}

std::vector<unsigned char> ownTokenSid(TOKEN_INFORMATION_CLASS kind) {
  Handle token;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, token.out())) return {};
  const std::vector<unsigned char> record = tokenInformation(token.get(), kind);
  if (record.empty()) return {};
  if (kind == TokenUser) return copyOfSid(reinterpret_cast<const TOKEN_USER*>(record.data())->User.Sid);
  return copyOfSid(reinterpret_cast<const TOKEN_OWNER*>(record.data())->Owner);
}

}  // namespace

std::vector<unsigned char> currentUserSid() { return ownTokenSid(TokenUser); }

std::vector<unsigned char> currentDefaultOwnerSid() { return ownTokenSid(TokenOwner); }

std::vector<unsigned char> wellKnownSid(WELL_KNOWN_SID_TYPE type) {
  std::vector<unsigned char> sid(SECURITY_MAX_SID_SIZE);
  DWORD size = DWORD(sid.size());
  if (!CreateWellKnownSid(type, nullptr, sid.data(), &size)) return {};
  sid.resize(size);
  return sid;
}

std::string sidText(PSID sid) {
  char* text = nullptr;
  if (!ConvertSidToStringSidA(sid, &text)) return "an unreadable SID";
  std::string result(text);
  LocalFree(text);
  return result;
}

}  // namespace win32
