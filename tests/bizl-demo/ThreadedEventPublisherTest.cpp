#include "bizl-demo/ThreadedEventPublisher.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "BizlTestSupport.h"

using bizl::DemoEvent;
using bizl::ThreadedEventPublisher;
using bizltest::EventRecorder;

namespace {

const std::string kTopic = "event:/test/publisher/";

std::vector<DemoEvent> sequence(const std::string& name, int count) {
  std::vector<DemoEvent> events;
  for (int i = 0; i < count; ++i) events.push_back({kTopic + name, name + std::to_string(i)});
  return events;
}

std::vector<std::string> texts(const std::vector<bizltest::ReceivedEvent>& events) {
  std::vector<std::string> result;
  for (const auto& event : events) result.push_back(event.text);
  return result;
}

}  // namespace

TEST(ThreadedEventPublisherTest, PublishesEachSequenceInOrder) {
  EventRecorder a(kTopic + "a");
  EventRecorder b(kTopic + "b");
  ThreadedEventPublisher publisher(std::chrono::milliseconds(1));
  publisher.schedule("a", sequence("a", 3));  // waits for start
  publisher.start();
  publisher.schedule("b", sequence("b", 4));
  EXPECT_EQ((std::vector<std::string>{"a0", "a1", "a2"}), texts(a.waitFor(3)));
  EXPECT_EQ((std::vector<std::string>{"b0", "b1", "b2", "b3"}), texts(b.waitFor(4)));
  EXPECT_EQ(kTopic + "b", b.events()[0].topic);
  publisher.stop();
  EXPECT_FALSE(publisher.running());
}

TEST(ThreadedEventPublisherTest, CancelAndStopDropWhatIsWaiting) {
  ThreadedEventPublisher publisher(std::chrono::hours(1));  // nothing becomes due during the test
  publisher.start();
  EXPECT_TRUE(publisher.running());
  publisher.schedule("x", sequence("x", 3));
  publisher.schedule("y", sequence("y", 2));
  publisher.schedule("z", {});
  EXPECT_EQ(5u, publisher.waiting());
  EXPECT_EQ(3u, publisher.cancel("x"));
  EXPECT_EQ(0u, publisher.cancel("x"));
  EXPECT_EQ(2u, publisher.waiting());
  publisher.stop();  // returns although events are waiting an hour
  EXPECT_EQ(0u, publisher.waiting());
  publisher.stop();
  // It can run again.
  EventRecorder recorder(kTopic + "again");
  ThreadedEventPublisher fast(std::chrono::milliseconds(0));
  fast.start();
  fast.stop();
  fast.start();
  fast.schedule("again", sequence("again", 2));
  EXPECT_EQ(2u, recorder.waitFor(2).size());
}

// A sequence for a topic that still has events waiting starts after them; other
// topics do not wait.
TEST(ThreadedEventPublisherTest, SequencesOfOneTopicFollowEachOtherWhole) {
  EventRecorder all(kTopic + "*");
  ThreadedEventPublisher publisher(std::chrono::milliseconds(50));
  publisher.start();
  publisher.schedule("first", sequence("t", 3));
  publisher.schedule("second", sequence("t", 3));
  publisher.schedule("other", sequence("u", 2));
  std::vector<std::string> order = texts(all.waitFor(8));
  publisher.stop();
  ASSERT_EQ(8u, order.size());
  std::vector<std::string> onT;
  for (const std::string& text : order)
    if (text[0] == 't') onT.push_back(text);
  EXPECT_EQ((std::vector<std::string>{"t0", "t1", "t2", "t0", "t1", "t2"}), onT);
  auto position = [&](const std::string& text, size_t from = 0) {
    return std::find(order.begin() + long(from), order.end(), text) - order.begin();
  };
  // "u1" is due after two intervals, the second "t0" after four.
  EXPECT_LT(position("u1"), position("t0", size_t(position("t2")) + 1));
}
