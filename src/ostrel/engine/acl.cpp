#include "ostrel/engine/acl.h"

#include <cstdio>
#include <cstring>

#include "ostrel/engine/log.h"
#include "ostrel/engine/options.h"

int check_acl(EngineContext* ctx, uint32_t remote_ip) {
  const char* list = ctx->config[ACCESS_CONTROL_LIST];
  if (list == nullptr) return 1;

  char allowed = '-';
  ListElement elem;
  while ((list = next_option_element(list, &elem)) != nullptr) {
    // The rule whole, "=" included (a rule has none).
    size_t len = elem.eq_value != nullptr ? static_cast<size_t>(elem.eq_value + elem.eq_len - elem.ptr) : elem.len;
    char rule[128];
    if (len >= sizeof(rule)) len = sizeof(rule) - 1;
    std::memcpy(rule, elem.ptr, len);
    rule[len] = '\0';

    char flag;
    int a, b, c, d, n = 0;
    int mask = 32;
    if (std::sscanf(rule, "%c%d.%d.%d.%d%n", &flag, &a, &b, &c, &d, &n) != 5) {
      log_engine_error(ctx, "%s: subnet must be [+|-]x.x.x.x[/x]", "check_acl");
      return -1;
    }
    if (flag != '+' && flag != '-') {
      log_engine_error(ctx, "%s: flag must be + or -: [%s]", "check_acl", rule);
      return -1;
    }
    if (a < 0 || a > 255 || b < 0 || b > 255 || c < 0 || c > 255 || d < 0 || d > 255) {
      log_engine_error(ctx, "%s: bad ip address: [%s]", "check_acl", rule);
      return -1;
    }
    (void)std::sscanf(rule + n, "/%d", &mask);
    if (static_cast<unsigned>(mask) > 32) {
      log_engine_error(ctx, "%s: bad subnet mask: %d [%s]", "check_acl", mask, rule);
      return -1;
    }
    uint32_t acl_subnet = (static_cast<uint32_t>(a) << 24) | (static_cast<uint32_t>(b) << 16) |
                          (static_cast<uint32_t>(c) << 8) | static_cast<uint32_t>(d);
    uint32_t acl_mask = mask == 0 ? 0 : 0xffffffffu << (32 - mask);
    // The rule's address is compared as written, not masked.
    if (acl_subnet == (remote_ip & acl_mask)) allowed = flag;
  }
  return allowed == '+' ? 1 : 0;
}
