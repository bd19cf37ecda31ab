#include "ostrel/engine/auth.h"

int check_authorization(Connection* conn, const char* path) {
  (void)conn;
  (void)path;
  return 1;
}

int is_authorized_for_put(Connection* conn) {
  (void)conn;
  return 0;
}
