// A web front serving a folder, for tests that run it under another account:
//   web_front_server PORT ROOT
// listens on every loopback address at PORT, as the plug-in does. Prints
// "ready" once the engine runs and serves until SIGTERM.

#include <signal.h>

#include <cstdio>
#include <string>

#include "ostrel/web/WebServer.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s PORT ROOT\n", argv[0]);
    return 2;
  }
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGTERM);
  sigaddset(&signals, SIGINT);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  WebServer server;
  const std::string p = argv[1];
  if (!server.start("127.0.0.1:" + p + ",127.0.1.1:" + p + ",[::1]:" + p, 4, "-0.0.0.0/0,+127.0.0.1,+127.0.1.1,+::1", 0,
                    1, argv[2], false, false)) {
    std::fprintf(stderr, "web_front_server: the engine did not start\n");
    return 1;
  }
  std::printf("ready\n");
  std::fflush(stdout);
  int signal = 0;
  sigwait(&signals, &signal);
  server.stop();
  return 0;
}
