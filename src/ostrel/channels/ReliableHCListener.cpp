#include "ostrel/channels/ReliableHCListener.h"

#include <QRegExp>
#include <QString>

#include "tessaro/MessageDispatcher.h"
#include "tessaro/XMLPayload.h"
#include "tessaro/XMLTool.h"

ReliableHCListener::ReliableHCListener(MessageDispatcher& dispatcher) : dispatcher_(dispatcher) {
  dispatcher_.subscribe(this, std::string(kTopicPrefix) + "*");
}

// Waits for a delivery in progress: nothing reaches this listener afterwards.
ReliableHCListener::~ReliableHCListener() { dispatcher_.unsubscribe(this, std::string(kTopicPrefix) + "*"); }

std::string ReliableHCListener::eventType(const std::string& text, int format) {
  if (format == 2) {
    QRegExp pattern("\"type\": *\"([^\"]+)\"", Qt::CaseSensitive, QRegExp::RegExp2);
    if (pattern.indexIn(QString::fromStdString(text)) < 0) return "";
    return pattern.cap(1).toStdString();
  }
  try {
    return bootStrapCreate(text, 0)->getValue("Event\\Type");
  } catch (const std::exception&) {
    return "";
  }
}

std::string ReliableHCListener::eventName(const std::string& topic) {
  const std::string prefix = kTopicPrefix;
  if (topic.compare(0, prefix.size(), prefix) != 0) return "";
  const size_t end = topic.find('/', prefix.size());
  return topic.substr(prefix.size(), end == std::string::npos ? std::string::npos : end - prefix.size());
}

void ReliableHCListener::onMessage(uint64_t, const LocalMessagePtr& message) {
  auto payload = message ? std::dynamic_pointer_cast<XMLPayload>(message->getPayload()) : nullptr;
  if (!payload) return;
  Event event(payload->getXML(), eventType(payload->getXML(), format_));
  dispatch(eventName(message->getTargetTopic()), event);
}
