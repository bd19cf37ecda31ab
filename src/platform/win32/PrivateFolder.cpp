#include "platform/PrivateFolder.h"

#include <aclapi.h>

#include "platform/FileNames.h"
#include "platform/win32/Win32Support.h"

namespace {

// The rights that let a holder change what the folder holds or who may.
constexpr ACCESS_MASK kChangeRights = FILE_ADD_FILE | FILE_ADD_SUBDIRECTORY | FILE_DELETE_CHILD | WRITE_DAC |
                                      WRITE_OWNER | GENERIC_WRITE | GENERIC_ALL;

bool sameSid(PSID sid, const std::vector<unsigned char>& other) {
  return !other.empty() && EqualSid(sid, const_cast<unsigned char*>(other.data())) != 0;
}

// A security descriptor that GetNamedSecurityInfoW allocated.
struct SecurityDescriptor {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  ~SecurityDescriptor() {
    if (descriptor != nullptr) LocalFree(descriptor);
  }
};

}  // namespace

std::string privateFolderRefusal(const std::string& path) {
  if (path.empty()) return "is no folder name";
  const std::filesystem::path name = filenames::toPath(path);
  if (name.empty()) return "is no valid UTF-8 name";
  const DWORD attributes = GetFileAttributesW(name.c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    const DWORD error = GetLastError();
    if (error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND) return "does not exist";
    return "cannot be examined (" + win32::systemMessage(error) + ")";
  }
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) return "is a symbolic link or junction";
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) return "is not a folder";

  SecurityDescriptor security;
  PSID owner = nullptr;
  PACL dacl = nullptr;
  const DWORD status =
      GetNamedSecurityInfoW(name.c_str(), SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION,
                            &owner, nullptr, &dacl, nullptr, &security.descriptor);
  if (status != ERROR_SUCCESS) return "cannot be examined (" + win32::systemMessage(status) + ")";
  const std::vector<unsigned char> user = win32::currentUserSid();
  if (user.empty()) return "cannot be examined (this process's user is unknown)";
  // An administrator's new objects belong to the Administrators group, as
  // its token says; that owner is this user's too.
  const std::vector<unsigned char> defaultOwner = win32::currentDefaultOwnerSid();
  if (owner == nullptr || !(sameSid(owner, user) || sameSid(owner, defaultOwner)))
    return "is owned by " + (owner != nullptr ? win32::sidText(owner) : std::string("no one")) +
           ", not by this user (" + win32::sidText(const_cast<unsigned char*>(user.data())) + ")";
  if (dacl == nullptr) return "may be written by everyone (it has no access list)";

  const std::vector<unsigned char> system = win32::wellKnownSid(WinLocalSystemSid);
  const std::vector<unsigned char> administrators = win32::wellKnownSid(WinBuiltinAdministratorsSid);
  const std::vector<unsigned char> creatorOwner = win32::wellKnownSid(WinCreatorOwnerSid);
  for (DWORD i = 0; i < dacl->AceCount; ++i) {
    void* entry = nullptr;
    if (!GetAce(dacl, i, &entry)) return "cannot be examined (its access list is unreadable)";
    const auto* header = static_cast<const ACE_HEADER*>(entry);
    // Entries that only children inherit do not apply to the folder itself;
    // denials take rights away.
    if ((header->AceFlags & INHERIT_ONLY_ACE) != 0 || header->AceType != ACCESS_ALLOWED_ACE_TYPE) continue;
    const auto* allowed = static_cast<const ACCESS_ALLOWED_ACE*>(entry);
    if ((allowed->Mask & kChangeRights) == 0) continue;
    PSID holder = const_cast<DWORD*>(&allowed->SidStart);
    if (EqualSid(holder, owner) || sameSid(holder, user) || sameSid(holder, system) ||
        sameSid(holder, administrators) || sameSid(holder, creatorOwner))
      continue;
    return "may be written by others (" + win32::sidText(holder) + ")";
  }
  return "";
}

std::string makePrivateFolder(const std::string& path) {
  if (path.empty()) return "is no folder name";
  const std::filesystem::path name = filenames::toPath(path);
  if (name.empty()) return "is no valid UTF-8 name";
  std::vector<unsigned char> user = win32::currentUserSid();
  if (user.empty()) return "cannot be created (this process's user is unknown)";

  // One entry: this user may do everything, and so in all it will hold;
  // protected, so that nothing the parent grants is inherited.
  std::vector<unsigned char> aclBytes(sizeof(ACL) + sizeof(ACCESS_ALLOWED_ACE) + user.size());
  auto* acl = reinterpret_cast<PACL>(aclBytes.data());
  SECURITY_DESCRIPTOR descriptor;
  if (!InitializeAcl(acl, DWORD(aclBytes.size()), ACL_REVISION) ||
      !AddAccessAllowedAceEx(acl, ACL_REVISION, OBJECT_INHERIT_ACE | CONTAINER_INHERIT_ACE, FILE_ALL_ACCESS,
                             user.data()) ||
      !InitializeSecurityDescriptor(&descriptor, SECURITY_DESCRIPTOR_REVISION) ||
      !SetSecurityDescriptorDacl(&descriptor, TRUE, acl, FALSE) ||
      !SetSecurityDescriptorControl(&descriptor, SE_DACL_PROTECTED, SE_DACL_PROTECTED))
    return "cannot be created (" + win32::systemMessage(GetLastError()) + ")";
  SECURITY_ATTRIBUTES attributes{sizeof attributes, &descriptor, FALSE};
  if (!CreateDirectoryW(name.c_str(), &attributes) && GetLastError() != ERROR_ALREADY_EXISTS)
    return "cannot be created (" + win32::systemMessage(GetLastError()) + ")";
  return privateFolderRefusal(path);
}
