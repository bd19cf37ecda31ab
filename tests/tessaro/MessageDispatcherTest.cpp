#include "tessaro/MessageDispatcher.h"

#include <gtest/gtest.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "support/Eventually.h"
#include "tessaro/XMLPayload.h"

namespace {

LocalMessagePtr makeMessage(const std::string& topic, const std::string& text = "") {
  CommonMessageProperties properties;
  properties.setTargetTopic(topic);
  properties.setMessageType("test");
  auto message = std::make_shared<LocalMessage>(properties);
  message->setPayload(std::make_shared<XMLPayload>(text));
  return message;
}

std::string textOf(const LocalMessagePtr& message) {
  return std::dynamic_pointer_cast<XMLPayload>(message->getPayload())->getXML();
}

class RecordingSink : public IMessageSink {
 public:
  void onMessage(uint64_t tag, const LocalMessagePtr& message) override {
    std::lock_guard<std::mutex> lock(mutex);
    tags.push_back(tag);
    texts.push_back(textOf(message));
    threads.push_back(std::this_thread::get_id());
  }
  size_t count() {
    std::lock_guard<std::mutex> lock(mutex);
    return texts.size();
  }
  std::mutex mutex;
  std::vector<uint64_t> tags;
  std::vector<std::string> texts;
  std::vector<std::thread::id> threads;
};

TEST(MessageDispatcherTest, TopicPatterns) {
  EXPECT_TRUE(MessageDispatcher::topicMatches("event:/a/b", "event:/a/b"));
  EXPECT_FALSE(MessageDispatcher::topicMatches("event:/a/b", "event:/a/bc"));
  EXPECT_FALSE(MessageDispatcher::topicMatches("event:/a/b", "event:/a"));
  EXPECT_TRUE(MessageDispatcher::topicMatches("event:/a/*", "event:/a/b"));
  EXPECT_TRUE(MessageDispatcher::topicMatches("event:/a/*", "event:/a/"));
  EXPECT_TRUE(MessageDispatcher::topicMatches("event:/a/*", "event:/a/b/c"));
  EXPECT_FALSE(MessageDispatcher::topicMatches("event:/a/*", "event:/a"));
  EXPECT_FALSE(MessageDispatcher::topicMatches("event:/a/*", "event:/ab/c"));
  EXPECT_TRUE(MessageDispatcher::topicMatches("*", "anything"));
  // Only a trailing star is a wildcard.
  EXPECT_FALSE(MessageDispatcher::topicMatches("event:/*/b", "event:/a/b"));
}

TEST(MessageDispatcherTest, DeliversAsynchronouslyInOrderToMatchingSinks) {
  MessageDispatcher dispatcher;
  RecordingSink exact, pattern, other;
  ASSERT_EQ(0, dispatcher.subscribe(&exact, "event:/x/one"));
  ASSERT_EQ(0, dispatcher.subscribe(&pattern, "event:/x/*"));
  ASSERT_EQ(0, dispatcher.subscribe(&other, "event:/y"));

  for (int i = 0; i < 50; ++i) ASSERT_EQ(0, dispatcher.post(makeMessage("event:/x/one", std::to_string(i))));
  ASSERT_EQ(0, dispatcher.post(makeMessage("event:/x/two", "two")));

  ASSERT_TRUE(eventually([&] { return exact.count() == 50 && pattern.count() == 51; }));
  for (int i = 0; i < 50; ++i) EXPECT_EQ(std::to_string(i), exact.texts[i]);
  EXPECT_EQ("two", pattern.texts.back());
  EXPECT_EQ(0u, other.count());
  for (std::thread::id id : exact.threads) EXPECT_NE(std::this_thread::get_id(), id);
  for (uint64_t tag : exact.tags) EXPECT_NE(0u, tag);
  EXPECT_NE(exact.tags[0], exact.tags[1]);

  EXPECT_EQ(0, dispatcher.unsubscribe(&exact, "event:/x/one"));
  EXPECT_EQ(0, dispatcher.unsubscribe(&pattern, "event:/x/*"));
  EXPECT_EQ(0, dispatcher.unsubscribe(&other, "event:/y"));
}

// A reply slot: delivered on the posting thread, never two at once.
class InlineSink : public RecordingSink {
 public:
  void onMessage(uint64_t tag, const LocalMessagePtr& message) override {
    if (inside.fetch_add(1) != 0) overlapped = true;
    RecordingSink::onMessage(tag, message);
    inside.fetch_sub(1);
  }
  bool takesMessagesInline() const override { return true; }
  std::atomic<int> inside{0};
  std::atomic<bool> overlapped{false};
};

TEST(MessageDispatcherTest, InlineSinksTakeMessagesOnThePostingThreadOneAtATimeInOrder) {
  MessageDispatcher dispatcher;
  InlineSink reply;
  RecordingSink watcher;
  ASSERT_EQ(0, dispatcher.subscribe(&reply, "target://r"));
  ASSERT_EQ(0, dispatcher.subscribe(&watcher, "target://*"));
  ASSERT_EQ(0, dispatcher.post(makeMessage("target://r", "first")));
  // Delivered before post returns, on this thread; the other sink as always.
  ASSERT_EQ(1u, reply.count());
  EXPECT_EQ(std::this_thread::get_id(), reply.threads[0]);
  ASSERT_TRUE(eventually([&] { return watcher.count() == 1; }));
  EXPECT_NE(std::this_thread::get_id(), watcher.threads[0]);

  // Posters on several threads: each one's messages in its order, none overlapping.
  std::vector<std::thread> posters;
  for (int t = 0; t < 4; ++t)
    posters.emplace_back([&, t] {
      for (int i = 0; i < 500; ++i) dispatcher.post(makeMessage("target://r", std::to_string(t * 1000 + i)));
    });
  for (std::thread& poster : posters) poster.join();
  ASSERT_EQ(2001u, reply.count());
  EXPECT_FALSE(reply.overlapped.load());
  std::vector<int> last(4, -1);
  for (size_t i = 1; i < reply.texts.size(); ++i) {
    const int n = std::stoi(reply.texts[i]);
    EXPECT_LT(last[n / 1000], n % 1000);
    last[n / 1000] = n % 1000;
  }
  EXPECT_EQ(0, dispatcher.unsubscribe(&reply, "target://r"));
  EXPECT_EQ(0, dispatcher.unsubscribe(&watcher, "target://*"));
}

TEST(MessageDispatcherTest, RejectsBadSubscriptionsAndMessages) {
  MessageDispatcher dispatcher;
  RecordingSink sink;
  EXPECT_EQ(-1, dispatcher.subscribe(nullptr, "t"));
  EXPECT_EQ(-1, dispatcher.subscribe(&sink, ""));
  EXPECT_EQ(0, dispatcher.subscribe(&sink, "t"));
  EXPECT_EQ(-1, dispatcher.subscribe(&sink, "t"));
  EXPECT_EQ(-1, dispatcher.post(nullptr));
  EXPECT_EQ(MessageDispatcher::kNoReceiver, dispatcher.post(makeMessage("nobody-listens")));
  EXPECT_EQ(0, dispatcher.unsubscribe(&sink, "t"));
  EXPECT_EQ(-1, dispatcher.unsubscribe(&sink, "t"));
}

TEST(MessageDispatcherTest, SeveralSinksOnOneTopicComeAndGoIndependently) {
  MessageDispatcher dispatcher;
  RecordingSink first, second, pattern;
  ASSERT_EQ(0, dispatcher.subscribe(&first, "t"));
  ASSERT_EQ(0, dispatcher.subscribe(&second, "t"));
  ASSERT_EQ(0, dispatcher.subscribe(&pattern, "t*"));
  EXPECT_EQ(2u, dispatcher.subscriptionCount("t"));
  EXPECT_EQ(1u, dispatcher.subscriptionCount("t*"));
  ASSERT_EQ(0, dispatcher.post(makeMessage("t", "both")));
  ASSERT_TRUE(eventually([&] { return first.count() == 1 && second.count() == 1 && pattern.count() == 1; }));

  EXPECT_EQ(0, dispatcher.unsubscribe(&first, "t"));
  EXPECT_EQ(-1, dispatcher.unsubscribe(&first, "t"));
  EXPECT_EQ(1u, dispatcher.subscriptionCount("t"));
  ASSERT_EQ(0, dispatcher.post(makeMessage("t", "second")));
  ASSERT_TRUE(eventually([&] { return second.count() == 2 && pattern.count() == 2; }));
  EXPECT_EQ(1u, first.count());

  EXPECT_EQ(0, dispatcher.unsubscribe(&second, "t"));
  EXPECT_EQ(0u, dispatcher.subscriptionCount("t"));
  // The pattern still matches the topic it is named after.
  EXPECT_EQ(0, dispatcher.post(makeMessage("t", "pattern")));
  EXPECT_EQ(0, dispatcher.unsubscribe(&pattern, "t*"));
  EXPECT_EQ(MessageDispatcher::kNoReceiver, dispatcher.post(makeMessage("t")));
}

// A sink whose delivery blocks until released, to show unsubscribe waits for it.
class BlockingSink : public IMessageSink {
 public:
  void onMessage(uint64_t, const LocalMessagePtr&) override {
    std::unique_lock<std::mutex> lock(mutex);
    entered = true;
    changed.notify_all();
    changed.wait(lock, [&] { return released; });
    finished = true;
  }
  std::mutex mutex;
  std::condition_variable changed;
  bool entered = false, released = false;
  std::atomic<bool> finished{false};
};

TEST(MessageDispatcherTest, UnsubscribeWaitsForRunningDeliveryAndDropsPending) {
  MessageDispatcher dispatcher;
  BlockingSink sink;
  ASSERT_EQ(0, dispatcher.subscribe(&sink, "t"));
  dispatcher.post(makeMessage("t"));
  dispatcher.post(makeMessage("t"));  // pending behind the blocked one
  {
    std::unique_lock<std::mutex> lock(sink.mutex);
    ASSERT_TRUE(sink.changed.wait_for(lock, std::chrono::seconds(5), [&] { return sink.entered; }));
  }
  std::atomic<bool> unsubscribed{false};
  std::thread unsubscriber([&] {
    dispatcher.unsubscribe(&sink, "t");
    unsubscribed = true;
  });
  // Still blocked: unsubscribe must not return while the sink runs.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_FALSE(unsubscribed);
  {
    std::lock_guard<std::mutex> lock(sink.mutex);
    sink.released = true;
    sink.entered = false;
  }
  sink.changed.notify_all();
  unsubscriber.join();
  EXPECT_TRUE(sink.finished);
  // The pending second message was dropped, never delivered.
  std::lock_guard<std::mutex> lock(sink.mutex);
  EXPECT_FALSE(sink.entered);
}

class SelfRemovingSink : public IMessageSink {
 public:
  explicit SelfRemovingSink(MessageDispatcher& d) : dispatcher(d) {}
  void onMessage(uint64_t, const LocalMessagePtr&) override {
    result = dispatcher.unsubscribe(this, "self");
    done = true;
  }
  MessageDispatcher& dispatcher;
  std::atomic<int> result{1};
  std::atomic<bool> done{false};
};

TEST(MessageDispatcherTest, SinkMayUnsubscribeItselfDuringDelivery) {
  MessageDispatcher dispatcher;
  SelfRemovingSink sink(dispatcher);
  ASSERT_EQ(0, dispatcher.subscribe(&sink, "self"));
  dispatcher.post(makeMessage("self"));
  ASSERT_TRUE(eventually([&] { return sink.done.load(); }));
  EXPECT_EQ(0, sink.result);
}

TEST(MessageDispatcherTest, BlockedSinkDoesNotHoldUpOthers) {
  MessageDispatcher dispatcher;
  BlockingSink blocked;
  RecordingSink free;
  dispatcher.subscribe(&blocked, "slow");
  dispatcher.subscribe(&free, "fast");
  dispatcher.post(makeMessage("slow"));
  dispatcher.post(makeMessage("fast", "ok"));
  EXPECT_TRUE(eventually([&] { return free.count() == 1; }));
  {
    std::lock_guard<std::mutex> lock(blocked.mutex);
    blocked.released = true;
  }
  blocked.changed.notify_all();
  dispatcher.unsubscribe(&blocked, "slow");
  dispatcher.unsubscribe(&free, "fast");
}

TEST(UUIdTest, FreshIdentifiersDiffer) {
  UUId a, b;
  UUId c = a;
  EXPECT_NE(a, b);
  EXPECT_EQ(a, c);
  EXPECT_EQ(36u, a.getValue().size());
}

}  // namespace
