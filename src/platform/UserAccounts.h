#pragma once

// Who holds a socket, and whether that one may talk to the plug-in: a process
// of this process's user, or of an administrator.

#include <cstdint>

#ifdef _WIN32
// The system's table of TCP sockets names the process that holds each one;
// the process's token tells its user. 0 is the id of no process.
using SocketOwnerId = uint32_t;
#else
#include <sys/types.h>

// The kernel keeps the user of each socket, not its process.
using SocketOwnerId = uid_t;

// Administrators: uid 0, or an account in one of the groups "root", "sudo",
// "wheel" or "admin". Any failure to look the account up counts as not one.
bool isAdministrator(uid_t uid);
#endif

// The owner the system names for a socket that this process holds.
SocketOwnerId currentSocketOwner();

// Whether the owner of a socket runs as this process's user or as an
// administrator. Every failure to tell (no such owner, one that cannot be
// asked) counts as not allowed.
bool ownerMayConnect(SocketOwnerId owner);

#ifdef _WIN32
// The two halves of ownerMayConnect for a process id, each false when the
// process or its token cannot be opened. A token that lists the built-in
// Administrators group counts as an administrator's whatever the group's
// attributes (a filtered token of an administrator still has it, deny-only).
bool processIsAdministrator(uint32_t processId);
bool processRunsAsThisUser(uint32_t processId);
#endif
