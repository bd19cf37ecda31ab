#pragma once

// One table of the origins a Referer or an Origin may name, for a server that
// listens on 127.0.0.1, 127.0.1.1 and [::1] at PORT: the unit test of the rule
// and the tests through the real gate and handshake read the same rows.

#include <string>
#include <vector>

struct OriginCase {
  std::string origin;
  bool accepted;
};

inline std::vector<OriginCase> originTable(int port) {
  const std::string p = std::to_string(port);
  const std::string other = std::to_string(port + 1);
  return {
      {"http://127.0.0.1:" + p, true},
      {"http://127.0.1.1:" + p, true},
      {"http://[::1]:" + p, true},
      {"http://localhost:" + p, true},
      {"http://LOCALHOST:" + p, true},
      // look-alikes of those names
      {"http://localhost.attacker.example:" + p, false},
      {"http://127.0.0.1.attacker.example:" + p, false},
      {"http://localhost.:" + p, false},
      {"http://127.0.0.1.:" + p, false},
      {"http://[::1].:" + p, false},
      // another port, another scheme, or a port written otherwise
      {"http://127.0.0.1:" + other, false},
      {"http://localhost:" + other, false},
      {"http://[::1]:" + other, false},
      {"http://127.0.0.1", false},
      {"http://localhost", false},
      {"http://127.0.0.1:0" + p, false},
      {"http://127.0.0.1:+" + p, false},
      {"http://127.0.0.1:" + p + "0", false},
      {"https://127.0.0.1:" + p, false},
      {"https://localhost:" + p, false},
      {"ws://127.0.0.1:" + p, false},
      {"HTTP://127.0.0.1:" + p, false},
      {"http:/127.0.0.1:" + p, false},
      // user information, or a host hidden behind it
      {"http://user@127.0.0.1:" + p, false},
      {"http://127.0.0.1:" + p + "@attacker.example", false},
      {"http://localhost:" + p + "@attacker.example", false},
      // loopback addresses this server does not hold, and other spellings of its own
      {"http://127.0.0.2:" + p, false},
      {"http://127.1:" + p, false},
      {"http://[::2]:" + p, false},
      {"http://[::ffff:127.0.0.1]:" + p, false},
      {"http://[0:0:0:0:0:0:0:1]:" + p, false},
      {"http://::1:" + p, false},
      {"null", false},
      {"", false},
  };
}
