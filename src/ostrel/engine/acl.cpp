#include "ostrel/engine/acl.h"

#include <cstdio>
#include <cstring>

#include "ostrel/engine/address.h"
#include "ostrel/engine/log.h"
#include "ostrel/engine/options.h"

namespace {

// An IPv6 rule "[+|-]v6[/n]": -1 when malformed, else whether it matches.
int match_ipv6_rule(EngineContext* ctx, const char* rule, const SocketAddress* remote, int is_ipv6) {
  char text[INET6_ADDRSTRLEN + 4];
  int mask = 128;
  const char* slash = std::strchr(rule + 1, '/');
  size_t len = slash != nullptr ? static_cast<size_t>(slash - rule - 1) : std::strlen(rule + 1);
  in6_addr subnet;
  if (len >= sizeof(text)) len = sizeof(text) - 1;
  std::memcpy(text, rule + 1, len);
  text[len] = '\0';
  if (inet_pton(AF_INET6, text, &subnet) != 1) {
    log_engine_error(ctx, "%s: bad ip address: [%s]", "check_acl", rule);
    return -1;
  }
  if (slash != nullptr && (std::sscanf(slash, "/%d", &mask) != 1 || static_cast<unsigned>(mask) > 128)) {
    log_engine_error(ctx, "%s: bad subnet mask: %d [%s]", "check_acl", mask, rule);
    return -1;
  }
  if (!is_ipv6) return 0;
  const uint8_t* a = remote->sin6.sin6_addr.s6_addr;
  for (int bit = 0; bit < mask; bit += 8) {
    const int bits = mask - bit < 8 ? mask - bit : 8;
    const uint8_t byte_mask = static_cast<uint8_t>(0xff << (8 - bits));
    if ((a[bit / 8] & byte_mask) != (subnet.s6_addr[bit / 8] & byte_mask)) return 0;
  }
  return 1;
}

}  // namespace

int check_acl(EngineContext* ctx, const SocketAddress* remote) {
  const char* list = ctx->config[ACCESS_CONTROL_LIST];
  if (list == nullptr) return 1;
  // An IPv4 client, or one that only maps an IPv4 address, is judged by the
  // IPv4 rules; any other IPv6 client by the IPv6 rules.
  uint32_t remote_ip = 0;
  const int is_ipv4 = address_ipv4(remote, &remote_ip);
  const int is_ipv6 = !is_ipv4 && remote->sa.sa_family == AF_INET6;

  char allowed = '-';
  ListElement elem;
  while ((list = next_option_element(list, &elem)) != nullptr) {
    // The rule whole, "=" included (a rule has none).
    size_t len = elem.eq_value != nullptr ? static_cast<size_t>(elem.eq_value + elem.eq_len - elem.ptr) : elem.len;
    char rule[128];
    if (len >= sizeof(rule)) len = sizeof(rule) - 1;
    std::memcpy(rule, elem.ptr, len);
    rule[len] = '\0';

    if ((rule[0] == '+' || rule[0] == '-') && std::strchr(rule, ':') != nullptr) {
      const int matched = match_ipv6_rule(ctx, rule, remote, is_ipv6);
      if (matched < 0) return -1;
      if (matched == 1) allowed = rule[0];
      continue;
    }
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
    if (is_ipv4 && acl_subnet == (remote_ip & acl_mask)) allowed = flag;
  }
  return allowed == '+' ? 1 : 0;
}
