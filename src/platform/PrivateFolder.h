#pragma once

// Folders whose content Ostrel trusts (the registry, the staging and recovery
// copies of the UI) may lie in a folder that every user may write, such as
// /tmp. Such a folder is used only when no one but this user can change it.

#include <string>

// Why `path` is not a folder that only this user can change, as a clause that
// follows the path ("is owned by uid 1000, not by this user (uid 0)"); empty
// when it is one: a real folder, not a link, owned by the effective uid and
// writable by neither its group nor others.
std::string privateFolderRefusal(const std::string& path);

// Creates the folder with mode 0700 when it is missing (its parent must
// exist), then checks it like privateFolderRefusal; empty when it may be used.
std::string makePrivateFolder(const std::string& path);
