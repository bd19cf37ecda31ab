#include "ostrel/plugin/PortSelection.h"

#include <thread>

#include "common/logging/LogRecord.h"
#include "ostrel/plugin/ConfigKeys.h"
#include "ostrel/web/WebServer.h"
#include "platform/Registry.h"

namespace {
const char kAccessControlList[] = "-0.0.0.0/0,+127.0.0.1,+127.0.1.1";
}  // namespace

// Only the addresses the access list admits: no other host can reach the
// socket, not even to be refused.
std::string PortSelection::listeningPorts(int port) {
  const std::string number = std::to_string(port);
  return "127.0.0.1:" + number + ",127.0.1.1:" + number;
}

int PortSelection::startServer(const std::string& documentRoot, bool referrerCheck, bool keepAlive) {
  int port = kFirstPort - 1;
  bool started = false;
  do {
    ++port;
    started = server_.start(listeningPorts(port), 50, kAccessControlList, 0, 1, documentRoot, referrerCheck, keepAlive);
    if (!started) {
      OSTREL_LOG(LOG_INFO) << "Internal server port is busy";
      OSTREL_LOG(LOG_INFO) << "Port " << port << " is in use" << (port < kLastPort ? "; trying the next one" : "");
    }
  } while (!started && port < kLastPort);

  if (!started) {
    port = 0;
    OSTREL_LOG(LOG_ERROR) << "Could not get a port to use.";
    OSTREL_LOG(LOG_INFO) << "Every port from " << kFirstPort << " to " << kLastPort << " is in use";
  }
  if (!savePort(port, kSaveRetries)) OSTREL_LOG(LOG_ERROR) << "Could not save the port to use.";
  return port;
}

bool PortSelection::savePort(int port, int retriesLeft) {
  HKEY key = nullptr;
  uint32_t disposition = 0;
  if (RegCreateKeyExA(HKEY_CURRENT_USER, ConfigKeys::kPortRegistryKey, 0, nullptr, REG_OPTION_VOLATILE,
                      KEY_ALL_ACCESS, nullptr, &key, &disposition) == ERROR_SUCCESS) {
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
