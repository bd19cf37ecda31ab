#include "ostrel/plugin/PortSelection.h"

#include <algorithm>
#include <cerrno>
#include <thread>

#include "common/logging/LogRecord.h"
#include "ostrel/plugin/ConfigKeys.h"
#include "ostrel/web/LocalAddress.h"
#include "ostrel/web/WebServer.h"
#include "platform/Registry.h"

namespace {

const char kAccessControlList[] = "-0.0.0.0/0,+127.0.0.1,+127.0.1.1,+::1";
const char kPublished[] = "127.0.0.1";
const char kSecondary[] = "127.0.1.1";
const char kIPv6Loopback[] = "[::1]";

std::string joined(const std::vector<std::string>& addresses, const char* separator) {
  std::string text;
  for (const std::string& address : addresses) text += (text.empty() ? "" : separator) + address;
  return text;
}

}  // namespace

// Only the addresses the access list admits: no other host can reach the
// socket, not even to be refused.
std::string PortSelection::listeningPorts(const std::vector<std::string>& addresses, int port) {
  std::string list;
  for (const std::string& address : addresses) list += (list.empty() ? "" : ",") + address + ":" + std::to_string(port);
  return list;
}

// Every set holds the published address; the later ones do without an address
// that another program may hold on every port, so that it cannot deny service.
std::vector<std::vector<std::string>> PortSelection::addressSets(bool withIPv6) {
  std::vector<std::vector<std::string>> sets;
  if (withIPv6) {
    sets.push_back({kPublished, kSecondary, kIPv6Loopback});
    sets.push_back({kPublished, kIPv6Loopback});
  } else {
    sets.push_back({kPublished, kSecondary});
  }
  sets.push_back({kPublished});
  return sets;
}

int PortSelection::startServer(const std::string& documentRoot, bool referrerCheck, bool keepAlive) {
  const std::vector<std::vector<std::string>> sets = addressSets(hasIPv6Loopback());
  int port = 0;
  for (size_t set = 0; set < sets.size() && port == 0; ++set) {
    port = firstFreePort(sets[set], set == 0, documentRoot, referrerCheck, keepAlive);
    if (port < 0) break;
    if (port > 0 && set > 0) {
      std::vector<std::string> missing;
      for (const std::string& address : sets[0])
        if (std::find(sets[set].begin(), sets[set].end(), address) == sets[set].end()) missing.push_back(address);
      OSTREL_LOG(LOG_WARNING) << "Could not hold " << joined(missing, " and ") << " beside " << kPublished
                              << " on any port from " << kFirstPort << " to " << kLastPort
                              << " (another program holds them); serving only " << listeningPorts(sets[set], port);
    }
  }
  if (port <= 0) {
    port = 0;
    OSTREL_LOG(LOG_ERROR) << "Could not get a port to use.";
  }
  if (!savePort(port, kSaveRetries)) OSTREL_LOG(LOG_ERROR) << "Could not save the port to use.";
  return port;
}

// The first port on which the engine starts with all these addresses; 0 when
// every port is busy, -1 when the engine cannot start for another reason
// (which no other port would mend).
int PortSelection::firstFreePort(const std::vector<std::string>& addresses, bool logBusyPorts,
                                 const std::string& documentRoot, bool referrerCheck, bool keepAlive) {
  for (int port = kFirstPort; port <= kLastPort; ++port) {
    if (server_.start(listeningPorts(addresses, port), 50, kAccessControlList, 0, 1, documentRoot, referrerCheck,
                      keepAlive))
      return port;
    const RequestGate::EngineMessage failure = server_.lastStartFailure();
    if (failure.error != EADDRINUSE) {
      OSTREL_LOG(LOG_ERROR) << "Internal Server failed to start: " << failure.text;
      return -1;
    }
    if (logBusyPorts)
      OSTREL_LOG(LOG_INFO) << "port " << port << " is in use" << (port < kLastPort ? "; trying the next one" : "");
  }
  return 0;
}

bool PortSelection::savePort(int port, int retriesLeft) {
  HKEY key = nullptr;
  uint32_t disposition = 0;
  const long opened = RegCreateKeyExA(HKEY_CURRENT_USER, ConfigKeys::kPortRegistryKey, 0, nullptr,
                                      REG_OPTION_VOLATILE, KEY_ALL_ACCESS, nullptr, &key, &disposition);
  // A folder another user could change is refused for good: waiting would not mend it.
  if (opened == ERROR_ACCESS_DENIED) {
    OSTREL_LOG(LOG_ERROR) << "The port cannot be published: " << registryKeyRefusal(ConfigKeys::kPortRegistryKey);
    return false;
  }
  if (opened == ERROR_SUCCESS) {
    const uint32_t value = uint32_t(port) & 0xFFFF;
    const uint8_t data[4] = {uint8_t(value), uint8_t(value >> 8), 0, 0};
    const long written = RegSetValueExA(key, ConfigKeys::kPortRegistryValue, 0, REG_DWORD, data, sizeof data);
    RegCloseKey(key);
    if (written == ERROR_SUCCESS) return true;
  }
  if (retriesLeft <= 0) return false;
  std::this_thread::sleep_for(retryDelay);
  return savePort(port, retriesLeft - 1);
}
