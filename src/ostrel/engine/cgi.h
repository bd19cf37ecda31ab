// CGI programs, server-side includes, uploads and proxy forwarding. None is
// available yet: the patterns never match, uploads are never authorised, and
// a proxy listener answers 501.
#pragma once

#include "ostrel/engine/engine.h"

int is_cgi_path(Connection* conn, const char* path);
int is_ssi_path(Connection* conn, const char* path);

void handle_cgi_request(Connection* conn, const char* path);
void handle_ssi_file_request(Connection* conn, const char* path);
void put_file(Connection* conn, const char* path);
void handle_proxy_request(Connection* conn);
