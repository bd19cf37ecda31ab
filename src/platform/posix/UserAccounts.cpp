#include "platform/UserAccounts.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <cstring>
#include <vector>

bool isAdministrator(uid_t uid) {
  if (uid == 0) return true;
  std::vector<char> buffer(16384);
  passwd account{};
  passwd* found = nullptr;
  if (getpwuid_r(uid, &account, buffer.data(), buffer.size(), &found) != 0 || !found) return false;

  int count = 64;
  std::vector<gid_t> groups(size_t(count), 0);
  if (getgrouplist(account.pw_name, account.pw_gid, groups.data(), &count) < 0) {
    groups.resize(size_t(count));
    if (getgrouplist(account.pw_name, account.pw_gid, groups.data(), &count) < 0) return false;
  }
  groups.resize(size_t(count));

  std::vector<char> groupBuffer(16384);
  for (gid_t gid : groups) {
    group entry{};
    group* result = nullptr;
    if (getgrgid_r(gid, &entry, groupBuffer.data(), groupBuffer.size(), &result) != 0 || !result) continue;
    for (const char* name : {"root", "sudo", "wheel", "admin"})
      if (std::strcmp(result->gr_name, name) == 0) return true;
  }
  return false;
}

SocketOwnerId currentSocketOwner() { return geteuid(); }

bool ownerMayConnect(SocketOwnerId owner) { return owner == geteuid() || isAdministrator(owner); }
