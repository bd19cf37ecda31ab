// Authorisation of requests that the callback leaves to the engine: password
// files and the HTTP digest check.
#pragma once

#include "ostrel/engine/engine.h"
#include "ostrel/engine/path.h"

// 1 when the request for PATH may be served: the password file chosen by
// "protect_uri", else "global_passwords_file", else the ".htpasswd" beside
// PATH, accepts the request's digest credentials. Without a password file
// every request is authorised; a configured or present file that cannot be
// read authorises nobody. ST is PATH's status, null when PATH is missing.
int check_authorization(Connection* conn, const char* path, const FileStatus* st);

// 1 when the client may PUT or DELETE ("put_delete_passwords_file").
int is_authorized_for_put(Connection* conn);

// Lower-case hexadecimal MD5 (33 bytes with the NUL) of the concatenation
// of the strings that follow OUT, ended by a null pointer.
void mg_md5(char out[33], ...);
