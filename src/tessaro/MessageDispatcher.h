#pragma once

// The host's in-process message dispatcher. A message goes to every sink
// subscribed to its target topic, exactly or through a pattern ending in "*".
// Delivery runs on the dispatcher's own threads, never on the poster's. Messages
// to one subscription arrive one at a time in the order they were posted; a sink
// that blocks holds up only its own subscriptions.

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "tessaro/IMessageSink.h"
#include "tessaro/LocalMessage.h"

class MessageDispatcher {
 public:
  static MessageDispatcher* getInstance();

  MessageDispatcher();
  virtual ~MessageDispatcher();
  MessageDispatcher(const MessageDispatcher&) = delete;
  MessageDispatcher& operator=(const MessageDispatcher&) = delete;

  virtual std::string getName() const;
  // 0 when the message was accepted, kNoReceiver when no subscription matches
  // its target (it is dropped), -1 for a null message.
  virtual int post(const LocalMessagePtr& message);
  // -1 for a null sink, an empty topic or a subscription that exists already.
  virtual int subscribe(IMessageSink* sink, const std::string& topic);
  // Waits until no delivery to this subscription is running (unless called from
  // that delivery), so the sink may be destroyed right after. -1 when not subscribed.
  virtual int unsubscribe(IMessageSink* sink, const std::string& topic);

  // The host is stopping: no reply will come. Every sink subscribed to a reply
  // topic ("target://" and an identifier) hears a message of the type
  // kNoReplyType at once, and so does every one that subscribes to such a
  // topic from now on.
  void abandonReplies();

  // How many sinks are subscribed to exactly this topic (for diagnostics).
  size_t subscriptionCount(const std::string& topic);

  static bool topicMatches(const std::string& pattern, const std::string& topic);

  // Number of delivery threads.
  static constexpr int kThreads = 8;
  static constexpr int kNoReceiver = 1;
  static constexpr const char* kReplyTopicPrefix = "target://";
  static constexpr const char* kNoReplyType = "NO_REPLY";

 private:
  struct Subscription;
  using SubscriptionPtr = std::shared_ptr<Subscription>;

  void deliveryLoop();
  void drain(const SubscriptionPtr& subscription);
  // Queues the message for each target; a sink that takes messages inline and
  // was idle gets it on this thread.
  void deliver(const std::vector<SubscriptionPtr>& targets, const LocalMessagePtr& message);
  // Hands subscriptions made ready to the delivery threads.
  void schedule(std::vector<SubscriptionPtr> subscriptions);
  static LocalMessagePtr noReply(const std::string& topic);

  // The subscriptions a topic or pattern names: exact topics by name, since every
  // call waiting for a reply has one of its own; patterns in a list.
  std::vector<SubscriptionPtr>& subscriptionsNamed(const std::string& topic);

  // Guards exact_, patterns_ and repliesAbandoned_.
  std::mutex subscriptionsMutex_;
  std::unordered_map<std::string, std::vector<SubscriptionPtr>> exact_;
  std::vector<SubscriptionPtr> patterns_;
  bool repliesAbandoned_ = false;

  // Guards ready_, stopping_ and the start of threads_.
  std::mutex queueMutex_;
  std::condition_variable queueCondition_;
  std::deque<SubscriptionPtr> ready_;
  bool stopping_ = false;
  std::vector<std::thread> threads_;
};
