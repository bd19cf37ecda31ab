#include "platform/UserAccounts.h"

#include "platform/win32/Win32Support.h"

namespace {

// The token of a process, opened for queries only; null when the process is
// gone or may not be opened by this one.
bool openProcessToken(uint32_t processId, win32::Handle& token) {
  if (processId == 0) return false;
  win32::Handle process(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, processId));
  if (process.get() == nullptr) return false;
  return OpenProcessToken(process.get(), TOKEN_QUERY, token.out()) != 0;
}

// The groups of the token are walked without looking at their attributes:
// an administrator whose token is filtered (the group deny-only) is still one.
bool tokenIsAdministrator(HANDLE token) {
  const std::vector<unsigned char> administrators = win32::wellKnownSid(WinBuiltinAdministratorsSid);
  const std::vector<unsigned char> record = win32::tokenInformation(token, TokenGroups);
  if (administrators.empty() || record.empty()) return false;
  const auto* groups = reinterpret_cast<const TOKEN_GROUPS*>(record.data());
  for (DWORD i = 0; i < groups->GroupCount; ++i)
    if (EqualSid(groups->Groups[i].Sid, const_cast<unsigned char*>(administrators.data()))) return true;
  return false;
}

bool tokenIsThisUser(HANDLE token) {
  const std::vector<unsigned char> own = win32::currentUserSid();
  const std::vector<unsigned char> record = win32::tokenInformation(token, TokenUser);
  if (own.empty() || record.empty()) return false;
  const auto* user = reinterpret_cast<const TOKEN_USER*>(record.data());
  return EqualSid(user->User.Sid, const_cast<unsigned char*>(own.data())) != 0;
}

}  // namespace

SocketOwnerId currentSocketOwner() { return GetCurrentProcessId(); }

bool processIsAdministrator(uint32_t processId) {
  win32::Handle token;
  return openProcessToken(processId, token) && tokenIsAdministrator(token.get());
}

bool processRunsAsThisUser(uint32_t processId) {
  win32::Handle token;
  return openProcessToken(processId, token) && tokenIsThisUser(token.get());
}

bool ownerMayConnect(SocketOwnerId owner) {
  // Process id 0 is the owner the table names when it knows none.
  win32::Handle token;
  return openProcessToken(owner, token) && (tokenIsAdministrator(token.get()) || tokenIsThisUser(token.get()));
}
