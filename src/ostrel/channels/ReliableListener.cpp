#include "ostrel/channels/ReliableListener.h"

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <system_error>
#include <vector>

#include "common/logging/LogRecord.h"
#include "ostrel/channels/WebLink.h"
#include "ostrel/channels/WebSocketListener.h"
#include "ostrel/xml2json/XmlEscape.h"

void ReliableListener::dispatch(const std::string& name, const Event& event) {
  std::string dropped;
  {
    std::lock_guard<std::mutex> lock(store_->mutex);
    dropped = keep(*store_, name, event, false);
  }
  if (!dropped.empty()) OSTREL_LOG(LOG_WARNING) << dropped;
  deliver(store_, name);
}

std::string ReliableListener::keep(Store& store, const std::string& name, Event event, bool asOldest) {
  Pending& pending = store.pending[name];
  pending.bytes += event.message.size();
  if (asOldest) {
    pending.events.push_front(std::move(event));
  } else {
    pending.events.push_back(std::move(event));
  }
  size_t count = 0, bytes = 0;
  std::vector<std::string> types;
  while (pending.events.size() > 1 &&
         (pending.events.size() > store.limits.maxEvents || pending.bytes > store.limits.maxBytes)) {
    Event& oldest = pending.events.front();
    ++count;
    bytes += oldest.message.size();
    pending.bytes -= oldest.message.size();
    if (std::find(types.begin(), types.end(), oldest.type) == types.end()) types.push_back(oldest.type);
    pending.events.pop_front();
  }
  if (count == 0) return "";
  std::string typeList;
  for (const std::string& type : types) typeList += (typeList.empty() ? "" : ", ") + (type.empty() ? "(none)" : type);
  return "Pending reliable events \"" + name + "\" past their bound (" + std::to_string(store.limits.maxEvents) +
         " events, " + std::to_string(store.limits.maxBytes) + " bytes): dropped the oldest " + std::to_string(count) +
         " (" + std::to_string(bytes) + " bytes; " + (types.size() == 1 ? "type " : "types ") + typeList + ")";
}

// Hands the oldest pending event of the name to the first registered channel of
// that name that is still open, unless one is being written already. The
// channel's report comes later, on its own thread, and hands on the next.
void ReliableListener::deliver(const StorePtr& store, const std::string& name) {
  EventChannelPtr channel;
  Event item;
  {
    std::lock_guard<std::mutex> lock(store->mutex);
    auto pending = store->pending.find(name);
    if (pending == store->pending.end() || pending->second.events.empty() || store->inFlight.count(name)) return;
    for (WebSocketListener* listener : store->registry) {
      if (listener->name() != name) continue;
      EventChannelPtr candidate = listener->getSender();
      if (candidate && !candidate->ended()) {
        channel = candidate;
        break;
      }
    }
    if (!channel) return;
    item = std::move(pending->second.events.front());
    pending->second.events.pop_front();
    pending->second.bytes -= item.message.size();
    if (pending->second.events.empty()) store->pending.erase(pending);
    store->inFlight.insert(name);
  }
  const std::weak_ptr<Store> weak = store;
  const std::string message = item.message;
  channel->post(message, [weak, name, item = std::move(item)](bool wasWritten) {
    if (StorePtr kept = weak.lock()) written(kept, name, item, wasWritten);
  });
}

// An event the channel could not write is the oldest again; then the next goes.
void ReliableListener::written(const StorePtr& store, const std::string& name, Event item, bool wasWritten) {
  std::string dropped;
  {
    std::lock_guard<std::mutex> lock(store->mutex);
    store->inFlight.erase(name);
    if (!wasWritten) dropped = keep(*store, name, std::move(item), true);
  }
  if (!dropped.empty()) OSTREL_LOG(LOG_WARNING) << dropped;
  deliver(store, name);
}

void ReliableListener::addListener(WebSocketListener* listener) {
  {
    std::lock_guard<std::mutex> lock(store_->mutex);
    store_->registry.insert(listener);
  }
  deliver(store_, listener->name());
}

void ReliableListener::removeListener(WebSocketListener* listener) {
  std::lock_guard<std::mutex> lock(store_->mutex);
  store_->registry.erase(listener);
}

std::string ReliableListener::takePending(const std::string& name) {
  std::lock_guard<std::mutex> lock(store_->mutex);
  auto pending = store_->pending.find(name);
  if (pending == store_->pending.end() || pending->second.events.empty()) return "";
  std::string message = std::move(pending->second.events.front().message);
  pending->second.events.pop_front();
  pending->second.bytes -= message.size();
  if (pending->second.events.empty()) store_->pending.erase(pending);
  return message;
}

void ReliableListener::setLimits(const Limits& limits) {
  std::lock_guard<std::mutex> lock(store_->mutex);
  store_->limits = limits;
}

size_t ReliableListener::pendingCount(const std::string& name) const {
  std::lock_guard<std::mutex> lock(store_->mutex);
  auto pending = store_->pending.find(name);
  return pending == store_->pending.end() ? 0 : pending->second.events.size();
}

size_t ReliableListener::registeredCount(const std::string& name) const {
  std::lock_guard<std::mutex> lock(store_->mutex);
  size_t count = 0;
  for (const WebSocketListener* listener : store_->registry) count += listener->name() == name ? 1 : 0;
  return count;
}

void ReliableListener::savePending(const std::string& dataPath) {
  std::vector<std::string> messages;
  {
    std::lock_guard<std::mutex> lock(store_->mutex);
    for (const auto& entry : store_->pending)
      for (const Event& event : entry.second.events)
        if (event.type == "WebLinkEvent") messages.push_back(event.message);
  }
  std::vector<WebLink> links;
  for (const std::string& message : messages) {
    WebLink link;
    if (WebLink::read(message, link)) links.push_back(link);
  }
  if (links.empty()) return;

  if (dataPath.empty()) return;
  const std::string fileName = dataPath + kEventsFile;
  // A data path without its bootstrap folder yet would lose the events.
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::u8path(fileName).parent_path(), ignored);
  std::ofstream file(std::filesystem::u8path(fileName), std::ios::binary | std::ios::trunc);
  if (!file) return;
  file << "<Process type=\"HyperlinkingProcesses\">\r\n";
  for (const WebLink& link : links) {
    file << "<HyperlinkingMessage type=\"HyperlinkingMessage\">\r\n"
         // The values were read as text: written back as such, markup in them stays text.
         << "<AppGUID>" << xmlEscape(link.applicationId) << "</AppGUID>\r\n"
         << "<DisplayLocale>" << xmlEscape(link.localeCode) << "</DisplayLocale>\r\n"
         << "<ReferalId>0</ReferalId>\r\n"
         << "</HyperlinkingMessage>\r\n";
  }
  file << "</Process>\r\n";
}
