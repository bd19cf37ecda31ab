#pragma once

// Runs shell commands as another account, for tests of what a second local
// user can do to this user's folders. Needs root (setpriv changes the ids).

#include <unistd.h>

#include <string>
#include <vector>

#include "support/Subprocess.h"

namespace otheruser {

constexpr uid_t kUid = 1;  // daemon: another account, not an administrator

inline bool available() { return geteuid() == 0 && access("/usr/bin/setpriv", X_OK) == 0; }

// Runs `script` with /bin/sh as kUid (its group too, no other groups); the
// exit status and, in `output`, what it wrote.
inline int run(const std::string& script, std::string* output = nullptr) {
  Subprocess shell({"/usr/bin/setpriv", "--reuid=" + std::to_string(kUid), "--regid=" + std::to_string(kUid),
                    "--clear-groups", "--", "/bin/sh", "-c", script});
  const int status = shell.wait();
  if (output) *output = shell.output();
  return status;
}

}  // namespace otheruser
