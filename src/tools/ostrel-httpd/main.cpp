// ostrel-httpd: the engine on its own, serving files until SIGINT or SIGTERM
// (on Windows Ctrl-C, Ctrl-Break or the console's close).
#include <inttypes.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "ostrel/engine/address.h"
#include "ostrel/engine/engine.h"
#include "ostrel/engine/path.h"
#include "ostrel/engine/sys.h"

namespace {

const char* const USAGE =
    "usage: ostrel-httpd [--NAME VALUE]...\n"
    "       ostrel-httpd --help | --version\n"
    "\n"
    "Serves files with the Ostrel HTTP engine until SIGINT or SIGTERM. Standard\n"
    "error gets the listening addresses, the engine's messages and one line per\n"
    "request: method, URI, status, body bytes and time.\n"
    "\n"
    "NAME is an engine option (its one-letter name works too); defaults in brackets:\n"
    "  --listening_ports LIST        [IP_ADDRESS:]PORT[s|p], comma-separated; an IPv6\n"
    "                                address in brackets ([::1]:8080); s: TLS,\n"
    "                                p: proxy  [127.0.0.1:8080]\n"
    "  --document_root ROOT[,PREFIX=DIRECTORY]...\n"
    "                                the root, then aliases; each must be a folder  [.]\n"
    "  --enable_directory_listing yes|no  [no]\n"
    "  --index_files LIST            [index.html,index.htm,index.cgi]\n"
    "  --enable_keep_alive yes|no    [no]\n"
    "  --num_threads N               [10]\n"
    "  --max_request_size BYTES      the largest request head  [16384]\n"
    "  --extra_mime_types .EXT=TYPE,...\n"
    "  --extra_headers LINES         header lines sent with every file and listing,\n"
    "                                separated by line feeds, e.g.\n"
    "                                $'X-Frame-Options: SAMEORIGIN'\n"
    "  --access_log_file FILE\n"
    "  --error_log_file FILE\n"
    "  --access_control_list [+|-]ADDRESS[/BITS],...   e.g. -0.0.0.0/0,+127.0.0.1\n"
    "  --protect_uri URI_PREFIX=PASSWORD_FILE,...\n"
    "  --global_passwords_file FILE\n"
    "  --put_delete_passwords_file FILE   allows PUT and DELETE to its users\n"
    "  --authentication_domain REALM [ostrel.local]\n"
    "  --cgi_pattern PATTERN         [**.cgi$|**.pl$|**.php$]\n"
    "  --cgi_interpreter PROGRAM\n"
    "  --cgi_environment NAME=VALUE,...\n"
    "  --ssi_pattern PATTERN         [**.shtml$|**.shtm$]\n"
    "  --ssl_certificate FILE.pem    certificate and key\n"
    "  --ssl_chain_file FILE.pem\n"
    "  --ws_timeout N, --resp_coding N, --run_as_user USER,\n"
    "  --url_rewrite_patterns LIST   accepted; they serve programs that embed the\n"
    "                                engine and change nothing here\n"
    "\n"
    "Example:\n"
    "  ostrel-httpd --document_root ./ui --enable_keep_alive yes\n";

// Where ostrel-httpd differs from the engine: this machine only, no listings.
struct Default {
  const char* long_name;
  const char* short_name;
  const char* value;
};
const Default HTTPD_DEFAULTS[] = {
    {"listening_ports", "p", "127.0.0.1:8080"},
    {"enable_directory_listing", "d", "no"},
};

// A URI is shown up to this length.
const size_t MAX_URI_SHOWN = 300;
const size_t MAX_METHOD_SHOWN = 32;

std::atomic<bool> g_logged{false};

// A worker serves one request at a time: from EVT_NEW_REQUEST to EVT_REQUEST_DONE.
thread_local timespec t_request_start;
thread_local bool t_request_started = false;

// Up to LEN bytes of TEXT, with control bytes (a decoded line break would
// start a forged line) as "?".
void copy_printable(const char* text, char* out, size_t len) {
  size_t n = 0;
  for (; text != nullptr && text[n] != '\0' && n < len; n++) {
    unsigned char c = static_cast<unsigned char>(text[n]);
    out[n] = c < 0x20 || c == 0x7f ? '?' : static_cast<char>(c);
  }
  out[n] = '\0';
}

// "12.3 ms", or "- ms" for a request whose start was not seen (proxied ones).
void elapsed_text(char* out, size_t len) {
  if (!t_request_started) {
    std::snprintf(out, len, "- ms");
    return;
  }
  timespec now;
  clock_gettime(CLOCK_MONOTONIC, &now);
  double ms = static_cast<double>(now.tv_sec - t_request_start.tv_sec) * 1e3 +
              static_cast<double>(now.tv_nsec - t_request_start.tv_nsec) / 1e6;
  std::snprintf(out, len, "%.1f ms", ms);
}

// One line per request, in one write: what was asked and how it was answered.
void log_request(const Connection* conn, const RequestInfo* info) {
  char method[MAX_METHOD_SHOWN + 1];
  char uri[MAX_URI_SHOWN + 1];
  char took[32];
  copy_printable(info->request_method, method, MAX_METHOD_SHOWN);
  copy_printable(info->uri, uri, MAX_URI_SHOWN);
  elapsed_text(took, sizeof(took));
  t_request_started = false;
  std::fprintf(stderr, "ostrel-httpd: %s %s %d %" PRId64 " bytes %s\n", method, uri, info->status_code,
               conn->num_bytes_sent, took);
}

void* on_event(mg_event event, Connection* conn, RequestInfo* info) {
  if (event == EVT_NEW_REQUEST) {
    clock_gettime(CLOCK_MONOTONIC, &t_request_start);
    t_request_started = true;
  } else if (event == EVT_REQUEST_DONE) {
    log_request(conn, info);
  } else if (event == EVT_LOG_MESSAGE && info->log_message != nullptr) {
    std::fprintf(stderr, "ostrel-httpd: %s\n", info->log_message);
    g_logged = true;
  }
  return nullptr;
}

bool names_option(const char* name, const char* long_name, const char* short_name) {
  return std::strcmp(name, long_name) == 0 || std::strcmp(name, short_name) == 0;
}

// The value the engine will use: the last one given, else DEFAULT_VALUE.
const char* option_value(const std::vector<const char*>& options, const char* long_name, const char* short_name,
                         const char* default_value) {
  const char* value = default_value;
  for (size_t i = 0; i + 1 < options.size(); i += 2) {
    if (names_option(options[i], long_name, short_name)) value = options[i + 1];
  }
  return value;
}

// Why DIR cannot be a root, or null when it can.
const char* root_problem(const std::string& dir) {
  FileStatus st;
  if (sys_stat(dir.c_str(), &st) != 0) return errno == ENOENT ? "does not exist" : std::strerror(errno);
  return st.is_directory ? nullptr : "is not a folder";
}

// Every folder of a "document_root" value must exist: a mistyped root would
// otherwise answer 404 to everything. Returns false after saying why.
bool check_roots(const char* value) {
  std::string list = value;
  size_t start = 0;
  for (bool first = true;; first = false) {
    size_t comma = list.find(',', start);
    std::string element = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
    size_t eq = element.find('=');
    if (!first && eq == std::string::npos) {
      std::fprintf(stderr, "ostrel-httpd: --document_root: alias \"%s\" is not PREFIX=DIRECTORY\n", element.c_str());
      return false;
    }
    std::string dir = first ? element : element.substr(eq + 1);
    const char* problem = root_problem(dir);
    if (problem != nullptr) {
      std::fprintf(stderr, "ostrel-httpd: --document_root: \"%s\" %s\n", dir.c_str(), problem);
      return false;
    }
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

// Reads --NAME VALUE pairs into OPTIONS. Returns -1 when the arguments were
// all there is to do (help, version), 2 on an error, else 0.
int parse_arguments(int argc, char** argv, std::vector<const char*>* options) {
  for (int i = 1; i < argc; i++) {
    if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0) {
      std::fputs(USAGE, stdout);
      return -1;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      std::printf("ostrel-httpd %s (HTTP engine %s)\n", OSTREL_VERSION, mg_engine_version());
      return -1;
    }
    if (std::strncmp(argv[i], "--", 2) != 0 || argv[i][2] == '\0') {
      std::fprintf(stderr, "ostrel-httpd: expected --NAME VALUE, got \"%s\"\n%s", argv[i], USAGE);
      return 2;
    }
    if (i + 1 >= argc) {
      std::fprintf(stderr, "ostrel-httpd: %s: missing value\n", argv[i]);
      return 2;
    }
    options->push_back(argv[i] + 2);
    options->push_back(argv[i + 1]);
    i++;
  }
  return 0;
}

void add_httpd_defaults(std::vector<const char*>* options) {
  for (const Default& d : HTTPD_DEFAULTS) {
    if (option_value(*options, d.long_name, d.short_name, nullptr) != nullptr) continue;
    options->push_back(d.long_name);
    options->push_back(d.value);
  }
}

void print_listeners(const EngineContext* ctx) {
  for (const SocketRecord* sp = ctx->listening_sockets; sp != nullptr; sp = sp->next) {
    char addr[INET6_ADDRSTRLEN];
    address_to_text(&sp->local_addr, addr, sizeof(addr));
    const bool ipv6 = sp->local_addr.sa.sa_family == AF_INET6;
    std::fprintf(stderr, "ostrel-httpd: listening on %s%s%s:%d%s\n", ipv6 ? "[" : "", addr, ipv6 ? "]" : "",
                 address_port(&sp->local_addr), sp->is_ssl ? " (TLS)" : "");
  }
  std::fflush(stderr);
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<const char*> options;
  int parsed = parse_arguments(argc, argv, &options);
  if (parsed != 0) return parsed < 0 ? 0 : parsed;
  add_httpd_defaults(&options);
  const char* roots = option_value(options, "document_root", "r", nullptr);
  if (roots != nullptr && !check_roots(roots)) return 2;
  options.push_back(nullptr);
  options.push_back(nullptr);

  sys_prepare_stop_request();

  EngineContext* ctx = mg_launch(on_event, nullptr, options.data());
  if (ctx == nullptr) {
    if (!g_logged) std::fprintf(stderr, "ostrel-httpd: cannot start the engine\n");
    return 2;
  }
  print_listeners(ctx);

  sys_wait_for_stop_request();
  mg_halt(ctx);
  return 0;
}
