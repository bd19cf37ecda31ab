#include "ostrel/channels/WebSocketListenerFactory.h"

WebSocketListenerPtr WebSocketListenerFactory::create(const std::string& name, const std::string&) {
  return std::make_shared<WebSocketListener>(name, reliable_);
}
