#include "ostrel/web/MessageRouter.h"

#include <atomic>

#include "ostrel/web/ResourcesStorage.h"
#include "ostrel/web/UnboundReceiver.h"

namespace {
std::atomic<MessageReceiver*> boundServices{nullptr};
std::atomic<MessageReceiver*> boundChannels{nullptr};
}  // namespace

void MessageRouter::bindReceivers(MessageReceiver* services, MessageReceiver* channels) {
  boundServices = services;
  boundChannels = channels;
}

MessageReceiver& MessageRouter::receiverFor(const std::string& uri) {
  static UnboundReceiver unboundServices(Message::HtmlReply);
  static UnboundReceiver unboundChannels(Message::TakenOver);
  if (uri.find(".svc") != std::string::npos) {
    MessageReceiver* services = boundServices;
    return services ? *services : unboundServices;
  }
  if (uri.find(".ws") != std::string::npos) {
    MessageReceiver* channels = boundChannels;
    return channels ? *channels : unboundChannels;
  }
  return ResourcesStorage::instance();
}

MessagePtr MessageRouter::route(const std::string& query, const std::string& uri, const SocketPtr& socket) {
  MessageReceiver& receiver = receiverFor(uri);
  receiver.setResponseCoding(responseCoding_);
  MessagePtr result;
  receiver.process(result, query, uri, socket);
  return result;
}
