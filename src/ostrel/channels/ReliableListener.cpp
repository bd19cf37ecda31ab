#include "ostrel/channels/ReliableListener.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QVariant>
#include <QXmlStreamReader>
#include <boost/filesystem.hpp>
#include <fstream>
#include <vector>

#include "ostrel/channels/WebSocketListener.h"
#include "ostrel/xml2json/XmlEscape.h"

namespace {

struct WebLink {
  std::string applicationId;
  std::string localeCode;
  std::string categoryId;
};

std::string* fieldOf(WebLink& link, const QString& name) {
  if (name.compare(QLatin1String("applicationId"), Qt::CaseInsensitive) == 0) return &link.applicationId;
  if (name.compare(QLatin1String("categoryId"), Qt::CaseInsensitive) == 0) return &link.categoryId;
  if (name.compare(QLatin1String("localeCode"), Qt::CaseInsensitive) == 0) return &link.localeCode;
  return nullptr;
}

// JSON events (the business logic's own, or converted from XML, which writes
// names in lower case) carry the same three fields at any depth.
void readJsonFields(const QJsonObject& object, WebLink& link) {
  for (auto it = object.begin(); it != object.end(); ++it) {
    if (it.value().isObject()) {
      readJsonFields(it.value().toObject(), link);
    } else if (std::string* field = fieldOf(link, it.key())) {
      *field = it.value().toVariant().toString().toStdString();
    }
  }
}

bool readJsonWebLink(const std::string& message, WebLink& link) {
  QJsonParseError error;
  const QJsonDocument document = QJsonDocument::fromJson(QByteArray(message.data(), int(message.size())), &error);
  if (error.error != QJsonParseError::NoError || !document.isObject()) return false;
  readJsonFields(document.object(), link);
  return true;
}

// False when the message is neither well-formed XML nor a JSON object.
bool readWebLink(const std::string& message, WebLink& link) {
  const size_t first = message.find_first_not_of(" \t\r\n");
  if (first != std::string::npos && message[first] == '{') return readJsonWebLink(message, link);
  QXmlStreamReader reader(QByteArray(message.data(), int(message.size())));
  while (!reader.atEnd()) {
    if (reader.readNext() != QXmlStreamReader::StartElement) continue;
    const QStringRef name = reader.name();
    std::string* field = name == QLatin1String("applicationId") ? &link.applicationId
                         : name == QLatin1String("categoryId")  ? &link.categoryId
                         : name == QLatin1String("localeCode")  ? &link.localeCode
                                                                : nullptr;
    if (field) *field = reader.readElementText(QXmlStreamReader::IncludeChildElements).toStdString();
  }
  return !reader.hasError();
}

}  // namespace

void ReliableListener::dispatch(const std::string& name, const Event& event) {
  {
    std::lock_guard<std::mutex> lock(store_->mutex);
    store_->pending[name].push_back(event);
  }
  deliver(store_, name);
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
    if (pending == store->pending.end() || pending->second.empty() || store->inFlight.count(name)) return;
    for (WebSocketListener* listener : store->registry) {
      if (listener->name() != name) continue;
      EventChannelPtr candidate = listener->getSender();
      if (candidate && !candidate->ended()) {
        channel = candidate;
        break;
      }
    }
    if (!channel) return;
    item = std::move(pending->second.front());
    pending->second.pop_front();
    if (pending->second.empty()) store->pending.erase(pending);
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
  {
    std::lock_guard<std::mutex> lock(store->mutex);
    store->inFlight.erase(name);
    if (!wasWritten) store->pending[name].push_front(std::move(item));
  }
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
  if (pending == store_->pending.end() || pending->second.empty()) return "";
  std::string message = std::move(pending->second.front().message);
  pending->second.pop_front();
  if (pending->second.empty()) store_->pending.erase(pending);
  return message;
}

size_t ReliableListener::pendingCount(const std::string& name) const {
  std::lock_guard<std::mutex> lock(store_->mutex);
  auto pending = store_->pending.find(name);
  return pending == store_->pending.end() ? 0 : pending->second.size();
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
      for (const Event& event : entry.second)
        if (event.type == "WebLinkEvent") messages.push_back(event.message);
  }
  std::vector<WebLink> links;
  for (const std::string& message : messages) {
    WebLink link;
    if (readWebLink(message, link)) links.push_back(link);
  }
  if (links.empty()) return;

  if (dataPath.empty()) return;
  const std::string fileName = dataPath + kEventsFile;
  // A data path without its bootstrap folder yet would lose the events.
  boost::system::error_code ignored;
  boost::filesystem::create_directories(boost::filesystem::path(fileName).parent_path(), ignored);
  std::ofstream file(fileName, std::ios::binary | std::ios::trunc);
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
