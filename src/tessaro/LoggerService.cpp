#include "tessaro/LoggerService.h"

#include <algorithm>

#include "tessaro/KivraLoggerQueueData.h"
#include "tessaro/LogLineText.h"
#include "tessaro/MessageDispatcher.h"

LoggerService::LoggerService(FILE* output, bool readable)
    : output_(output), readable_(readable), queue_(std::make_shared<LogLineQueue>()) {}

LoggerService::~LoggerService() { stop(); }

bool LoggerService::start() {
  if (started_) return false;
  {
    std::lock_guard<std::mutex> lock(queue_->mutex);
    queue_->closed = false;
  }
  consumer_ = std::thread(&LoggerService::consume, this);
  MessageDispatcher::getInstance()->subscribe(this, kTopic);
  started_ = true;
  return true;
}

void LoggerService::stop() {
  if (!started_) return;
  MessageDispatcher::getInstance()->unsubscribe(this, kTopic);
  {
    std::lock_guard<std::mutex> lock(queue_->mutex);
    queue_->closed = true;
  }
  queue_->condition.notify_all();
  consumer_.join();
  started_ = false;
}

void LoggerService::append(const std::string& line) {
  bool wasEmpty;
  {
    std::lock_guard<std::mutex> lock(queue_->mutex);
    wasEmpty = queue_->lines.empty();
    queue_->lines.push_back(line);
  }
  if (wasEmpty) queue_->wakeOne();
}

void LoggerService::onMessage(uint64_t, const LocalMessagePtr& message) {
  if (message->getMessageType() != kQueueRequest || message->getReplyTopic().empty()) return;
  CommonMessageProperties properties;
  properties.setMessageType(kQueueRequest);
  properties.setTargetTopic(message->getReplyTopic());
  properties.setMessageId(message->getProperties().getMessageId());
  auto reply = std::make_shared<LocalMessage>(properties);
  reply->setPayload(std::make_shared<KivraLoggerQueueData>(queue_));
  MessageDispatcher::getInstance()->post(reply);
}

void LoggerService::consume() {
  std::deque<std::string> batch;
  for (;;) {
    bool closed;
    {
      std::unique_lock<std::mutex> lock(queue_->mutex);
      queue_->condition.wait(lock, [&] { return queue_->closed || !queue_->lines.empty(); });
      batch.swap(queue_->lines);
      closed = queue_->closed;
    }
    for (const std::string& line : batch) write(line);
    batch.clear();
    std::fflush(output_);
    if (closed) return;
  }
}

void LoggerService::write(const std::string& line) {
  std::string text = safeLogLine(line);
  if (readable_) std::replace(text.begin(), text.end(), '\x0B', '\t');
  text += '\n';
  std::fwrite(text.data(), 1, text.size(), output_);
}
