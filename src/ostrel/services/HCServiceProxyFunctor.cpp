#include "ostrel/services/HCServiceProxyFunctor.h"

#include <stdexcept>

#include "common/HandlerHelper/HandlerHelper.h"
#include "ostrel/plugin/ConfigKeys.h"
#include "ostrel/services/HCServiceProxyConfigNotFoundException.h"
#include "ostrel/services/RequestTemplate.h"
#include "ostrel/services/StatusDocument.h"
#include "tessaro/XMLPayload.h"

HCServiceProxyFunctor::HCServiceProxyFunctor() : table_(std::make_shared<ServiceTable>()) { table_->load(); }

void HCServiceProxyFunctor::throwStatusError(const std::string& message) {
  std::string document;
  try {
    document = StatusDocument::writeXml(StatusDocument::kPluginError, message);
  } catch (...) {
    throw std::logic_error(
        "<Response><Status><statusCode>-13</statusCode><statusMessage>Unexpected Error</statusMessage></Status>"
        "</Response>");
  }
  throw std::logic_error(document);
}

const ServiceConfig& HCServiceProxyFunctor::lookup(const std::string& servicePath) const {
  if (!table_) throw std::logic_error("The proxy configuration was not initializated.");
  return table_->lookup(servicePath);
}

std::string HCServiceProxyFunctor::operator()(std::map<std::string, std::string> parameters,
                                              const std::string& servicePath, const std::string&) {
  try {
    const ServiceConfig& config = lookup(servicePath);
    RequestTemplate document(config.templateText, parameters);
    return sendMsgToBizl(document.result(), config.operationPath);
  } catch (const HCServiceProxyConfigNotFoundException& missing) {
    throwStatusError(missing.what());
  } catch (const std::logic_error& error) {
    throw error;
  } catch (...) {
    throwStatusError("Unexpected Error, catch(...) while HCServiceProxyFunctor::sendMsgToBizl");
  }
}

namespace {
const char kNoReply[] = "Unexpected Error: HCI::HandlerHelper::sendAndWait returns NULL, posible timeout";
}  // namespace

WaitingCalls& HCServiceProxyFunctor::waitingCalls() {
  static WaitingCalls calls;
  return calls;
}

std::string HCServiceProxyFunctor::sendMsgToBizl(const std::string& document, const std::string& operationPath) {
  const WaitingCalls::Place place = waitingCalls().take();
  if (!place) throwStatusError(kNoReply);
  auto payload = std::make_shared<XMLPayload>(document);
  LocalMessagePtr reply = HCI::HandlerHelper::sendAndWait(ConfigKeys::kBusinessLogicTarget + operationPath,
                                                          operationPath, payload, replyTimeoutSeconds, UUId(), 0);
  // A reply without a text payload says no more than no reply at all.
  auto text = reply ? std::dynamic_pointer_cast<XMLPayload>(reply->getPayload()) : nullptr;
  if (!text) throwStatusError(kNoReply);
  const std::string& type = reply->getMessageType();
  if (type == "SUCCESS") return text->getXML();
  if (type == "ERROR" || type == "CRITICAL") throw std::logic_error(text->getXML());
  return "";
}
