#include "ostrel/services/LocalFunctorSupport.h"

#include "common/logging/LogRecord.h"
#include "ostrel/services/FunctorException.h"
#include "ostrel/services/ServiceProxy.h"
#include "ostrel/services/UIContextHolder.h"

namespace LocalFunctorSupport {

std::shared_ptr<KivraUIDescriptor> findUIDescriptor(const ParameterMap& parameters) {
  auto uiType = parameters.find("uitype");
  const std::string key = uiType != parameters.end() ? uiType->second : ServiceProxy::instance().defaultUIType();
  return std::dynamic_pointer_cast<KivraUIDescriptor>(UIContextHolder::instance().get(key));
}

std::shared_ptr<KivraUIDescriptor> requireUIDescriptor(const ParameterMap& parameters) {
  std::shared_ptr<KivraUIDescriptor> descriptor = findUIDescriptor(parameters);
  if (!descriptor) {
    OSTREL_LOG(LOG_ERROR) << "Cannot get UX Descriptor";
    throw FunctorException("Cannot get UX Descriptor.");
  }
  return descriptor;
}

std::string withoutBraces(const std::string& json) { return json.size() < 2 ? "" : json.substr(1, json.size() - 2); }

}  // namespace LocalFunctorSupport
