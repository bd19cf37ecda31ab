#include "tessaro/MessageDispatcher.h"

#include <algorithm>
#include <atomic>
#include <cstring>

#include "tessaro/CommonMessageProperties.h"

// One subscription's pending messages. `scheduled` is true while it sits in the
// ready queue or a thread drains it, so at most one thread delivers to it.
struct MessageDispatcher::Subscription {
  IMessageSink* sink;
  std::string topic;
  std::mutex mutex;  // guards everything below
  std::condition_variable idle;
  std::deque<LocalMessagePtr> pending;
  bool scheduled = false;
  bool active = true;
  std::thread::id deliveringThread;
};

namespace {
std::atomic<uint64_t> nextTag{1};
}

MessageDispatcher* MessageDispatcher::getInstance() {
  static MessageDispatcher dispatcher;
  return &dispatcher;
}

MessageDispatcher::MessageDispatcher() = default;

MessageDispatcher::~MessageDispatcher() {
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    stopping_ = true;
  }
  queueCondition_.notify_all();
  for (std::thread& thread : threads_) thread.join();
}

std::string MessageDispatcher::getName() const { return "MessageDispatcher"; }

bool MessageDispatcher::topicMatches(const std::string& pattern, const std::string& topic) {
  if (!pattern.empty() && pattern.back() == '*')
    return topic.compare(0, pattern.size() - 1, pattern, 0, pattern.size() - 1) == 0;
  return pattern == topic;
}

namespace {
bool isReplyTopic(const std::string& topic) {
  return topic.compare(0, std::strlen(MessageDispatcher::kReplyTopicPrefix), MessageDispatcher::kReplyTopicPrefix) == 0;
}
}  // namespace

namespace {
bool isPattern(const std::string& topic) { return !topic.empty() && topic.back() == '*'; }
}  // namespace

std::vector<MessageDispatcher::SubscriptionPtr>& MessageDispatcher::subscriptionsNamed(const std::string& topic) {
  return isPattern(topic) ? patterns_ : exact_[topic];
}

int MessageDispatcher::subscribe(IMessageSink* sink, const std::string& topic) {
  if (!sink || topic.empty()) return -1;
  auto subscription = std::make_shared<Subscription>();
  subscription->sink = sink;
  subscription->topic = topic;
  bool abandoned = false;
  {
    std::lock_guard<std::mutex> lock(subscriptionsMutex_);
    std::vector<SubscriptionPtr>& named = subscriptionsNamed(topic);
    for (const SubscriptionPtr& existing : named)
      if (existing->sink == sink && existing->topic == topic) return -1;
    named.push_back(subscription);
    abandoned = repliesAbandoned_ && isReplyTopic(topic);
  }
  if (abandoned) deliver({subscription}, noReply(topic));
  return 0;
}

LocalMessagePtr MessageDispatcher::noReply(const std::string& topic) {
  CommonMessageProperties properties;
  properties.setTargetTopic(topic);
  properties.setMessageType(kNoReplyType);
  return std::make_shared<LocalMessage>(properties);
}

void MessageDispatcher::abandonReplies() {
  std::vector<SubscriptionPtr> waiting;
  {
    std::lock_guard<std::mutex> lock(subscriptionsMutex_);
    repliesAbandoned_ = true;
    for (const auto& [topic, named] : exact_)
      if (isReplyTopic(topic)) waiting.insert(waiting.end(), named.begin(), named.end());
    for (const SubscriptionPtr& s : patterns_)
      if (isReplyTopic(s->topic)) waiting.push_back(s);
  }
  for (const SubscriptionPtr& s : waiting) deliver({s}, noReply(s->topic));
}

int MessageDispatcher::unsubscribe(IMessageSink* sink, const std::string& topic) {
  SubscriptionPtr subscription;
  {
    std::lock_guard<std::mutex> lock(subscriptionsMutex_);
    if (!isPattern(topic) && exact_.find(topic) == exact_.end()) return -1;
    std::vector<SubscriptionPtr>& named = subscriptionsNamed(topic);
    auto it = std::find_if(named.begin(), named.end(),
                           [&](const SubscriptionPtr& s) { return s->sink == sink && s->topic == topic; });
    if (it == named.end()) return -1;
    subscription = *it;
    named.erase(it);
    if (named.empty() && !isPattern(topic)) exact_.erase(topic);
  }
  std::unique_lock<std::mutex> lock(subscription->mutex);
  subscription->active = false;
  subscription->pending.clear();
  const std::thread::id self = std::this_thread::get_id();
  subscription->idle.wait(lock, [&] {
    return subscription->deliveringThread == std::thread::id() || subscription->deliveringThread == self;
  });
  return 0;
}

size_t MessageDispatcher::subscriptionCount(const std::string& topic) {
  std::lock_guard<std::mutex> lock(subscriptionsMutex_);
  if (!isPattern(topic)) {
    auto named = exact_.find(topic);
    return named == exact_.end() ? 0 : named->second.size();
  }
  return size_t(std::count_if(patterns_.begin(), patterns_.end(),
                              [&](const SubscriptionPtr& s) { return s->topic == topic; }));
}

int MessageDispatcher::post(const LocalMessagePtr& message) {
  if (!message) return -1;
  std::vector<SubscriptionPtr> targets;
  {
    std::lock_guard<std::mutex> lock(subscriptionsMutex_);
    const std::string& target = message->getTargetTopic();
    auto named = exact_.find(target);
    if (named != exact_.end()) targets = named->second;
    for (const SubscriptionPtr& s : patterns_)
      if (topicMatches(s->topic, target)) targets.push_back(s);
  }
  if (targets.empty()) return kNoReceiver;
  deliver(targets, message);
  return 0;
}

void MessageDispatcher::deliver(const std::vector<SubscriptionPtr>& targets, const LocalMessagePtr& message) {
  std::vector<SubscriptionPtr> toSchedule;
  std::vector<SubscriptionPtr> drainHere;
  for (const SubscriptionPtr& s : targets) {
    std::lock_guard<std::mutex> lock(s->mutex);
    if (!s->active) continue;
    s->pending.push_back(message);
    if (!s->scheduled) {
      // Scheduled either way: no other thread delivers to it meanwhile.
      s->scheduled = true;
      (s->sink->takesMessagesInline() ? drainHere : toSchedule).push_back(s);
    }
  }
  schedule(std::move(toSchedule));
  for (const SubscriptionPtr& s : drainHere) drain(s);
}

void MessageDispatcher::schedule(std::vector<SubscriptionPtr> subscriptions) {
  if (subscriptions.empty()) return;
  const size_t ready = subscriptions.size();
  {
    std::lock_guard<std::mutex> lock(queueMutex_);
    if (threads_.empty())
      for (int i = 0; i < kThreads; ++i) threads_.emplace_back(&MessageDispatcher::deliveryLoop, this);
    for (SubscriptionPtr& s : subscriptions) ready_.push_back(std::move(s));
  }
  // One thread per subscription made ready: waking all of them for one
  // message costs every post a crowd of context switches.
  for (size_t i = 0; i < ready; ++i) queueCondition_.notify_one();
}

void MessageDispatcher::deliveryLoop() {
  for (;;) {
    SubscriptionPtr subscription;
    {
      std::unique_lock<std::mutex> lock(queueMutex_);
      queueCondition_.wait(lock, [&] { return stopping_ || !ready_.empty(); });
      if (stopping_) return;
      subscription = std::move(ready_.front());
      ready_.pop_front();
    }
    drain(subscription);
  }
}

void MessageDispatcher::drain(const SubscriptionPtr& subscription) {
  std::unique_lock<std::mutex> lock(subscription->mutex);
  while (subscription->active && !subscription->pending.empty()) {
    LocalMessagePtr message = std::move(subscription->pending.front());
    subscription->pending.pop_front();
    subscription->deliveringThread = std::this_thread::get_id();
    lock.unlock();
    try {
      subscription->sink->onMessage(nextTag++, message);
    } catch (...) {
      // A failing sink must not take a delivery thread down with it.
    }
    lock.lock();
    subscription->deliveringThread = std::thread::id();
    subscription->idle.notify_all();
  }
  subscription->scheduled = false;
}
