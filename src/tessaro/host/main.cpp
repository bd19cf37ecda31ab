// tessaro-host: loads the plug-ins named by a configuration file, drives their
// components through initialize and start, runs until SIGINT or SIGTERM, then
// stops and destroys them in reverse order.

#include <signal.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "tessaro/ComponentReport.h"
#include "tessaro/HostConfig.h"
#include "tessaro/LoggerService.h"
#include "tessaro/MessageDispatcher.h"
#include "tessaro/host/ConfigurationCheckRun.h"
#include "tessaro/host/HostComponents.h"

namespace {

const char* kUsage =
    "usage: tessaro-host --config FILE\n"
    "       tessaro-host --check --config FILE\n"
    "       tessaro-host --version | --help\n"
    "\n"
    "Loads the plug-ins listed under [host] plugins (space-separated, relative to\n"
    "FILE), initialises and starts their components, and runs until SIGINT or\n"
    "SIGTERM; then stops and destroys them in reverse order.\n"
    "\n"
    "--check reads every setting the components would read, prints what each\n"
    "folder setting stands for and one line per problem, and starts nothing;\n"
    "it exits 0 when there is no problem and 1 otherwise.\n"
    "\n"
    "FILE is an INI text:\n"
    "  [host]    plugins = a.so b.so    log_file = host.log   (\"-\": standard error)\n"
    "  [scope0]  the plug-ins' own settings, e.g. Ostrel/DocumentRoot = ./ui\n"
    "  [scope1]  shared settings, e.g. KivraLogger/Level = INFO\n";

struct Arguments {
  std::string configPath;
  bool check = false;
};

// -1 when the arguments were all there is to do (help, version), 2 on an error,
// else 0.
int parseArguments(int argc, char** argv, Arguments& arguments) {
  for (int i = 1; i < argc; ++i) {
    const std::string argument = argv[i];
    if (argument == "--help" || argument == "-h") {
      std::fputs(kUsage, stdout);
      return -1;
    }
    if (argument == "--version") {
      std::printf("tessaro-host %s (the Tessaro host stand-in of Ostrel %s)\n", OSTREL_VERSION, OSTREL_VERSION);
      return -1;
    }
    if (argument == "--check") {
      arguments.check = true;
    } else if (argument == "--config") {
      if (i + 1 >= argc || argv[i + 1][0] == '\0' || std::strncmp(argv[i + 1], "--", 2) == 0) {
        std::fprintf(stderr, "tessaro-host: --config needs a value: the configuration file\n");
        return 2;
      }
      arguments.configPath = argv[++i];
    } else {
      std::fprintf(stderr, "tessaro-host: unknown argument '%s'\n%s", argv[i], kUsage);
      return 2;
    }
  }
  if (arguments.configPath.empty()) {
    std::fprintf(stderr, "tessaro-host: --config FILE is required\n%s", kUsage);
    return 2;
  }
  return 0;
}

// What each started component has to say, such as the address it serves.
void printRunningLines(const std::vector<HostComponent>& components) {
  for (const HostComponent& component : components)
    if (auto* report = dynamic_cast<IComponentReport*>(component.object)) {
      const std::string line = report->runningLine();
      if (!line.empty()) std::fprintf(stderr, "%s\n", line.c_str());
    }
}

int fail(const std::string& file, const std::string& why) {
  std::fprintf(stderr, "tessaro-host: %s: %s\n", file.c_str(), why.c_str());
  return 2;
}

// A host record in the same six-field shape as the plug-ins' lines.
std::string hostLine(const std::string& text) {
  auto now = std::chrono::system_clock::now();
  std::time_t seconds = std::chrono::system_clock::to_time_t(now);
  std::tm utc{};
  gmtime_r(&seconds, &utc);
  char stamp[64];
  std::strftime(stamp, sizeof stamp, "%Y-%b-%d %H:%M:%S", &utc);
  return std::string(stamp) + "\x0Bhost\x0BINFO\x0Btessaro-host\x0B[0]\x0B" + text;
}

// Waits for SIGINT or SIGTERM on a thread of its own. When one comes, no reply
// between components will come any more: whoever waits for one stops waiting.
class SignalWatch {
 public:
  explicit SignalWatch(const sigset_t& signals) : signals_(signals), thread_([this] { watch(); }) {}
  ~SignalWatch() { thread_.join(); }

  bool received() const { return signal_.load() != 0; }
  // The signal, once one has come.
  int wait() {
    std::unique_lock<std::mutex> lock(mutex_);
    came_.wait(lock, [&] { return received(); });
    return signal_.load();
  }

 private:
  void watch() {
    int signal = 0;
    while (sigwait(&signals_, &signal) != 0) {
    }
    MessageDispatcher::getInstance()->abandonReplies();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      signal_ = signal;
    }
    came_.notify_all();
  }

  const sigset_t signals_;
  std::atomic<int> signal_{0};
  std::mutex mutex_;  // pairs with came_ for signal_
  std::condition_variable came_;
  std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
  Arguments arguments;
  const int parsed = parseArguments(argc, argv, arguments);
  if (parsed != 0) return parsed < 0 ? 0 : parsed;
  const std::string& configPath = arguments.configPath;

  HostConfig config;
  std::string error;
  if (!loadHostConfig(configPath, config, error)) return fail(configPath, error);
  if (arguments.check) return checkConfiguration(config, stdout);
  applyHostConfig(config);

  FILE* logOutput = stderr;
  if (config.logFile != "-") {
    logOutput = std::fopen(config.logFile.c_str(), "a");
    if (!logOutput) return fail(config.logFile, std::string("cannot open log file: ") + std::strerror(errno));
  }

  // Every thread started from here on inherits the blocked signals, so only
  // sigwait below sees them.
  sigset_t signals;
  sigemptyset(&signals);
  sigaddset(&signals, SIGINT);
  sigaddset(&signals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &signals, nullptr);

  LoggerService logger(logOutput, logOutput == stderr);
  logger.start();

  std::vector<HostComponent> components;
  auto teardown = [&] {
    for (auto it = components.rbegin(); it != components.rend(); ++it) {
      logger.append(hostLine("stop " + it->type));
      it->object->stop();
    }
    for (auto it = components.rbegin(); it != components.rend(); ++it)
      logger.append(hostLine("destroy " + it->type));
    destroyComponents(components);
    logger.stop();
    if (logOutput != stderr) std::fclose(logOutput);
  };

  std::string failed;
  const bool created = createComponents(config.plugins, components, failed, error);
  for (const HostComponent& c : components) logger.append(hostLine("loaded " + c.type + " from " + c.plugin));
  if (!created) {
    teardown();
    return fail(failed, error);
  }
  // Signals are awaited from the start: a component that waits for an answer
  // during its start must not keep the host deaf to Ctrl-C.
  SignalWatch watch(signals);
  for (HostComponent& c : components) {
    if (watch.received()) break;
    logger.append(hostLine("initialize " + c.type));
    c.object->initialize();
  }
  for (HostComponent& c : components) {
    if (watch.received()) break;
    logger.append(hostLine("start " + c.type));
    c.object->start();
  }
  if (!watch.received()) {
    std::fprintf(stderr, "tessaro-host: running %zu component(s); Ctrl-C stops\n", components.size());
    printRunningLines(components);
  }

  const int signal = watch.wait();
  std::fprintf(stderr, "tessaro-host: %s received, stopping\n", signal == SIGINT ? "SIGINT" : "SIGTERM");
  teardown();
  std::fprintf(stderr, "tessaro-host: stopped\n");
  return 0;
}
