#pragma once

// What the Windows services of this folder share: the system's message for an
// error code, closing handles on every path, and the user of this process.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>

#include <string>
#include <vector>

namespace win32 {

// FormatMessage's text for a system error code, without its line end.
std::string systemMessage(DWORD code);

// A kernel handle closed when it goes out of scope; null when there is none.
class Handle {
 public:
  explicit Handle(HANDLE handle = nullptr) : handle_(handle) {}
  ~Handle() {
    if (handle_ != nullptr) CloseHandle(handle_);
  }
  Handle(const Handle&) = delete;
  Handle& operator=(const Handle&) = delete;
  HANDLE get() const { return handle_; }
  HANDLE* out() { return &handle_; }

 private:
  HANDLE handle_;
};

// GetTokenInformation's record of `kind` (size asked first); empty on failure.
std::vector<unsigned char> tokenInformation(HANDLE token, TOKEN_INFORMATION_CLASS kind);

// The SID of this process's user (TokenUser of its own token) and the owner
// its token gives new objects (TokenOwner); empty on failure. The bytes are
// the SID itself.
std::vector<unsigned char> currentUserSid();
std::vector<unsigned char> currentDefaultOwnerSid();

// A well-known SID (the built-in Administrators, SYSTEM); empty on failure.
std::vector<unsigned char> wellKnownSid(WELL_KNOWN_SID_TYPE type);

// "S-1-5-21-..." for a SID.
std::string sidText(PSID sid);

}  // namespace win32
