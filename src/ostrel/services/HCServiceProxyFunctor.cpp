#include "ostrel/services/HCServiceProxyFunctor.h"

#include <stdexcept>

#include "common/HandlerHelper/HandlerHelper.h"
#include "ostrel/services/RequestTemplate.h"
#include "ostrel/services/StatusDocument.h"
#include "tessaro/XMLPayload.h"

HCServiceProxyFunctor::HCServiceProxyFunctor(const FunctorContext& context)
    : table_(std::make_shared<ServiceTable>()), waitingCalls_(context.waitingCalls) {
  table_->load();
}

void HCServiceProxyFunctor::throwStatusError(const std::string& message) {
  throw ServiceError::status(StatusDocument::kPluginError, message);
}

const ServiceConfig& HCServiceProxyFunctor::lookup(const std::string& servicePath) const {
  if (!table_) throw std::logic_error("The proxy configuration was not initializated.");
  return table_->lookup(servicePath);
}

std::string HCServiceProxyFunctor::operator()(std::map<std::string, std::string> parameters,
                                              const std::string& servicePath, const std::string&) {
  return asServiceCall("Unexpected Error, catch(...) while HCServiceProxyFunctor::sendMsgToBizl", [&] {
    const ServiceConfig& config = lookup(servicePath);
    RequestTemplate document(config.templateText, parameters);
    return sendMsgToBizl(document.result(), config.operationPath);
  });
}

namespace {
const char kNoReply[] = "Unexpected Error: HCI::HandlerHelper::sendAndWait returns NULL, posible timeout";
}  // namespace

std::string HCServiceProxyFunctor::sendMsgToBizl(const std::string& document, const std::string& operationPath) {
  const WaitingCalls::Place place = waitingCalls_ ? waitingCalls_->take() : WaitingCalls::Place::unbounded();
  if (!place) throwStatusError(kNoReply);
  auto payload = std::make_shared<XMLPayload>(document);
  LocalMessagePtr reply = HCI::HandlerHelper::sendAndWait(kBusinessLogicTarget + operationPath,
                                                          operationPath, payload, replyTimeoutSeconds, UUId(), 0);
  // A reply without a text payload says no more than no reply at all.
  auto text = reply ? std::dynamic_pointer_cast<XMLPayload>(reply->getPayload()) : nullptr;
  if (!text) throwStatusError(kNoReply);
  const std::string& type = reply->getMessageType();
  if (type == "SUCCESS") return text->getXML();
  if (type == "ERROR" || type == "CRITICAL") throw ServiceError::document(text->getXML());
  return "";
}
