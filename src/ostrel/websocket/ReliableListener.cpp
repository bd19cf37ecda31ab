#include "ostrel/websocket/ReliableListener.h"

#include <QXmlStreamReader>
#include <boost/filesystem.hpp>
#include <fstream>
#include <vector>

#include "ostrel/config/ConfigKeys.h"
#include "ostrel/serviceproxy/RequestTemplate.h"
#include "ostrel/web/Socket.h"
#include "ostrel/websocket/WebSocketListener.h"
#include "tessaro/ConfigurationManager.h"

namespace {

struct WebLink {
  std::string applicationId;
  std::string localeCode;
  std::string categoryId;
};

// False when the message is not well-formed XML.
bool readWebLink(const std::string& message, WebLink& link) {
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

// The values were read as text: written back as such, markup in them stays text.
std::string escaped(const std::string& value) { return RequestTemplate::xmlEscape(value, RequestTemplate::kNoLimit); }

}  // namespace

void ReliableListener::dispatch(const std::string& name, const Event& event) {
  std::lock_guard<std::mutex> lock(mutex_);
  for (WebSocketListener* listener : registry_) {
    if (listener->name() != name) continue;
    std::shared_ptr<Socket> socket = listener->socket();
    if (socket && socket->postAndWait(event.message)) return;
    break;
  }
  pending_[name].push_back(event);
}

void ReliableListener::addListener(WebSocketListener* listener) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto pending = pending_.find(listener->name());
  if (pending != pending_.end() && !pending->second.empty()) {
    if (std::shared_ptr<Socket> socket = listener->socket()) socket->post(pending->second.front().message);
    pending->second.clear();
  }
  registry_.insert(listener);
}

void ReliableListener::removeListener(WebSocketListener* listener) {
  std::lock_guard<std::mutex> lock(mutex_);
  registry_.erase(listener);
}

std::string ReliableListener::takePending(const std::string& name) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto pending = pending_.find(name);
  if (pending == pending_.end()) return "";
  std::string message = pending->second.empty() ? std::string() : pending->second.front().message;
  pending_.erase(pending);
  return message;
}

size_t ReliableListener::pendingCount(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  auto pending = pending_.find(name);
  return pending == pending_.end() ? 0 : pending->second.size();
}

size_t ReliableListener::registeredCount(const std::string& name) const {
  std::lock_guard<std::mutex> lock(mutex_);
  size_t count = 0;
  for (const WebSocketListener* listener : registry_) count += listener->name() == name ? 1 : 0;
  return count;
}

void ReliableListener::savePending() {
  std::vector<std::string> messages;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    for (const auto& entry : pending_)
      for (const Event& event : entry.second)
        if (event.type == "WebLinkEvent") messages.push_back(event.message);
  }
  std::vector<WebLink> links;
  for (const std::string& message : messages) {
    WebLink link;
    if (readWebLink(message, link)) links.push_back(link);
  }
  if (links.empty()) return;

  ConfigurationManager* configuration = ConfigurationManager::getDefaultInstance(ConfigScopeComponent);
  std::string dataPath;
  if (!configuration || configuration->getValue(ConfigKeys::kDataPath, dataPath) != 0) return;
  const std::string fileName = dataPath + kEventsFile;
  // A data path without its bootstrap folder yet would lose the events.
  boost::system::error_code ignored;
  boost::filesystem::create_directories(boost::filesystem::path(fileName).parent_path(), ignored);
  std::ofstream file(fileName, std::ios::binary | std::ios::trunc);
  if (!file) return;
  file << "<Process type=\"HyperlinkingProcesses\">\r\n";
  for (const WebLink& link : links) {
    file << "<HyperlinkingMessage type=\"HyperlinkingMessage\">\r\n"
         << "<AppGUID>" << escaped(link.applicationId) << "</AppGUID>\r\n"
         << "<DisplayLocale>" << escaped(link.localeCode) << "</DisplayLocale>\r\n"
         << "<ReferalId>0</ReferalId>\r\n"
         << "</HyperlinkingMessage>\r\n";
  }
  file << "</Process>\r\n";
}
