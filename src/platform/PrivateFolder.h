#pragma once

// Folders whose content Ostrel trusts (the registry's files, the staging and
// recovery copies of the UI) may lie in a folder that every user may write,
// such as /tmp. Such a folder is used only when no one but this user can
// change it. Names are UTF-8 on every system.

#include <string>

// Why `path` is not a folder that only this user can change, as a clause that
// follows the path ("is owned by uid 1000, not by this user (uid 0)"); empty
// when it is one: a real folder, not a link, owned by this user and writable
// by no one else. Linux: owned by the effective uid, writable by neither its
// group nor others. Windows: owned by this user (or by the owner its token
// gives new objects), no reparse point, and a DACL that grants the right to
// change it to no one but the owner, this user, SYSTEM and Administrators.
std::string privateFolderRefusal(const std::string& path);

// Creates the folder when it is missing (its parent must exist): mode 0700 on
// Linux, on Windows with a protected DACL granting this user alone full
// control; then checks it like privateFolderRefusal. Empty when it may be used.
std::string makePrivateFolder(const std::string& path);
