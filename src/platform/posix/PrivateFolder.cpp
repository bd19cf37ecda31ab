#include "platform/PrivateFolder.h"

#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

std::string privateFolderRefusal(const std::string& path) {
  struct stat info;
  if (path.empty()) return "is no folder name";
  if (lstat(path.c_str(), &info) != 0) {
    if (errno == ENOENT) return "does not exist";
    return std::string("cannot be examined (") + std::strerror(errno) + ")";
  }
  if (S_ISLNK(info.st_mode)) return "is a symbolic link";
  if (!S_ISDIR(info.st_mode)) return "is not a folder";
  if (info.st_uid != geteuid())
    return "is owned by uid " + std::to_string(info.st_uid) + ", not by this user (uid " +
           std::to_string(geteuid()) + ")";
  if ((info.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", unsigned(info.st_mode & 07777));
    return std::string("may be written by ") + ((info.st_mode & S_IWOTH) ? "others" : "its group") + " (mode " +
           mode + ")";
  }
  return "";
}

std::string makePrivateFolder(const std::string& path) {
  if (path.empty()) return "is no folder name";
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST)
    return std::string("cannot be created (") + std::strerror(errno) + ")";
  return privateFolderRefusal(path);
}
