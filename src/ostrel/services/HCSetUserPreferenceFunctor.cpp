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
  std::shared_ptr<KivraUIDescriptor> descriptor = LocalFunctorSupport::requireUIDescriptor(parameters);
  const std::string marker =
      descriptor->outputFormat() == kFormatJson ? "\"statusmessage\":\"Success" : "<statusMessage>Success";
  try {
    const ServiceConfig& config = lookup(servicePath);
    std::string reply;
    for (const auto& parameter : parameters) {
      const ParameterMap preference{{"prefname", parameter.first}, {"prefvalue", parameter.second}};
      reply = sendMsgToBizl(RequestTemplate(config.templateText, preference).result(), config.operationPath);
      if (reply.find(marker) == std::string::npos) return reply;
    }
    return reply;
  } catch (const HCServiceProxyConfigNotFoundException& missing) {
    throwStatusError(missing.what());
  } catch (const std::logic_error& error) {
    throw error;
  } catch (...) {
    throwStatusError("Unexpected Error");
  }
}
