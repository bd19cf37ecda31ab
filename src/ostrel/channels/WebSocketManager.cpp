#include "ostrel/channels/WebSocketManager.h"

#include "ostrel/engine/engine.h"
#include "ostrel/web/Socket.h"
#include "ostrel/channels/ChannelHandshake.h"

WebSocketManager::~WebSocketManager() { closeAll(); }

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
  return open_.size();
}

void WebSocketManager::process(MessagePtr& result, const std::string&, const std::string& uri,
                               const SocketPtr& socket) {
  result = std::make_shared<Message>("", Message::TakenOver);
  const std::string route = routeOf(uri);
  auto bound = routes_.find(route);
  if (bound == routes_.end() || !bound->second || !socket || !socket->connection()) {
    result = std::make_shared<Message>("Not implemented", Message::TakenOver);
    return;
  }
  joinEnded();
  // The place is taken before the handshake: counting only open channels let
  // handshakes that several workers answered at once pass the bound.
  if (!reservePlace()) {
    ChannelHandshake::refuseBusy(*socket);
    return;
  }
  WebSocketListenerPtr listener = bound->second->create(route.substr(route.rfind('/') + 1), uri);
  // The listener hears events from now on: they wait in the channel's queue.
  auto channel = std::make_shared<Channel>(outputFormatOf(outputFormat_()), listener, socket->rawRequest(), limits_);
  listener->setSender(channel);
  WireProtocol protocol;
  Connection* detached = nullptr;
  if (!ChannelHandshake::answer(*socket, uri, protocol) || !(detached = mg_detach_connection(socket->connection()))) {
    channel->abandon();
    listener->onAbort();
    std::lock_guard<std::mutex> lock(mutex_);
    --reserved_;
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mutex_);
    --reserved_;
    open_.push_back(Open{listener, channel});
  }
  channel->start(detached, protocol, [this, ended = channel.get()] { channelEnded(ended); });
}

bool WebSocketManager::reservePlace() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (open_.size() + reserved_ >= kMaxChannels) return false;
  ++reserved_;
  return true;
}

// On the channel's thread, its last step: its listener goes (and its
// subscription with it); channels that ended before it are joined here, so
// that at most one finished thread waits for its join.
void WebSocketManager::channelEnded(const Channel* channel) {
  WebSocketListenerPtr listener;
  std::vector<std::shared_ptr<Channel>> finished;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    finished.swap(ended_);
    for (auto it = open_.begin(); it != open_.end(); ++it) {
      if (it->channel.get() != channel) continue;
      listener = std::move(it->listener);
      ended_.push_back(std::move(it->channel));
      open_.erase(it);
      break;
    }
  }
  for (const auto& other : finished) other->join();
}

void WebSocketManager::joinEnded() {
  std::vector<std::shared_ptr<Channel>> ended;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ended.swap(ended_);
  }
  for (const auto& channel : ended) channel->join();
}

void WebSocketManager::closeAll() {
  std::vector<std::shared_ptr<Channel>> channels;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const Open& open : open_) channels.push_back(open.channel);
  }
  for (const auto& channel : channels) channel->stop();
  for (const auto& channel : channels) channel->join();
  joinEnded();
}
