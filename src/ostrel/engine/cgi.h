// CGI programs: a request whose path matches "cgi_pattern" runs the program
// (through "cgi_interpreter" or its "#!" line) in its own directory, with the
// request in its environment and the body on its standard input; its output
// is the reply.
#pragma once

#include "ostrel/engine/engine.h"

void handle_cgi_request(Connection* conn, const char* path);

// The environment of the CGI program SCRIPT (its absolute path), in order:
// a null-terminated list of "NAME=value" strings for free_cgi_environment.
char** prepare_cgi_environment(Connection* conn, const char* script);
void free_cgi_environment(char** env);
