#pragma once

// The folder work of activation and restore. Every routine reports a
// file-system error by its result instead of going on silently.

#include <string>

namespace UXFolders {

// Copies the directory `source` (a link to a directory is followed at the top
// only) into `destination`, creating it: sub-directories recursively, regular
// files replacing files of the same name, links as links; other entries are
// skipped and files the source lacks stay. Nothing to do (true) when the source
// is no directory; false at the first error, the entries before it copied.
bool copyRecursive(const std::string& source, const std::string& destination);

// Removes every sub-directory with its content and every regular file directly
// in `directory`; false when something could not be removed.
bool emptyDirectory(const std::string& directory);

// True for an existing directory with at least one entry.
bool hasEntries(const std::string& directory);

bool isDirectory(const std::string& path);

// Removes the path with everything in it; true when it is gone.
bool removeAll(const std::string& path);

}  // namespace UXFolders
