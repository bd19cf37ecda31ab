#pragma once

// The extraction routines of update packages, over an archive opened with the
// minizip unzip interface. Failures print their console text to standard
// output, as the archive tools do.

#include <minizip/unzip.h>

#include <cstdint>
#include <string>

#include "ostrel/updates/UXPackageLimits.h"

namespace UnzipExtract {

// Entry names longer than this are refused rather than cut short.
constexpr size_t kMaxEntryName = 256;
// An entry read into memory (the manifest) may be no larger than this.
constexpr size_t kMaxMemoryEntry = 1 << 20;

// Creates the directory and every missing parent; false when it cannot.
bool makeDirectories(const std::string& path);

// The entry (name compared without regard to ASCII case) as text, and the name
// under which the archive stores it; false, with its console text printed,
// when it cannot be read.
bool extractToMemory(unzFile zip, const std::string& entryName, std::string& text, std::string& storedName);

// The name under which the archive stores the entry (compared without regard
// to ASCII case); false when there is none.
bool findEntry(unzFile zip, const std::string& entryName, std::string& storedName);

// True when the entry name stays below the directory it is extracted to: not
// absolute, no drive or device prefix, no ".." component, with "/" and "\" alike.
bool isContainedEntryName(const std::string& name);

// True when the web server would read a file of this name (or below a folder
// of this name) as its own control file rather than serve it as content:
// ".htpasswd" makes its folder ask for a password, and no path holding it is
// ever served. Compared without regard to ASCII case, as a file system may.
bool isControlFileName(const std::string& name);

// The first of at most `maxEntries` entries whose name isControlFileName;
// false when there is none.
bool findControlEntry(unzFile zip, uint64_t maxEntries, std::string& storedName);

// Extracts every entry below `destination`, keeping the relative paths and
// overwriting files. `archiveBytes` is the size of the archive file, the base
// of the expansion ratio. -1 when an argument is missing; 1 when an entry name
// would leave the destination or names a control file, or the archive has
// more entries than allowed (then nothing is written), the destination cannot be made, an entry fails,
// or the bytes written would pass the unpacked size or the expansion ratio
// (the entries before that stay, the one being written is cut short). 0 on
// success. The process's current directory is never changed.
int extractAll(unzFile zip, uint64_t archiveBytes, const std::string& destination, const UXPackageLimits& limits);

}  // namespace UnzipExtract
