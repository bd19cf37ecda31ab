#include "ostrel/websocket/WebSocketManager.h"

#include "ostrel/serviceproxy/UIContextHolder.h"
#include "ostrel/uicontext/UIDescriptorFactory.h"
#include "ostrel/web/Socket.h"

namespace {
constexpr int kFormatUnknown = 1;  // XML converted to JSON
}

WebSocketManager& WebSocketManager::instance() {
  static WebSocketManager manager;
  return manager;
}

void WebSocketManager::addRoute(const std::string& route, const WebSocketListenerFactoryPtr& factory) {
  routes_.emplace(route, factory);
}

std::string WebSocketManager::routeOf(const std::string& uri) {
  if (uri.empty()) return "";
  const size_t end = uri.find(".ws");
  return uri.substr(1, end == std::string::npos ? std::string::npos : end - 1);
}

bool WebSocketManager::opensChannel(const std::string& uri) const {
  const auto bound = routes_.find(routeOf(uri));
  return bound != routes_.end() && bound->second;
}

size_t WebSocketManager::openChannels() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return channels_.size();
}

int WebSocketManager::channelOutputFormat() {
  UIDescriptorPtr context = UIContextHolder::instance().get(defaultUIType());
  if (!context) {
    context = UIDescriptorFactory::instance().create(defaultUIType());
    if (context) UIContextHolder::instance().put(defaultUIType(), context);
  }
  return context ? context->outputFormat() : kFormatUnknown;
}

void WebSocketManager::process(MessagePtr& result, const std::string&, const std::string& uri,
                               const SocketPtr& socket) {
  const std::string route = routeOf(uri);
  const std::string name = route.substr(route.rfind('/') + 1);
  auto bound = routes_.find(route);
  if (bound == routes_.end() || !bound->second || !socket) {
    result = std::make_shared<Message>("Not implemented", Message::TakenOver);
    return;
  }
  WebSocketListenerPtr listener = bound->second->create(name, uri);
  socket->setOutputFormat(channelOutputFormat());
  socket->setListener(listener);
  listener->setSender(socket);
  {
    std::lock_guard<std::mutex> lock(mutex_);
    channels_.push_back(listener);
  }
  // An ended channel's listener goes at once, and its subscription with it.
  struct Unlist {
    WebSocketManager& manager;
    const WebSocketListenerPtr& listener;
    ~Unlist() {
      std::lock_guard<std::mutex> lock(manager.mutex_);
      manager.channels_.remove(listener);
    }
  } unlist{*this, listener};
  socket->run(uri);
  result = std::make_shared<Message>("", Message::TakenOver);
}

void WebSocketManager::closeAll() {
  std::lock_guard<std::mutex> lock(mutex_);
  for (const WebSocketListenerPtr& listener : channels_)
    if (std::shared_ptr<Socket> channel = listener->socket()) channel->stop();
  channels_.clear();
}
