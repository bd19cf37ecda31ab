#pragma once

#include <sys/types.h>

// Administrators: uid 0, or an account in one of the groups "root", "sudo",
// "wheel" or "admin". Any failure to look the account up counts as not one.
bool isAdministrator(uid_t uid);
