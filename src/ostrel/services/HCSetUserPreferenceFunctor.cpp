#include "ostrel/services/HCSetUserPreferenceFunctor.h"

#include <stdexcept>

#include "ostrel/services/HCServiceProxyConfigNotFoundException.h"
#include "ostrel/services/RequestTemplate.h"
#include "ostrel/services/LocalFunctorSupport.h"

namespace {
constexpr int kFormatJson = 2;
}

std::string HCSetUserPreferenceFunctor::operator()(std::map<std::string, std::string> parameters,
                                                   const std::string& servicePath, const std::string&) {
  std::shared_ptr<KivraUIDescriptor> descriptor = LocalFunctorSupport::requireUIDescriptor(context_.contexts, parameters);
  const std::string marker =
      descriptor->outputFormat() == kFormatJson ? "\"statusmessage\":\"Success" : "<statusMessage>Success";
  return asServiceCall("Unexpected Error", [&] {
    const ServiceConfig& config = lookup(servicePath);
    std::string reply;
    for (const auto& parameter : parameters) {
      const ParameterMap preference{{"prefname", parameter.first}, {"prefvalue", parameter.second}};
      reply = sendMsgToBizl(RequestTemplate(config.templateText, preference).result(), config.operationPath);
      if (reply.find(marker) == std::string::npos) return reply;
    }
    return reply;
  });
}
