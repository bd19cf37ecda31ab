// Pending reliable events of the name "all", taken by the two consumers that hand
// them out: an "all" channel that opens (early-draft browsers over real sockets)
// and the session call (startInitialization over HTTP, with a business logic on
// the host's real dispatcher). Each event goes to one of them, once, oldest first.
// Also the bound on the pending events of one name.

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <thread>

#include "ChannelTestSupport.h"
#include "ostrel/services/FunctorContext.h"
#include "ostrel/services/HCInitClientFunctor.h"
#include "support/BusinessLogicDouble.h"
#include "support/LogCapture.h"

namespace {

// Event number `seq`, padded to about `size` bytes.
std::string event(int seq, size_t size = 0) {
  return "<Event><Type>Pending</Type><Seq>" + std::to_string(seq) + "</Seq><Pad>" + std::string(size, 'p') +
         "</Pad></Event>";
}

// The numbers of the events in a text, in order.
std::vector<int> numbers(const std::string& text) {
  std::vector<int> found;
  for (size_t at = text.find("<Seq>"); at != std::string::npos; at = text.find("<Seq>", at + 1))
    found.push_back(std::atoi(text.c_str() + at + 5));
  return found;
}

// What the kernel lets one connection's send buffer grow to.
size_t largestSendBuffer() {
  std::ifstream file("/proc/sys/net/ipv4/tcp_wmem");
  size_t least = 0, initial = 0, largest = 0;
  file >> least >> initial >> largest;
  return largest > 0 ? largest : size_t(4) << 20;
}

class PendingEventsTest : public ChannelTest {
 protected:
  void SetUp() override {
    ChannelTest::SetUp();
    bindPluginRoutes();
    FunctorContext context;
    context.contexts = &contexts;
    context.reliable = &reliable;
    auto initClient = std::make_shared<HCInitClientFunctor>(context);
    initClient->replyTimeoutSeconds = 10;
    services.registerFunctor("1.0/Process/startInitialization", initClient);
    logic.answer("SUCCESS", "<Response><localeCode>en</localeCode></Response>");
  }

  void publishPending(const std::vector<std::string>& events) {
    const size_t before = reliable.pendingCount("all");
    for (const std::string& text : events) publish(std::string(kReliableTopic) + "all/1", text);
    ASSERT_TRUE(eventually([&] { return reliable.pendingCount("all") == before + events.size(); }));
  }

  // The session call of a page that starts; the numbers of the events its reply carries.
  std::vector<int> startSession() {
    const std::string host = "127.0.0.1:" + std::to_string(port);
    const std::string reply = httpExchange(port, "GET /1.0/Process/startInitialization.svc HTTP/1.1\r\nHost: " + host +
                                                     "\r\nReferer: http://" + host + "/\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(0u, reply.find("HTTP/1.1 200 OK\r\n")) << reply.substr(0, 300);
    EXPECT_NE(std::string::npos, reply.find("<KivraSessionProperties><localeCode>en</localeCode>"));
    return numbers(reply);
  }

  // A tab that opens the "all" channel, reads one event whole and is then closed
  // by the server. Its receive buffer is small, so the event handed to it next
  // (larger than a send buffer can hold) is still being written at the close and
  // must go back to the pending ones. The numbers of every event it read whole.
  std::vector<int> channelTakesOne() {
    auto tab = std::make_unique<DraftBrowser>(port, "/1.0/Events/all.ws");
    tab->limitReceiveBuffer(64 << 10);
    tab->open();
    EXPECT_EQ(0u, tab->handshake(16).find("HTTP/1.1 101 Web Socket Protocol Handshake\r\n"));
    std::vector<int> got = numbers(tab->frame(std::chrono::seconds(20)));
    manager.closeAll();
    // What was written before the close is read to the end; a frame cut off is none.
    for (std::string frame = tab->frame(std::chrono::seconds(20)); frame != "<none>";
         frame = tab->frame(std::chrono::seconds(20))) {
      for (int seq : numbers(frame)) got.push_back(seq);
    }
    EXPECT_TRUE(tab->serverClosed());
    EXPECT_TRUE(eventually([&] { return manager.openChannels() == 0 && reliable.registeredCount("all") == 0; }));
    return got;
  }

  BusinessLogicDouble logic;
};

using Seqs = std::vector<int>;

TEST_F(PendingEventsTest, ChannelsAndSessionCallsInTurnTakeFivePendingEventsOnceEachOldestFirst) {
  // Every second one cannot be written whole while its tab does not read.
  const size_t large = largestSendBuffer() + (4 << 20);
  ReliableListener::Limits limits;
  limits.maxBytes = 5 * large;
  reliable.setLimits(limits);
  publishPending({event(1), event(2, large), event(3), event(4, large), event(5)});

  EXPECT_EQ(Seqs{1}, channelTakesOne());
  EXPECT_EQ(4u, reliable.pendingCount("all"));
  EXPECT_EQ(Seqs{2}, startSession());
  EXPECT_EQ(3u, reliable.pendingCount("all"));
  EXPECT_EQ(Seqs{3}, channelTakesOne());
  EXPECT_EQ(Seqs{4}, startSession());
  EXPECT_EQ(1u, reliable.pendingCount("all"));
  EXPECT_EQ(Seqs{5}, channelTakesOne());
  EXPECT_EQ(0u, reliable.pendingCount("all"));

  // None is handed out again, to either.
  EXPECT_EQ(Seqs{}, startSession());
  auto late = openChannel("/1.0/Events/all.ws");
  ASSERT_TRUE(eventually([&] { return reliable.registeredCount("all") == 1; }));
  EXPECT_EQ("<none>", late->frame(std::chrono::milliseconds(200)));
}

TEST_F(PendingEventsTest, AChannelAndSessionCallsAtOnceShareFivePendingEventsWithoutLossOrRepeat) {
  int next = 1;
  for (int round = 0; round < 5; ++round) {
    const int first = next;
    // Large enough that a channel takes about as long to write one as a session call takes.
    std::vector<std::string> events;
    for (int i = 0; i < 5; ++i) events.push_back(event(next++, 512 << 10));
    publishPending(events);

    // Once the tab's channel has begun to take them, session calls one after
    // another until one finds nothing; the tab reads meanwhile.
    std::mutex mutex;  // guards bySessions and sessionsDone
    Seqs bySessions;
    bool sessionsDone = false;
    std::thread sessions([&] {
      eventually([&] { return reliable.registeredCount("all") == 1; });
      for (Seqs got = startSession(); !got.empty(); got = startSession()) {
        std::lock_guard<std::mutex> lock(mutex);
        bySessions.insert(bySessions.end(), got.begin(), got.end());
      }
      std::lock_guard<std::mutex> lock(mutex);
      sessionsDone = true;
    });
    auto tab = std::make_unique<DraftBrowser>(port, "/1.0/Events/all.ws");
    tab->limitReceiveBuffer(64 << 10);
    tab->open();
    EXPECT_EQ(0u, tab->handshake(16).find("HTTP/1.1 101 Web Socket Protocol Handshake\r\n"));
    Seqs byChannel;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    for (;;) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (sessionsDone && byChannel.size() + bySessions.size() >= events.size()) break;
      }
      if (std::chrono::steady_clock::now() > deadline) break;
      const std::string frame = tab->frame(std::chrono::milliseconds(50));
      if (frame != "<none>") byChannel.push_back(numbers(frame).empty() ? -1 : numbers(frame)[0]);
    }
    sessions.join();
    EXPECT_EQ("<none>", tab->frame(std::chrono::milliseconds(200)));
    EXPECT_EQ(0u, reliable.pendingCount("all"));

    // Each consumer got its events oldest first; together every event once.
    EXPECT_TRUE(std::is_sorted(bySessions.begin(), bySessions.end()));
    EXPECT_TRUE(std::is_sorted(byChannel.begin(), byChannel.end()));
    Seqs all = bySessions;
    all.insert(all.end(), byChannel.begin(), byChannel.end());
    std::sort(all.begin(), all.end());
    EXPECT_EQ((Seqs{first, first + 1, first + 2, first + 3, first + 4}), all)
        << "round " << round << ": " << bySessions.size() << " by session calls, " << byChannel.size()
        << " by the channel";
    manager.closeAll();
    EXPECT_TRUE(tab->serverClosed());
    ASSERT_TRUE(eventually([&] { return manager.openChannels() == 0 && reliable.registeredCount("all") == 0; }));
  }
}

// The WARNINGs of dropped pending events.
std::vector<std::string> drops(const LogCapture& log) {
  std::vector<std::string> found;
  for (const std::string& record : log.records())
    if (record.find("WARNING Pending reliable events ") == 0) found.push_back(record);
  return found;
}

TEST_F(PendingEventsTest, PendingEventsOfANameAreBoundedByCountAndBytesDroppingTheOldest) {
  // The defaults leave room for far more than the normal flow keeps.
  const ReliableListener::Limits defaults;
  EXPECT_EQ(1000u, defaults.maxEvents);
  EXPECT_EQ(size_t(16) << 20, defaults.maxBytes);

  LogCapture log;
  ReliableListener::Limits limits;
  limits.maxEvents = 3;
  limits.maxBytes = 1000;
  reliable.setLimits(limits);
  // By count: the fourth event of a name pushes out the first, only of that name.
  for (int seq = 1; seq <= 4; ++seq) reliable.dispatch("all", Event(event(seq), "Pending"));
  reliable.dispatch("inAppPurchase", Event(event(9), "InAppPurchase"));
  EXPECT_EQ(3u, reliable.pendingCount("all"));
  EXPECT_EQ(1u, reliable.pendingCount("inAppPurchase"));
  const std::string bound = "WARNING Pending reliable events \"all\" past their bound (3 events, 1000 bytes): ";
  EXPECT_EQ((std::vector<std::string>{bound + "dropped the oldest 1 (" + std::to_string(event(1).size()) +
                                      " bytes; type Pending)"}),
            drops(log));

  // By bytes: a large event pushes out as many of the oldest as it must.
  reliable.dispatch("all", Event(event(5, 900), "Other"));
  EXPECT_EQ(1u, reliable.pendingCount("all"));
  ASSERT_EQ(2u, drops(log).size());
  EXPECT_EQ(bound + "dropped the oldest 3 (" + std::to_string(event(2).size() + event(3).size() + event(4).size()) +
                " bytes; type Pending)",
            drops(log)[1]);
  // One event alone is always kept, however large.
  reliable.dispatch("all", Event(event(6, 5000), ""));
  EXPECT_EQ(1u, reliable.pendingCount("all"));
  ASSERT_EQ(3u, drops(log).size());
  EXPECT_EQ(bound + "dropped the oldest 1 (" + std::to_string(event(5, 900).size()) + " bytes; type Other)",
            drops(log)[2]);
  // Several types are all named.
  reliable.dispatch("all", Event(event(7, 5000), "Pending"));
  ASSERT_EQ(4u, drops(log).size());
  EXPECT_EQ(bound + "dropped the oldest 1 (" + std::to_string(event(6, 5000).size()) + " bytes; type (none))",
            drops(log)[3]);
  EXPECT_EQ(Seqs{7}, startSession());
  EXPECT_EQ(0u, reliable.pendingCount("all"));

  // Through the host, under the default bounds: of 100 events of 1 MiB the
  // newest 16 stay, and the small one from before went first.
  reliable.setLimits(defaults);
  for (int seq = 11; seq <= 110; ++seq)
    publish(std::string(kReliableTopic) + "inAppPurchase/" + std::to_string(seq),
            event(seq, (1 << 20) - event(seq).size()));
  ASSERT_TRUE(eventually([&] { return drops(log).size() == 4 + 85; }));
  EXPECT_EQ(16u, reliable.pendingCount("inAppPurchase"));
  EXPECT_EQ("WARNING Pending reliable events \"inAppPurchase\" past their bound (1000 events, 16777216 bytes): "
            "dropped the oldest 1 (" + std::to_string(event(9).size()) + " bytes; type InAppPurchase)",
            drops(log)[4]);
  auto channel = openChannel("/1.0/Events/inAppPurchase.ws");
  for (int seq = 95; seq <= 110; ++seq) EXPECT_EQ(Seqs{seq}, numbers(channel->frame(std::chrono::seconds(20))));
  EXPECT_TRUE(eventually([&] { return reliable.pendingCount("inAppPurchase") == 0; }));
}

}  // namespace
