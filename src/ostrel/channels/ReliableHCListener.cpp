#include "ostrel/channels/ReliableHCListener.h"

#include <cstring>

#include "common/text/Utf8.h"
#include "tessaro/MessageDispatcher.h"
#include "tessaro/XMLPayload.h"
#include "tessaro/XMLTool.h"

ReliableHCListener::ReliableHCListener(MessageDispatcher& dispatcher) : dispatcher_(dispatcher) {
  dispatcher_.subscribe(this, std::string(kTopicPrefix) + "*");
}

// Waits for a delivery in progress: nothing reaches this listener afterwards.
ReliableHCListener::~ReliableHCListener() { dispatcher_.unsubscribe(this, std::string(kTopicPrefix) + "*"); }

std::string ReliableHCListener::eventType(const std::string& text, int format) {
  if (format == 2) return jsonEventType(text);
  try {
    return bootStrapCreate(text, 0)->getValue("Event\\Type");
  } catch (const std::exception&) {
    return "";
  }
}

// The first "type": followed by spaces and a quoted text of at least one
// character; a candidate that fails leaves the search at the next "type":.
// The type is read as UTF-8, an invalid byte as U+FFFD.
std::string ReliableHCListener::jsonEventType(const std::string& text) {
  static const char kKey[] = "\"type\":";
  const size_t keyLength = std::strlen(kKey);
  for (size_t key = text.find(kKey); key != std::string::npos; key = text.find(kKey, key + 1)) {
    size_t at = key + keyLength;
    while (at < text.size() && text[at] == ' ') ++at;
    if (at >= text.size() || text[at] != '"') continue;
    const size_t end = text.find('"', at + 1);
    if (end == std::string::npos) return "";  // no later candidate can close either
    if (end == at + 1) continue;
    return utf8::withReplacements(text.substr(at + 1, end - at - 1));
  }
  return "";
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
