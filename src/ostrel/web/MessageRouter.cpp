#include "ostrel/web/MessageRouter.h"

#include "ostrel/web/UnboundReceiver.h"

MessageReceiver& MessageRouter::receiverFor(const std::string& uri) const {
  static UnboundReceiver unboundServices(Message::NotFound);
  static UnboundReceiver unboundChannels(Message::TakenOver);
  static UnboundReceiver unboundResources(Message::StaticResource);
  if (uri.find(".svc") != std::string::npos) return receivers_.services ? *receivers_.services : unboundServices;
  if (uri.find(".ws") != std::string::npos) return receivers_.channels ? *receivers_.channels : unboundChannels;
  return receivers_.resources ? *receivers_.resources : unboundResources;
}

MessagePtr MessageRouter::route(const std::string& query, const std::string& uri, const SocketPtr& socket) {
  MessageReceiver& receiver = receiverFor(uri);
  receiver.setResponseCoding(responseCoding_);
  MessagePtr result;
  receiver.process(result, query, uri, socket);
  return result;
}
