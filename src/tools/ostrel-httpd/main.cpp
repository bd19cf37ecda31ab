// ostrel-httpd: the engine on its own, serving files until SIGINT or SIGTERM.
#include <arpa/inet.h>
#include <signal.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "ostrel/engine/engine.h"

namespace {

const char* const USAGE =
    "usage: ostrel-httpd [--NAME VALUE]...\n"
    "Serves files with the Ostrel HTTP engine until SIGINT or SIGTERM.\n"
    "NAME is an engine option, for example:\n"
    "  --listening_ports 127.0.0.1:8080   [IP_ADDRESS:]PORT[s|p], comma-separated\n"
    "  --document_root ./ui               root, then PREFIX=DIRECTORY aliases\n"
    "  --enable_keep_alive yes\n"
    "  --num_threads 10\n"
    "  --access_log_file FILE  --error_log_file FILE\n"
    "  --ssl_certificate FILE.pem\n";

std::atomic<bool> g_logged{false};

void* on_event(mg_event event, Connection*, RequestInfo* info) {
  if (event == EVT_LOG_MESSAGE && info->log_message != nullptr) {
    std::fprintf(stderr, "ostrel-httpd: %s\n", info->log_message);
    g_logged = true;
  }
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<const char*> options;
  for (int i = 1; i < argc; i++) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(USAGE, stdout);
      return 0;
    }
    if (std::strncmp(argv[i], "--", 2) != 0 || argv[i][2] == '\0') {
      std::fprintf(stderr, "ostrel-httpd: expected --NAME VALUE, got \"%s\"\n%s", argv[i], USAGE);
      return 2;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "ostrel-httpd: %s: missing value\n", argv[i]);
      return 2;
    }
    options.push_back(argv[i] + 2);
    options.push_back(argv[i + 1]);
    i++;
  }
  options.push_back(nullptr);
  options.push_back(nullptr);

  // The engine's threads inherit this mask; the signals are taken by sigwait.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  EngineContext* ctx = mg_launch(on_event, nullptr, options.data());
  if (ctx == nullptr) {
    if (!g_logged) std::fprintf(stderr, "ostrel-httpd: cannot start the engine\n");
    return 2;
  }
  for (const SocketRecord* sp = ctx->listening_sockets; sp != nullptr; sp = sp->next) {
    char addr[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &sp->local_addr.sin_addr, addr, sizeof(addr));
    std::fprintf(stderr, "ostrel-httpd: listening on %s:%d%s\n", addr, ntohs(sp->local_addr.sin_port),
                 sp->is_ssl ? " (TLS)" : "");
  }
  std::fflush(stderr);

  int sig = 0;
  while (sigwait(&signals, &sig) != 0) {
  }
  mg_halt(ctx);
  return 0;
}
