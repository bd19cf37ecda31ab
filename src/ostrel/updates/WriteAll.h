#pragma once

// Writes the whole buffer to a descriptor, through short writes and signals.

#include <unistd.h>

#include <cerrno>
#include <cstddef>

inline bool writeAll(int fd, const char* data, size_t size) {
  while (size > 0) {
    ssize_t written = ::write(fd, data, size);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return false;
    data += written;
    size -= size_t(written);
  }
  return true;
}
