#include "ostrel/channels/HCServiceProxyWebSocketListenerFactory.h"

#include "ostrel/channels/HCServiceProxyWebSocketListener.h"

namespace {

struct ChannelKind {
  const char* uriPart;
  const char* topic;
};

// The first row whose text the URI contains wins.
const ChannelKind kReliableKinds[] = {
    {"/1.0/Events/all.ws", "event:/KivraServices/KivraBusinessLogic/v1_0/*"},
    {"/1.0/Events/inAppPurchase.ws", "event:/KivraServices/KivraBusinessLogic/v1_0/inAppPurchase/*"},
    {"/1.0/Events/featureAccess.ws", "event:/KivraServices/KivraBusinessLogic/v1_0/featureAccess/*"},
};
const char kWatcherTopic[] = "event:/KivraServices/KivraBusinessLogic/v1_0/*";

}  // namespace

void HCServiceProxyWebSocketListenerFactory::channelKind(const std::string& uri, std::string& topic, bool& reliable) {
  for (const ChannelKind& kind : kReliableKinds) {
    if (uri.rfind(kind.uriPart) != std::string::npos) {
      topic = kind.topic;
      reliable = true;
      return;
    }
  }
  topic = kWatcherTopic;
  reliable = false;
}

WebSocketListenerPtr HCServiceProxyWebSocketListenerFactory::create(const std::string& name, const std::string& uri) {
  std::string topic;
  bool reliable = false;
  channelKind(uri, topic, reliable);
  return std::make_shared<HCServiceProxyWebSocketListener>(dispatcher_, topic, name, reliable ? reliable_ : nullptr,
                                                           keepAlive_, keepAliveInterval_);
}
