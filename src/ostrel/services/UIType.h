#pragma once

#include <string>

// A UI type names a folder under the HTML root, wherever it is read from (the
// configuration, a UI manifest, an update package): it must be one path
// segment of 1 to 64 letters, digits, "-", "_" and ".", not beginning with "."
// (so neither "." nor ".." nor a hidden folder), or it could name a folder
// anywhere on the disk.
bool isSafeUIType(const std::string& uiType);
