#include "bizl-demo/RequestJob.h"

#include <algorithm>

#include "bizl-demo/BizlDemoComponent.h"
#include "bizl-demo/BizlLog.h"
#include "bizl-demo/RequestError.h"
#include "tessaro/CommonMessageProperties.h"
#include "tessaro/MessageDispatcher.h"
#include "tessaro/XMLPayload.h"

namespace bizl {

namespace {

// One log line per request, however long the document: line breaks are written
// as "\n", and a long tail is cut with its length noted.
std::string oneLine(const std::string& text) {
  constexpr size_t kShown = 4096;
  std::string out;
  out.reserve(std::min(text.size(), kShown) + 32);
  for (size_t i = 0; i < text.size() && i < kShown; ++i) {
    const char c = text[i];
    if (c == '\n')
      out += "\\n";
    else if (c == '\r')
      out += "\\r";
    else
      out += c;
  }
  if (text.size() > kShown) out += "... (" + std::to_string(text.size()) + " bytes)";
  return out;
}

// The operation path of a topic below BizlDemoComponent::kTopicPrefix.
std::string operationOf(const std::string& topic) {
  const std::string prefix = BizlDemoComponent::kTopicPrefix;
  return topic.compare(0, prefix.size(), prefix) == 0 ? topic.substr(prefix.size()) : topic;
}

}  // namespace

RequestJob::RequestJob(LocalMessagePtr message, RequestHandlerPtr handler)
    : message_(std::move(message)), handler_(std::move(handler)) {}

void RequestJob::run() {
  const std::string operation = operationOf(message_->getTargetTopic());
  auto payload = std::dynamic_pointer_cast<XMLPayload>(message_->getPayload());
  BIZL_LOG(LOG_INFO) << "Request " << operation << ": " << (payload ? oneLine(payload->getXML()) : "(no XMLPayload)");
  if (!payload) {
    answer(operation, Reply{"ERROR", RequestError::statusDocument(
                                         status::kMalformedRequest, "Malformed request: the payload is not an XMLPayload")});
    return;
  }
  answer(operation, handler_->handle(operation, payload->getXML()));
}

void RequestJob::refuse() {
  answer(operationOf(message_->getTargetTopic()),
         Reply{"CRITICAL", RequestError::statusDocument(status::kStopping, "The demo business logic is stopping")});
}

void RequestJob::answer(const std::string& operation, Reply reply) const {
  if (reply.type != "SUCCESS") BIZL_LOG(LOG_WARNING) << "Reply " << reply.type << " to " << operation << ": " << reply.text;
  if (message_->getReplyTopic().empty()) {
    BIZL_LOG(LOG_WARNING) << "Request " << operation << " has no reply topic; nobody to answer";
    return;
  }
  CommonMessageProperties properties;
  properties.setMessageType(reply.type);
  properties.setTargetTopic(message_->getReplyTopic());
  properties.setMessageId(message_->getProperties().getMessageId());
  auto message = std::make_shared<LocalMessage>(properties);
  message->setPayload(std::make_shared<XMLPayload>(std::move(reply.text)));
  MessageDispatcher::getInstance()->post(message);
}

}  // namespace bizl
