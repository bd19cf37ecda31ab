#include "common/HandlerHelper/HandlerHelper.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>
#include <mutex>
#include <thread>

#include "support/Eventually.h"
#include "support/LogCapture.h"
#include "tessaro/MessageDispatcher.h"
#include "tessaro/XMLPayload.h"

namespace {

std::string textOf(const LocalMessagePtr& message) {
  auto payload = message ? std::dynamic_pointer_cast<XMLPayload>(message->getPayload()) : nullptr;
  return payload ? payload->getXML() : "<none>";
}

LocalMessagePtr replyTo(const LocalMessagePtr& request, const std::string& text) {
  CommonMessageProperties properties;
  properties.setTargetTopic(request->getReplyTopic());
  properties.setMessageType(request->getMessageType());
  auto reply = std::make_shared<LocalMessage>(properties);
  reply->setPayload(std::make_shared<XMLPayload>(text));
  return reply;
}

// Answers every request on its topic with "reply:" + the request text, after
// holding it back while `hold` is set.
class Responder : public IMessageSink {
 public:
  explicit Responder(std::string topic) : topic_(std::move(topic)) {
    MessageDispatcher::getInstance()->subscribe(this, topic_);
  }
  ~Responder() override { MessageDispatcher::getInstance()->unsubscribe(this, topic_); }

  void onMessage(uint64_t, const LocalMessagePtr& request) override {
    {
      std::lock_guard<std::mutex> lock(mutex);
      requests.push_back(request);
    }
    if (answer) MessageDispatcher::getInstance()->post(replyTo(request, "reply:" + textOf(request)));
  }

  std::atomic<bool> answer{true};
  std::mutex mutex;
  std::vector<LocalMessagePtr> requests;

 private:
  std::string topic_;
};

TEST(HandlerHelperTest, SendFillsThePropertiesAndRegistersBeforePosting) {
  Responder responder("target:/KivraBusinessLogic/1.0/x");
  responder.answer = false;
  UUId id;
  HCI::MessageHandlerPtr handler = HCI::HandlerHelper::send(
      "target:/KivraBusinessLogic/1.0/x", "1.0/x", std::make_shared<XMLPayload>("<x/>"), id, 3);
  ASSERT_TRUE(eventually([&] {
    std::lock_guard<std::mutex> lock(responder.mutex);
    return responder.requests.size() == 1;
  }));
  LocalMessagePtr request = responder.requests[0];
  EXPECT_EQ("1.0/x", request->getMessageType());
  EXPECT_EQ(0u, request->getReplyTopic().find("target://"));
  EXPECT_EQ(handler->topic(), request->getReplyTopic());
  EXPECT_EQ(id, request->getProperties().getMessageId());
  EXPECT_EQ(0, request->getProperties().getPriority());
  EXPECT_EQ("3", request->getProperties().getProperty(HCI::HandlerHelper::kSequenceProperty));

  // Integer 0, as every caller passes, leaves the property unset.
  HCI::HandlerHelper::send("target:/KivraBusinessLogic/1.0/x", "1.0/x", nullptr, UUId(), 0);
  ASSERT_TRUE(eventually([&] {
    std::lock_guard<std::mutex> lock(responder.mutex);
    return responder.requests.size() == 2;
  }));
  EXPECT_FALSE(responder.requests[1]->getProperties().hasProperty(HCI::HandlerHelper::kSequenceProperty));

  // A reply that arrives before anyone waits is kept: a wait of 0 s finds it.
  handler->onMessage(9, replyTo(request, "early"));
  EXPECT_EQ("early", textOf(handler->waitForReply(0)));
}

TEST(HandlerHelperTest, SendAndWaitReturnsTheReply) {
  Responder responder("target:/echo");
  LocalMessagePtr reply =
      HCI::HandlerHelper::sendAndWait("target:/echo", "echo", std::make_shared<XMLPayload>("hi"), 10, UUId(), 0);
  EXPECT_EQ("reply:hi", textOf(reply));
}

TEST(HandlerHelperTest, TimeOutReturnsEmptyAndUnregisters) {
  Responder responder("target:/silent");
  responder.answer = false;
  auto start = std::chrono::steady_clock::now();
  LocalMessagePtr reply = HCI::HandlerHelper::sendAndWait("target:/silent", "q", nullptr, 1, UUId(), 0);
  EXPECT_EQ(nullptr, reply);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
  // The handler is gone: its reply topic has no subscriber any more.
  LocalMessagePtr request = responder.requests.at(0);
  EXPECT_EQ(0u, MessageDispatcher::getInstance()->subscriptionCount(request->getReplyTopic()));
}

TEST(HandlerHelperTest, ConcurrentExchangesNeverSeeEachOthersReplies) {
  Responder responder("target:/echo-many");
  std::atomic<int> mismatches{0};
  std::vector<std::thread> threads;
  for (int t = 0; t < 8; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 25; ++i) {
        std::string text = std::to_string(t) + "/" + std::to_string(i);
        LocalMessagePtr reply = HCI::HandlerHelper::sendAndWait(
            "target:/echo-many", "echo", std::make_shared<XMLPayload>(text), 10, UUId(), 0);
        if (textOf(reply) != "reply:" + text) ++mismatches;
      }
    });
  }
  for (std::thread& thread : threads) thread.join();
  EXPECT_EQ(0, mismatches);
}

// A thread that runs `work` and can be joined with a bound.
class BoundedThread {
 public:
  explicit BoundedThread(std::function<void()> work) {
    std::packaged_task<void()> task(std::move(work));
    done_ = task.get_future();
    thread_ = std::thread(std::move(task));
  }
  ~BoundedThread() {
    if (thread_.joinable()) thread_.join();
  }
  // True when the work ended within `limit`; joined then.
  bool joinWithin(std::chrono::milliseconds limit) {
    if (done_.wait_for(limit) != std::future_status::ready) return false;
    thread_.join();
    return true;
  }

 private:
  std::future<void> done_;
  std::thread thread_;
};

size_t requestCount(Responder& responder) {
  std::lock_guard<std::mutex> lock(responder.mutex);
  return responder.requests.size();
}

TEST(HandlerHelperTest, InterruptionIsLoggedAndRethrown) {
  LogCapture capture;
  Responder responder("target:/never");
  responder.answer = false;
  HCI::WaitStop stop;
  std::atomic<bool> interrupted{false};
  BoundedThread waiter([&] {
    try {
      HCI::HandlerHelper::sendAndWait("target:/never", "q", nullptr, -1, UUId(), 0, &stop);
    } catch (const HCI::WaitStopped&) {
      interrupted = true;
    }
  });
  ASSERT_TRUE(eventually([&] { return requestCount(responder) == 1; }));
  stop.request();
  ASSERT_TRUE(waiter.joinWithin(std::chrono::seconds(5)));
  EXPECT_TRUE(interrupted);
  EXPECT_EQ(std::vector<std::string>{"ERROR Thread interrupted while waiting for response."}, capture.records());
  // The handler is gone: its reply topic has no subscriber any more.
  EXPECT_EQ(0u, MessageDispatcher::getInstance()->subscriptionCount(responder.requests.at(0)->getReplyTopic()));
}

TEST(HandlerHelperTest, AStopEndsOnlyTheBlockingWaitsGivenIt) {
  LogCapture capture;
  Responder responder("target:/held");
  responder.answer = false;

  // A stop requested before the wait ends it at once, and every later one too.
  HCI::WaitStop early;
  early.request();
  EXPECT_TRUE(early.requested());
  for (int timeout : {-1, 0, 600}) {
    SCOPED_TRACE(timeout);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_THROW(HCI::HandlerHelper::sendAndWait("target:/held", "q", nullptr, timeout, UUId(), 0, &early),
                 HCI::WaitStopped);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  }
  EXPECT_EQ(3u, capture.records().size());

  // A wait that need not block is not ended by it: a reply that is there is
  // handed over, a cancelled wait is empty.
  HCI::MessageHandler answered("");
  answered.onMessage(1, std::make_shared<LocalMessage>(CommonMessageProperties()));
  EXPECT_NE(nullptr, answered.waitForReply(600, &early));
  HCI::MessageHandler cancelled("");
  cancelled.cancel();
  EXPECT_EQ(nullptr, cancelled.waitForReply(-1, &early));

  // A timed wait is ended by the stop long before its time-out; a wait without
  // the stop goes on and takes its reply.
  HCI::WaitStop stop;
  std::atomic<bool> stopped{false};
  BoundedThread timed([&] {
    try {
      HCI::HandlerHelper::sendAndWait("target:/held", "q", nullptr, 600, UUId(), 0, &stop);
    } catch (const HCI::WaitStopped&) {
      stopped = true;
    }
  });
  HCI::MessageHandler other("");
  LocalMessagePtr otherReply;
  BoundedThread unstopped([&] { otherReply = other.waitForReply(600); });
  ASSERT_TRUE(eventually([&] { return requestCount(responder) == 4; }));
  stop.request();
  ASSERT_TRUE(timed.joinWithin(std::chrono::seconds(5)));
  EXPECT_TRUE(stopped);
  EXPECT_FALSE(unstopped.joinWithin(std::chrono::milliseconds(100)));
  other.onMessage(2, std::make_shared<LocalMessage>(CommonMessageProperties()));
  ASSERT_TRUE(unstopped.joinWithin(std::chrono::seconds(5)));
  EXPECT_NE(nullptr, otherReply);
}

TEST(HandlerHelperTest, CancelledWaitsEndAtOnceUntilAllowedAgain) {
  Responder responder("target:/late");
  responder.answer = false;
  LocalMessagePtr reply = std::make_shared<LocalMessage>(CommonMessageProperties());
  std::atomic<bool> ended{false};
  BoundedThread waiter([&] {
    reply = HCI::HandlerHelper::sendAndWait("target:/late", "q", nullptr, -1, UUId(), 0);
    ended = true;
  });
  ASSERT_TRUE(eventually([&] { return requestCount(responder) == 1; }));
  HCI::HandlerHelper::cancelWaits();
  ASSERT_TRUE(waiter.joinWithin(std::chrono::seconds(5)));
  EXPECT_TRUE(ended);
  EXPECT_EQ(nullptr, reply);

  // A later wait ends at once, empty, while waits are cancelled.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(nullptr, HCI::HandlerHelper::sendAndWait("target:/late", "q", nullptr, -1, UUId(), 0));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  HCI::HandlerHelper::allowWaits();
  responder.answer = true;
  EXPECT_EQ("reply:hi", textOf(HCI::HandlerHelper::sendAndWait("target:/late", "q",
                                                               std::make_shared<XMLPayload>("hi"), 10, UUId(), 0)));
  // Nobody receives the message: the wait ends at once, empty.
  EXPECT_EQ(nullptr, HCI::HandlerHelper::sendAndWait("target:/nobody", "q", nullptr, -1, UUId(), 0));
}

TEST(MessageHandlerTest, WakeUpWithoutAReplyDoesNotEndTheWait) {
  HCI::MessageHandler handler("");
  std::thread deliverer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    handler.onMessage(1, nullptr);  // wakes the waiter with nothing stored
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    CommonMessageProperties properties;
    auto message = std::make_shared<LocalMessage>(properties);
    message->setPayload(std::make_shared<XMLPayload>("real"));
    handler.onMessage(2, message);
  });
  LocalMessagePtr reply = handler.waitForReply(10);
  deliverer.join();
  EXPECT_EQ("real", textOf(reply));
  // The reply is handed over once.
  EXPECT_EQ(nullptr, handler.waitForReply(0));
}

}  // namespace
