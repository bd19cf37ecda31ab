#include "ostrel/services/LocalFunctorSupport.h"

#include "common/logging/LogRecord.h"
#include "ostrel/services/FunctorException.h"

namespace LocalFunctorSupport {

std::shared_ptr<KivraUIDescriptor> findUIDescriptor(UIContexts* contexts, const ParameterMap& parameters) {
  if (!contexts) return nullptr;
  auto uiType = parameters.find("uitype");
  const std::string key = uiType != parameters.end() ? uiType->second : contexts->defaultUIType();
  return std::dynamic_pointer_cast<KivraUIDescriptor>(contexts->get(key));
}

std::shared_ptr<KivraUIDescriptor> requireUIDescriptor(UIContexts* contexts, const ParameterMap& parameters) {
  std::shared_ptr<KivraUIDescriptor> descriptor = findUIDescriptor(contexts, parameters);
  if (!descriptor) {
    OSTREL_LOG(LOG_ERROR) << "Cannot get UX Descriptor";
    throw FunctorException("Cannot get UX Descriptor.");
  }
  return descriptor;
}

std::string renameRoot(const std::string& reply, const std::string& from, const std::string& to) {
  const std::string jsonRoot = "{\"" + from + "\":";
  if (reply.compare(0, jsonRoot.size(), jsonRoot) == 0) return "{\"" + to + "\":" + reply.substr(jsonRoot.size());
  const std::string open = "<" + from + ">", close = "</" + from + ">";
  if (reply.compare(0, open.size(), open) != 0 || reply.size() < open.size() + close.size() ||
      reply.compare(reply.size() - close.size(), close.size(), close) != 0)
    return reply;
  return "<" + to + ">" + reply.substr(open.size(), reply.size() - open.size() - close.size()) + "</" + to + ">";
}

std::string withoutBraces(const std::string& json) { return json.size() < 2 ? "" : json.substr(1, json.size() - 2); }

}  // namespace LocalFunctorSupport
