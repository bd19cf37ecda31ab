#include "ostrel/updates/UXUpdateFunctor.h"

#include "ostrel/channels/ReliableListener.h"
#include "ostrel/services/UpdateService.h"
#include "ostrel/updates/update_msg.h"
#include "ostrel/services/LocalFunctorSupport.h"
#include "ostrel/xml2json/JsonEscape.h"
#include "ostrel/xml2json/Xml2Json.h"

namespace {

constexpr int kFormatJson = 2;

const char* const kUpdate = "1.0/UXUpdate/uxUpdate";
const char* const kVersion = "1.0/UXUpdate/getUxVersion";
const char* const kWasUpdated = "1.0/UXUpdate/uxWasUpdated";
// Pending reliable events of this name ride along with the version replies.
const char* const kPendingEvents = "all";

std::string parameter(const std::map<std::string, std::string>& parameters, const std::string& name) {
  auto it = parameters.find(name);
  return it == parameters.end() ? std::string() : it->second;
}

// Output format 2: the replies are written as JSON here, in the shape that the
// conversion of their XML form has, so a UI reads the same members in either JSON.
bool writesJson(UIContexts* contexts, const std::map<std::string, std::string>& parameters) {
  std::shared_ptr<KivraUIDescriptor> descriptor = LocalFunctorSupport::findUIDescriptor(contexts, parameters);
  return descriptor && descriptor->outputFormat() == kFormatJson;
}

// An empty element converts to an empty object.
std::string textMember(const std::string& name, const std::string& value) {
  return "\"" + name + "\":" + (value.empty() ? "{}" : "\"" + jsonEscape(value) + "\"");
}

std::string trimmed(const std::string& text) {
  const char* const space = " \t\r\n";
  size_t first = text.find_first_not_of(space);
  if (first == std::string::npos) return "";
  return text.substr(first, text.find_last_not_of(space) - first + 1);
}

// True for a JSON object whose first member is named "event".
bool isEventDocument(const std::string& json) {
  const char* const space = " \t\r\n";
  if (json.empty() || json.front() != '{') return false;
  size_t name = json.find_first_not_of(space, 1);
  if (name == std::string::npos || json.compare(name, 7, "\"event\"") != 0) return false;
  size_t colon = json.find_first_not_of(space, name + 7);
  return colon != std::string::npos && json[colon] == ':';
}

// The pending event as members of a JSON reply, with a leading comma; empty
// when there is none. The business logic's JSON events are {"event":{...}}
// documents, whose members are taken as they stand, as the conversion of an
// XML event gives them; any other JSON value becomes the "event" member.
std::string eventMembers(const std::string& pending) {
  std::string json = trimmed(pending);
  if (!json.empty() && json.front() == '<') json = Xml2Json().convert(json);
  if (json.empty()) return "";
  if (isEventDocument(json)) return "," + LocalFunctorSupport::withoutBraces(json);
  return ",\"event\":" + json;
}

std::string statusReply(int status, bool json) {
  if (json) return "{\"response\":{\"status\":{\"statuscode\":\"" + std::to_string(status) + "\"}}}";
  return "<Response><Status><statuscode>" + std::to_string(status) + "</statuscode></Status></Response>";
}

std::string versionReply(const std::string& version, const std::string& pending, bool json) {
  if (json) return "{\"response\":{" + textMember("uxversion", version) + eventMembers(pending) + "}}";
  return "<Response><uxVersion>" + version + "</uxVersion>" + pending + "</Response>";
}

std::string wasUpdatedReply(bool updated, const std::string& pending, bool json) {
  const std::string flag = updated ? "1" : "0";
  if (json) return "{\"response\":{" + textMember("wasupdated", flag) + eventMembers(pending) + "}}";
  return "<Response><wasUpdated>" + flag + "</wasUpdated>" + pending + "</Response>";
}

}  // namespace

std::string UXUpdateFunctor::takePendingEvent() {
  return context_.reliable ? context_.reliable->takePending(kPendingEvents) : "";
}

std::string UXUpdateFunctor::operator()(std::map<std::string, std::string> parameters, const std::string& servicePath,
                                        const std::string&) {
  UpdateService* updates = context_.updates;
  if (!updates) throwStatusError("Configuration Key (" + servicePath + ") not found!");
  const bool json = writesJson(context_.contexts, parameters);
  if (servicePath == kUpdate) {
    const std::string action = parameter(parameters, "Action");
    const std::string path = parameter(parameters, "Path");
    int status = UXUpdateStatus::kSuccess;
    if (action == "UPDATE") {
      status = updates->startUpdate(path, false);
    } else if (action == "UPDATE_ACTIVATE") {
      status = updates->startUpdate(path, true);
    } else if (action == "ACTIVATE") {
      status = updates->activateUpdate();
    } else if (action == "RESTORE") {
      status = updates->restoreRecovery();
    }
    return statusReply(status, json);
  }
  if (servicePath == kVersion) {
    const std::string version = updates->getUxVersion();
    const std::string pending = takePendingEvent();
    return versionReply(version, pending, json);
  }
  if (servicePath == kWasUpdated) {
    const bool updated = updates->wasUpdated();
    const std::string pending = takePendingEvent();
    return wasUpdatedReply(updated, pending, json);
  }
  throwStatusError("Configuration Key (" + servicePath + ") not found!");
}
