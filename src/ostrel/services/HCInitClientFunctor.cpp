#include "ostrel/services/HCInitClientFunctor.h"

#include <charconv>
#include <cstdint>

#include "common/logging/LogRecord.h"
#include "ostrel/services/FunctorException.h"
#include "ostrel/services/LocalFunctorSupport.h"
#include "ostrel/services/ReflectiveSerializer.h"
#include "ostrel/channels/ReliableListener.h"

using LocalFunctorSupport::withoutBraces;

namespace {

constexpr int kFormatJson = 2;

// The decimal text of an id; false when it could not be written.
bool decimal(int32_t value, std::string& text) {
  char digits[16];
  const auto result = std::to_chars(digits, digits + sizeof digits, value);
  if (result.ec != std::errc()) return false;
  text.assign(digits, result.ptr);
  return true;
}

// Joins the non-empty members: an empty part must not leave a stray comma.
std::string joinMembers(const std::string& first, const std::string& second) {
  if (first.empty()) return second;
  if (second.empty()) return first;
  return first + "," + second;
}

}  // namespace

std::string HCInitClientFunctor::operator()(std::map<std::string, std::string> parameters,
                                            const std::string& servicePath, const std::string& rawRequest) {
  std::shared_ptr<KivraUIDescriptor> descriptor = LocalFunctorSupport::requireUIDescriptor(context_.contexts, parameters);
  auto topic = parameters.find("eventstopic");
  const std::string eventsTopic = topic != parameters.end() ? topic->second : "all";
  if (!decimal(descriptor->storeId(), parameters["storeid"]) ||
      !decimal(descriptor->affiliateId(), parameters["affiliateid"])) {
    OSTREL_LOG(LOG_ERROR) << "Couldn't cast Store id or Affiliate id.";
    throw FunctorException("Couldn't cast Store id or Affiliate id..");
  }

  std::string session = HCServiceProxyFunctor::operator()(parameters, servicePath, rawRequest);
  const std::string pending = context_.reliable ? context_.reliable->takePending(eventsTopic) : "";

  try {
    if (descriptor->outputFormat() == kFormatJson) {
      session = LocalFunctorSupport::renameRoot(session, "response", "kivrasessionproperties");
      std::string descriptorPart = withoutBraces(ReflectiveSerializer::writeJson(*descriptor, descriptor->typeName()));
      if (!pending.empty()) descriptorPart = joinMembers(descriptorPart, withoutBraces(pending));
      return "{\"response\":{" + joinMembers(descriptorPart, withoutBraces(session)) + "}}";
    }
    session = LocalFunctorSupport::renameRoot(session, "Response", "KivraSessionProperties");
    return "<Response>" + ReflectiveSerializer::writeXml(*descriptor, descriptor->typeName()) + session + pending +
           "</Response>";
  } catch (const std::exception&) {
    OSTREL_LOG(LOG_ERROR) << "Couldn't serialize the KivraUIDescriptor.";
    throw FunctorException("Couldn't serialize the KivraUIDescriptor.");
  }
}
