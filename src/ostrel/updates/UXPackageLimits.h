#pragma once

// How far an update package may reach. A store UI is a few thousand files and
// some tens of MiB; these bounds are generous for any real UI and stop archives
// made to fill the disk or to keep the update thread busy. Every bound is
// checked on what the archive really holds or writes, never on the sizes its
// headers claim.

#include <cstdint>

struct UXPackageLimits {
  // Bytes of the package file; a larger file is refused before it is copied.
  // The unpacked limit plus room for the headers of every entry.
  uint64_t maxPackageBytes = 576ull << 20;
  // Bytes written while unpacking, all entries together.
  uint64_t maxUnpackedBytes = 512ull << 20;
  // Entries of the archive, folders included, counted as they are walked.
  uint64_t maxEntries = 20000;
  // Bytes written per byte of the package file. UI text and scripts deflate
  // about 3 to 10 times; 100 only passes for archives of padding.
  uint64_t maxExpansionRatio = 100;
};
