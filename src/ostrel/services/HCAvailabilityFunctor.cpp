#include "ostrel/services/HCAvailabilityFunctor.h"

#include "common/logging/LogRecord.h"
#include "ostrel/services/StartupErrors.h"
#include "ostrel/services/FunctorException.h"
#include "ostrel/services/LocalFunctorSupport.h"
#include "ostrel/services/ReflectiveSerializer.h"
#include "ostrel/services/StatusData.h"

namespace {
constexpr int kFormatJson = 2;
}

std::string HCAvailabilityFunctor::operator()(std::map<std::string, std::string> parameters, const std::string&,
                                              const std::string&) {
  std::shared_ptr<KivraUIDescriptor> descriptor = LocalFunctorSupport::requireUIDescriptor(context_.contexts, parameters);
  StatusData status;
  if (context_.startupErrors) status.Errors__error = context_.startupErrors->list();
  try {
    if (descriptor->outputFormat() == kFormatJson)
      return "{\"response\":{" +
             LocalFunctorSupport::withoutBraces(ReflectiveSerializer::writeJson(status, status.typeName())) + "}}";
    return "<Response>" + ReflectiveSerializer::writeXml(status, status.typeName()) + "</Response>";
  } catch (const std::exception&) {
    OSTREL_LOG(LOG_ERROR) << "Couldn't serialize the KivraUIDescriptor.";
    throw FunctorException("Couldn't serialize the KivraUIDescriptor.");
  }
}
