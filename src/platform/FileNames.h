#pragma once

// File names are UTF-8 inside Ostrel on every system. Windows' file system
// takes UTF-16 (its narrow calls, fopen and std::filesystem::path(std::string)
// read bytes in the ANSI code page instead), so every name crosses into the
// system through these: the wide calls there, the bytes as they are on Linux.

#include <cstdio>
#include <filesystem>
#include <string>

namespace filenames {

// The path of a UTF-8 name; an empty path for a name that is no valid UTF-8
// (on Windows, where it could name no file).
std::filesystem::path toPath(const std::string& utf8Name);
// The UTF-8 name of a path (as the system gave it: a name on Linux that is no
// UTF-8 stays its bytes).
std::string toUtf8(const std::filesystem::path& path);
// fopen of a UTF-8 name (_wfopen on Windows); null with errno on failure.
// Opened in binary mode on every system: give the mode without "b".
std::FILE* openFile(const std::string& utf8Name, const char* mode);

}  // namespace filenames
