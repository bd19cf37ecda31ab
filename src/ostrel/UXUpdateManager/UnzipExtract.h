#pragma once

// The extraction routines of update packages, over the minizip unzip interface.
// Failures print their console text to standard output, as the archive tools do.

#include <string>

namespace UnzipExtract {

// Entry names longer than this are refused rather than cut short.
constexpr size_t kMaxEntryName = 256;
// An entry read into memory (the manifest) may be no larger than this.
constexpr size_t kMaxMemoryEntry = 1 << 20;

// Creates the directory and every missing parent; false when it cannot.
bool makeDirectories(const std::string& path);

// The entry (name compared without regard to ASCII case) as text; false, with
// its console text printed, when it cannot be read.
bool extractToMemory(const std::string& archive, const std::string& entryName, std::string& text);

// True when the entry name stays below the directory it is extracted to: not
// absolute, no drive or device prefix, no ".." component, with "/" and "\" alike.
bool isContainedEntryName(const std::string& name);

// Extracts every entry below `destination`, keeping the relative paths and
// overwriting files. -1 when an argument is empty; 1 when the archive cannot be
// opened, an entry name would leave the destination (then nothing is written),
// the destination cannot be made, or an entry fails (the entries before it stay).
// 0 on success. The process's current directory is never changed.
int extractAll(const std::string& archive, const std::string& destination);

}  // namespace UnzipExtract
