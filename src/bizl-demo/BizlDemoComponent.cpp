#include "bizl-demo/BizlDemoComponent.h"

#include <algorithm>

#include <filesystem>

#include "bizl-demo/BizlLog.h"
#include "bizl-demo/FileReplyStore.h"
#include "bizl-demo/RequestDispatcher.h"
#include "bizl-demo/RequestError.h"
#include "common/logging/LoggerClient.h"
#include "tessaro/CommonMessageProperties.h"
#include "tessaro/ConfigurationManager.h"
#include "tessaro/MessageDispatcher.h"
#include "tessaro/XMLPayload.h"

#ifndef BIZL_DEMO_DATA_DIR
#error "BIZL_DEMO_DATA_DIR must name the bundled data folder"
#endif

namespace bizl {

namespace {

const std::string kSubscription = std::string(BizlDemoComponent::kTopicPrefix) + "*";

// One log record per request: line breaks would split it.
// One log line per request, however long the document: a long tail is cut and
// its length noted.
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

}  // namespace

BizlDemoComponent::~BizlDemoComponent() { stop(); }

std::string BizlDemoComponent::bundledDataRoot() { return BIZL_DEMO_DATA_DIR; }

void BizlDemoComponent::initialize() { LoggerClient::instance().fetchQueue(); }

void BizlDemoComponent::shutdown() {
  stop();
  BIZL_LOG(LOG_INFO) << "Shutdown";
}

void BizlDemoComponent::readConfiguration() {
  ConfigurationManager* configuration = ConfigurationManager::getDefaultInstance(ConfigScopeComponent);
  dataRoot_ = bundledDataRoot();
  eventInterval_ = kDefaultEventInterval;
  std::string value;
  if (configuration && configuration->getValue(kDataRootKey, value) == 0 && !value.empty()) dataRoot_ = value;
  if (configuration && configuration->getValue(kEventIntervalKey, value) == 0) {
    const bool digits = !value.empty() && value.size() <= 5 && value.find_first_not_of("0123456789") == std::string::npos;
    if (digits && std::stol(value) <= kMaxEventInterval)
      eventInterval_ = std::chrono::milliseconds(std::stol(value));
    else
      BIZL_LOG(LOG_WARNING) << "Ignoring " << kEventIntervalKey << " \"" << value << "\": expected 0 to "
                            << kMaxEventInterval << " milliseconds";
  }
  bootstrapFile_.clear();
  if (configuration && configuration->getValue(kVarPathKey, value) == 0 && !value.empty())
    bootstrapFile_ = value + kSavedWebLinks;
  std::error_code error;
  if (!std::filesystem::is_directory(dataRoot_, error))
    BIZL_LOG(LOG_ERROR) << "Demo data folder not found: " << dataRoot_;
}

void BizlDemoComponent::start() {
  if (started_) return;
  started_ = true;
  readConfiguration();
  publisher_ = std::make_shared<ThreadedEventPublisher>(eventInterval_);
  publisher_->start();
  {
    std::lock_guard<std::mutex> lock(handlerMutex_);
    handler_ = std::make_shared<RequestDispatcher>(std::make_shared<FileReplyStore>(dataRoot_), publisher_,
                                                   bootstrapFile_);
  }
  if (MessageDispatcher::getInstance()->subscribe(this, kSubscription) != 0)
    BIZL_LOG(LOG_ERROR) << "Could not subscribe to " << kSubscription;
  BIZL_LOG(LOG_INFO) << "Demo business logic started, data folder " << dataRoot_ << ", event interval "
                     << eventInterval_.count() << " ms";
}

void BizlDemoComponent::stop() {
  if (!started_) return;
  started_ = false;
  // Waits for a delivery in progress, so no request is answered after this.
  MessageDispatcher::getInstance()->unsubscribe(this, kSubscription);
  {
    std::lock_guard<std::mutex> lock(handlerMutex_);
    handler_.reset();
  }
  publisher_->stop();
  publisher_.reset();
}

void BizlDemoComponent::onMessage(uint64_t, const LocalMessagePtr& message) {
  if (!message) return;
  const std::string& topic = message->getTargetTopic();
  const std::string operation = topic.compare(0, std::string(kTopicPrefix).size(), kTopicPrefix) == 0
                                    ? topic.substr(std::string(kTopicPrefix).size())
                                    : topic;
  auto payload = std::dynamic_pointer_cast<XMLPayload>(message->getPayload());
  BIZL_LOG(LOG_INFO) << "Request " << operation << ": " << (payload ? oneLine(payload->getXML()) : "(no XMLPayload)");

  RequestHandlerPtr handler;
  {
    std::lock_guard<std::mutex> lock(handlerMutex_);
    handler = handler_;
  }
  if (!handler) return;
  Reply reply = payload ? handler->handle(operation, payload->getXML())
                        : Reply{"ERROR", RequestError::statusDocument(status::kMalformedRequest,
                                                                      "Malformed request: the payload is not an XMLPayload")};
  if (reply.type != "SUCCESS") BIZL_LOG(LOG_WARNING) << "Reply " << reply.type << " to " << operation << ": " << reply.text;

  if (message->getReplyTopic().empty()) {
    BIZL_LOG(LOG_WARNING) << "Request " << operation << " has no reply topic; nobody to answer";
    return;
  }
  CommonMessageProperties properties;
  properties.setMessageType(reply.type);
  properties.setTargetTopic(message->getReplyTopic());
  properties.setMessageId(message->getProperties().getMessageId());
  auto answer = std::make_shared<LocalMessage>(properties);
  answer->setPayload(std::make_shared<XMLPayload>(reply.text));
  MessageDispatcher::getInstance()->post(answer);
}

}  // namespace bizl
