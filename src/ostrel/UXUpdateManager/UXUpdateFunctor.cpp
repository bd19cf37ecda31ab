#include "ostrel/UXUpdateManager/UXUpdateFunctor.h"

#include "common/logging/LogRecord.h"

namespace {

const char* const kUpdate = "1.0/UXUpdate/uxUpdate";
const char* const kVersion = "1.0/UXUpdate/getUxVersion";
const char* const kWasUpdated = "1.0/UXUpdate/uxWasUpdated";
// Pending reliable events of this name ride along with the version replies.
const char* const kPendingEvents = "all";

std::string parameter(const std::map<std::string, std::string>& parameters, const std::string& name) {
  auto it = parameters.find(name);
  return it == parameters.end() ? std::string() : it->second;
}

}  // namespace

void UXUpdateFunctor::updateCallback(const UpdateMsgPtr& message) {
  if (!message) OSTREL_LOG(LOG_ERROR) << "Can't Update. ";
}

UXUpdateManagerPtr UXUpdateFunctor::manager() const { return manager_ ? manager_ : UXUpdateManager::getInstance(); }

std::string UXUpdateFunctor::operator()(std::map<std::string, std::string> parameters, const std::string& servicePath,
                                        const std::string&) {
  UXUpdateManagerPtr updates = manager();
  if (servicePath == kUpdate) {
    const std::string action = parameter(parameters, "Action");
    const std::string path = parameter(parameters, "Path");
    int status = UXUpdateStatus::kSuccess;
    if (action == "UPDATE") {
      status = updates->startUpdate(path, false, &UXUpdateFunctor::updateCallback);
    } else if (action == "UPDATE_ACTIVATE") {
      status = updates->startUpdate(path, true, &UXUpdateFunctor::updateCallback);
    } else if (action == "ACTIVATE") {
      status = updates->activateUpdate();
    } else if (action == "RESTORE") {
      status = updates->restoreRecovery();
    }
    return "<Response><Status><statuscode>" + std::to_string(status) + "</statuscode></Status></Response>";
  }
  if (servicePath == kVersion) {
    const std::string version = updates->getUxVersion();
    const std::string pending = updates->reliableEvents()->takePending(kPendingEvents);
    return "<Response><uxVersion>" + version + "</uxVersion>" + pending + "</Response>";
  }
  if (servicePath == kWasUpdated) {
    const bool updated = updates->wasUpdated();
    const std::string pending = updates->reliableEvents()->takePending(kPendingEvents);
    return std::string("<Response><wasUpdated>") + (updated ? "1" : "0") + "</wasUpdated>" + pending + "</Response>";
  }
  throwStatusError("Configuration Key (" + servicePath + ") not found!");
}
