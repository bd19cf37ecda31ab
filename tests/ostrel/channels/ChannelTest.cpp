// Event channels of the early drafts over real sockets, with the real web
// server and the host's real dispatcher.

#include <gtest/gtest.h>

#include <thread>

#include "ChannelTestSupport.h"
#include "ostrel/channels/ReliableHCListener.h"
#include "support/LogCapture.h"

namespace {

const std::string kXmlEvent = "<Event><Type>Purchase</Type><Id>7</Id></Event>";

TEST_F(ChannelTest, HandshakesOfTheEarlyDrafts) {
  auto factory = std::make_shared<RecordingFactory>();
  manager.addRoute("1.0/Events/all", factory);
  const std::string origin = "http://127.0.0.1:" + std::to_string(port);

  DraftBrowser keyed(port, "/1.0/Events/all.ws");
  keyed.open();
  EXPECT_EQ("HTTP/1.1 101 Web Socket Protocol Handshake\r\nUpgrade: WebSocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Origin: " + origin + "\r\nSec-WebSocket-Location: ws://127.0.0.1:" + std::to_string(port) +
                "/1.0/Events/all.ws\r\n\r\n8jKS'y:G*Co,Wxa-",
            keyed.handshake(16));

  DraftBrowser plain(port, "/1.0/Events/all.ws", false);
  plain.open();
  EXPECT_EQ("HTTP/1.1 101 Web Socket Protocol Handshake\r\nUpgrade: WebSocket\r\nConnection: Upgrade\r\n"
            "WebSocket-Origin: " + origin + "\r\nWebSocket-Location: ws://127.0.0.1:" + std::to_string(port) +
                "/1.0/Events/all.ws\r\n\r\n",
            plain.handshake(0));
  EXPECT_TRUE(eventually([&] { return factory->made(1) && factory->made(1)->events().size() == 1; }));
  EXPECT_EQ(std::vector<std::string>{"open"}, factory->made(1)->events());

  // The URI arrives decoded; in the location its line breaks are encoded again.
  DraftBrowser split(port, "/1.0/Events/all.ws%0d%0aX-Injected:%20yes", false);
  split.open();
  EXPECT_EQ("HTTP/1.1 101 Web Socket Protocol Handshake\r\nUpgrade: WebSocket\r\nConnection: Upgrade\r\n"
            "WebSocket-Origin: " + origin + "\r\nWebSocket-Location: ws://127.0.0.1:" + std::to_string(port) +
                "/1.0/Events/all.ws%0d%0aX-Injected:%20yes\r\n\r\n",
            split.handshake(0));
}

TEST_F(ChannelTest, AClientWithoutOriginIsServedOnEveryDraft) {
  // A native client or a test tool is a local process the owner check has
  // admitted; only a page names an origin.
  auto factory = std::make_shared<RecordingFactory>();
  manager.addRoute("1.0/Events/all", factory);
  const std::string location = "ws://127.0.0.1:" + std::to_string(port) + "/1.0/Events/all.ws";
  DraftBrowser keyed(port, "/1.0/Events/all.ws", true, DraftBrowser::kNoOrigin);
  keyed.open();
  EXPECT_EQ("HTTP/1.1 101 Web Socket Protocol Handshake\r\nUpgrade: WebSocket\r\nConnection: Upgrade\r\n"
            "Sec-WebSocket-Location: " + location + "\r\n\r\n8jKS'y:G*Co,Wxa-",
            keyed.handshake(16));
  DraftBrowser plain(port, "/1.0/Events/all.ws", false, DraftBrowser::kNoOrigin);
  plain.open();
  EXPECT_EQ("HTTP/1.1 101 Web Socket Protocol Handshake\r\nUpgrade: WebSocket\r\nConnection: Upgrade\r\n"
            "WebSocket-Location: " + location + "\r\n\r\n",
            plain.handshake(0));
  EXPECT_TRUE(eventually([&] { return factory->made(1) && factory->made(1)->events().size() == 1; }));
  EXPECT_EQ(std::vector<std::string>{"open"}, factory->made(0)->events());
  EXPECT_EQ(std::vector<std::string>{"open"}, factory->made(1)->events());

  // An origin spelt in another case is still an origin, and this one is foreign.
  int fd = connectLoopback(port);
  const std::string lowercase = "GET /1.0/Events/all.ws HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) +
                                "\r\nUpgrade: WebSocket\r\nConnection: Upgrade\r\norigin: http://evil.example\r\n\r\n";
  ::send(fd, lowercase.data(), lowercase.size(), MSG_NOSIGNAL);
  EXPECT_EQ(0u, readAll(fd).find("HTTP/1.1 403 Forbidden\r\n"));
  ::close(fd);
}

TEST_F(ChannelTest, UnknownRoutesForeignOriginsAndPlainRequestsGetNoHandshake) {
  auto factory = std::make_shared<RecordingFactory>();
  manager.addRoute("1.0/Events/all", factory);
  // Its topic would be inAppPurchase's, but the route is not bound: not a
  // channel, so its Referer is checked like any other request's.
  const std::string unbound = "GET /x/1.0/Events/inAppPurchase.ws/y.ws HTTP/1.1\r\nHost: 127.0.0.1\r\n";
  EXPECT_EQ("HTTP/1.1 500 Internal Server Error\r\nReferrer: is NULL\r\n\r\n", httpExchange(port, unbound + "\r\n"));
  EXPECT_EQ("", httpExchange(port, unbound + "Referer: http://127.0.0.1:" + std::to_string(port) + "/\r\n\r\n"));

  const std::string forbidden =
      "HTTP/1.1 403 Forbidden\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  int made = 0;
  // A page of another program on this machine is foreign too.
  for (const std::string& origin : {std::string("http://evil.example"), std::string("ab"),
                                    std::string("http://127.0.0.1.evil.example"), std::string("http://127.0.0.1:1"),
                                    std::string("http://127.0.0.1")}) {
    for (bool withKeys : {true, false}) {
      DraftBrowser foreign(port, "/1.0/Events/all.ws", withKeys, origin);
      foreign.open();
      EXPECT_EQ(forbidden, foreign.handshake(0)) << origin;
      EXPECT_TRUE(foreign.serverClosed());
      ASSERT_TRUE(factory->made(size_t(made)));
      EXPECT_EQ(std::vector<std::string>{"abort"}, factory->made(size_t(made++))->events());
    }
  }
  // A page that only fetches the address is never switched to a channel, nor
  // is a request of another method than GET, upgrade or not.
  const std::string bad = "HTTP/1.1 400 Bad Request\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
  const std::string local = "Host: 127.0.0.1\r\nOrigin: http://127.0.0.1:" + std::to_string(port) + "\r\n";
  EXPECT_EQ(bad, httpExchange(port, "GET /1.0/Events/all.ws HTTP/1.1\r\n" + local + "\r\n"));
  for (const char* method : {"POST", "PUT", "OPTIONS", "HEAD"})
    EXPECT_EQ(bad, httpExchange(port, std::string(method) + " /1.0/Events/all.ws HTTP/1.1\r\n" + local +
                                          "Upgrade: websocket\r\nConnection: Upgrade\r\nContent-Length: 0\r\n"
                                          "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n"))
        << method;
}

TEST_F(ChannelTest, EventReachesAnAllChannelAsOneFrameInEachFormat) {
  bindPluginRoutes();
  auto xml = openChannel("/1.0/Events/all.ws");
  useFormat(1);
  auto json = openChannel("/1.0/Events/all.ws");
  useFormat(-1);  // passed on unchanged: the text goes out as it came
  auto unset = openChannel("/1.0/Events/all.ws");

  publish(std::string(kEventTopic) + "x", kXmlEvent);
  EXPECT_EQ(kXmlEvent, xml->frame());
  EXPECT_EQ("{\"event\":{\"type\":\"Purchase\",\"id\":\"7\"}}", json->frame());
  EXPECT_EQ(kXmlEvent, unset->frame());

  // Two channels of one route each get every event; a foreign topic reaches none.
  publish("event:/KivraServices/Other/v1_0/x", "<Event><Type>Other</Type></Event>");
  publish(std::string(kEventTopic) + "y", "<Event><Type>Second</Type></Event>");
  EXPECT_EQ("<Event><Type>Second</Type></Event>", xml->frame());
  EXPECT_EQ("<Event><Type>Second</Type></Event>", unset->frame());
}

TEST_F(ChannelTest, TopicsFollowTheUri) {
  std::string topic;
  bool reliable = false;
  HCServiceProxyWebSocketListenerFactory::channelKind("/1.0/Events/all.ws", topic, reliable);
  EXPECT_EQ(std::string(kEventTopic) + "*", topic);
  EXPECT_TRUE(reliable);
  HCServiceProxyWebSocketListenerFactory::channelKind("/x/1.0/Events/inAppPurchase.ws/y.ws", topic, reliable);
  EXPECT_EQ(std::string(kEventTopic) + "inAppPurchase/*", topic);
  EXPECT_TRUE(reliable);
  HCServiceProxyWebSocketListenerFactory::channelKind("/1.0/Events/featureAccess.ws", topic, reliable);
  EXPECT_EQ(std::string(kEventTopic) + "featureAccess/*", topic);
  HCServiceProxyWebSocketListenerFactory::channelKind("/1.0/Events/watcher.ws", topic, reliable);
  EXPECT_EQ(std::string(kEventTopic) + "*", topic);
  EXPECT_FALSE(reliable);
  EXPECT_EQ("1.0/Events/all", WebSocketManager::routeOf("/1.0/Events/all.ws"));
  EXPECT_EQ("x/1.0/Events/inAppPurchase", WebSocketManager::routeOf("/x/1.0/Events/inAppPurchase.ws/y.ws"));
}

TEST_F(ChannelTest, PendingReliableEventsAllReachTheOpeningChannelOldestFirst) {
  bindPluginRoutes();
  while (!reliable.takePending("inAppPurchase").empty()) {
  }
  for (const char* text : {"a", "b", "c"}) publish(std::string(kReliableTopic) + "inAppPurchase/42", text);
  ASSERT_TRUE(eventually([&] { return reliable.pendingCount("inAppPurchase") == 3; }));

  // Once dropped all but the oldest.
  auto channel = openChannel("/1.0/Events/inAppPurchase.ws");
  for (const char* text : {"a", "b", "c"}) EXPECT_EQ(text, channel->frame());
  EXPECT_TRUE(eventually([&] { return reliable.registeredCount("inAppPurchase") == 1; }));
  EXPECT_EQ(0u, reliable.pendingCount("inAppPurchase"));
  // While registered, a reliable event is written at once.
  publish(std::string(kReliableTopic) + "inAppPurchase/43", "d");
  EXPECT_EQ("d", channel->frame());
  EXPECT_TRUE(eventually([&] { return reliable.pendingCount("inAppPurchase") == 0; }));
}

TEST_F(ChannelTest, ReliableEventsGoToOneChannelOfTheNameAndMoveOnWhenItCloses) {
  bindPluginRoutes();
  while (!reliable.takePending("inAppPurchase").empty()) {
  }
  auto first = openChannel("/1.0/Events/inAppPurchase.ws");
  auto second = openChannel("/1.0/Events/inAppPurchase.ws");
  ASSERT_TRUE(eventually([&] { return reliable.registeredCount("inAppPurchase") == 2; }));

  publish(std::string(kReliableTopic) + "inAppPurchase", "r1");
  const int got = DraftBrowser::firstReadable(*first, *second);
  ASSERT_NE(-1, got);
  DraftBrowser& gone = got == 0 ? *first : *second;
  DraftBrowser& stays = got == 0 ? *second : *first;
  EXPECT_EQ("r1", gone.frame());
  publish(std::string(kEventTopic) + "inAppPurchase/x", "marker");
  EXPECT_EQ("marker", stays.frame());
  EXPECT_EQ("marker", gone.frame());

  // The channel that got it goes away; it is noticed at its next send.
  gone.closeNow();
  publish(std::string(kEventTopic) + "inAppPurchase/x", "probe");
  EXPECT_EQ("probe", stays.frame());
  ASSERT_TRUE(eventually([&] { return reliable.registeredCount("inAppPurchase") == 1; }));
  publish(std::string(kReliableTopic) + "inAppPurchase", "r2");
  EXPECT_EQ("r2", stays.frame());
  EXPECT_EQ(0u, reliable.pendingCount("inAppPurchase"));
}

TEST_F(ChannelTest, WatcherNeverTakesPartInReliableDelivery) {
  bindPluginRoutes(std::chrono::milliseconds(20));
  while (!reliable.takePending("watcher").empty()) {
  }
  auto watcher = openChannel("/1.0/Events/watcher.ws");
  publish(std::string(kReliableTopic) + "watcher", "reliable");
  ASSERT_TRUE(eventually([&] { return reliable.pendingCount("watcher") == 1; }));
  EXPECT_EQ(0u, reliable.registeredCount("watcher"));
  // It sees the ordinary events, and no control event although "all" keeps alive.
  publish(std::string(kEventTopic) + "x", "ordinary");
  EXPECT_EQ("ordinary", watcher->frame());
  auto all = openChannel("/1.0/Events/all.ws");
  EXPECT_EQ("<Event><Type>Control</Type></Event>", all->frame());
  EXPECT_EQ("<Event><Type>Control</Type></Event>", all->frame());
  publish(std::string(kEventTopic) + "x", "after");
  EXPECT_EQ("after", watcher->frame());
  reliable.takePending("watcher");
}

TEST_F(ChannelTest, KeepAliveSendsTheControlEventInTheChannelsFormat) {
  useFormat(1);
  bindPluginRoutes(std::chrono::milliseconds(20));
  auto channel = openChannel("/1.0/Events/all.ws");
  EXPECT_EQ("{\"event\":{\"type\":\"Control\"}}", channel->frame());
  EXPECT_EQ("{\"event\":{\"type\":\"Control\"}}", channel->frame());
  // The product's interval.
  EXPECT_EQ(std::chrono::milliseconds(10000), HCServiceProxyWebSocketListenerFactory::kKeepAliveInterval);
}

TEST_F(ChannelTest, BrowserThatClosesRightAfterTheHandshake) {
  LogCapture log;
  auto factory = std::make_shared<RecordingFactory>();
  manager.addRoute("1.0/Events/all", factory);
  DraftBrowser browser(port, "/1.0/Events/all.ws");
  browser.open(true);
  EXPECT_EQ(0u, browser.handshake(16).find("HTTP/1.1 101 Web Socket Protocol Handshake\r\n"));
  EXPECT_TRUE(browser.serverClosed());
  ASSERT_TRUE(eventually([&] { return manager.openChannels() == 0; }));
  EXPECT_EQ(std::vector<std::string>{"abort"}, factory->made(0)->events());
  std::vector<std::string> records = log.records();
  EXPECT_NE(records.end(),
            std::find(records.begin(), records.end(), "WARNING Closing connection due to channel communication issues."));
}

TEST_F(ChannelTest, CloseAllEndsEveryChannelAndFreesItsWorker) {
  workers = 2;
  TearDown();
  SetUp();
  const int before = threadCount();
  bindPluginRoutes(std::chrono::milliseconds(20));
  auto keepAlive = openChannel("/1.0/Events/all.ws");
  auto plain = openChannel("/1.0/Events/featureAccess.ws");
  EXPECT_EQ("<Event><Type>Control</Type></Event>", keepAlive->frame());
  ASSERT_TRUE(eventually([&] { return manager.openChannels() == 2; }));
  EXPECT_TRUE(eventually([&] { return threadCount() == before + 3; }));  // a thread per channel and the keep-alive thread

  manager.closeAll();
  EXPECT_TRUE(keepAlive->serverClosed());
  EXPECT_TRUE(plain->serverClosed());
  EXPECT_TRUE(eventually([&] { return threadCount() == before; }));
  EXPECT_EQ(0u, manager.openChannels());
  // Both workers serve again; they were never held.
  auto again = openChannel("/1.0/Events/featureAccess.ws");
  auto andAgain = openChannel("/1.0/Events/featureAccess.ws");
  publish(std::string(kEventTopic) + "featureAccess/1", "again");
  EXPECT_EQ("again", again->frame());
  EXPECT_EQ("again", andAgain->frame());
}

TEST_F(ChannelTest, AKeepAliveThreadWaitingForItsNextEventEndsAtOnceWithItsChannel) {
  const int before = threadCount();
  // The product's interval: each stop below comes long before a control event.
  bindPluginRoutes(HCServiceProxyWebSocketListenerFactory::kKeepAliveInterval);
  for (bool browserLeaves : {true, false}) {
    SCOPED_TRACE(browserLeaves ? "the browser goes away" : "the server closes every channel");
    auto channel = openChannel("/1.0/Events/all.ws");
    ASSERT_TRUE(eventually([&] { return manager.openChannels() == 1; }));
    ASSERT_TRUE(eventually([&] { return threadCount() == before + 2; }));  // the channel's and the keep-alive thread
    const auto start = std::chrono::steady_clock::now();
    if (browserLeaves) {
      channel->closeNow();
    } else {
      manager.closeAll();
      EXPECT_TRUE(channel->serverClosed());
    }
    EXPECT_TRUE(eventually([&] { return threadCount() == before && manager.openChannels() == 0; }));
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
  }
}

TEST_F(ChannelTest, ServerStopClosesTheChannelsOfItsReceivers) {
  bindPluginRoutes();
  auto channel = openChannel("/1.0/Events/all.ws");
  ASSERT_TRUE(eventually([&] { return manager.openChannels() == 1; }));
  server.stop();
  EXPECT_TRUE(channel->serverClosed());
  EXPECT_EQ(0u, manager.openChannels());
}

TEST_F(ChannelTest, ChannelOpenedAfterCloseAllEndsWithTheServer) {
  bindPluginRoutes();
  manager.closeAll();
  auto late = openChannel("/1.0/Events/featureAccess.ws");
  ASSERT_TRUE(eventually([&] { return manager.openChannels() == 1; }));
  // Not in the list closeAll saw: the server's stop ends it.
  server.stop();
  EXPECT_TRUE(late->serverClosed());
  EXPECT_EQ(0u, manager.openChannels());
}

TEST_F(ChannelTest, PostAndWaitOnAnEndedChannelReturnsFalseAtOnce) {
  auto factory = std::make_shared<RecordingFactory>();
  manager.addRoute("1.0/Events/all", factory);
  auto channel = openChannel("/1.0/Events/all.ws");
  ASSERT_TRUE(eventually([&] { return factory->made(0) && !factory->made(0)->events().empty(); }));
  EventChannelPtr sender = factory->made(0)->getSender();
  ASSERT_TRUE(sender);
  EXPECT_TRUE(sender->postAndWait("written"));
  EXPECT_EQ("written", channel->frame());
  // An empty text is not framed, and counts as written.
  EXPECT_TRUE(sender->postAndWait(""));

  // Queued behind the stop: the channel ends before it takes it.
  sender->stop();
  EXPECT_FALSE(sender->postAndWait("never"));
  EXPECT_TRUE(sender->ended());
  EXPECT_FALSE(sender->postAndWait("after"));
  EXPECT_TRUE(channel->serverClosed());
  EXPECT_TRUE(eventually([&] { return factory->made(0)->events().size() == 2; }));
  EXPECT_EQ((std::vector<std::string>{"open", "close"}), factory->made(0)->events());
}

TEST_F(ChannelTest, AnEventLargerThanTheSocketBufferGoesOutWhole) {
  auto factory = std::make_shared<RecordingFactory>();
  manager.addRoute("1.0/Events/all", factory);
  auto channel = openChannel("/1.0/Events/all.ws");
  ASSERT_TRUE(eventually([&] { return factory->made(0) && !factory->made(0)->events().empty(); }));
  // Far more than a non-blocking write takes at once: the rest must follow.
  const std::string large(3 << 20, 'x');
  factory->made(0)->getSender()->post(large);
  factory->made(0)->getSender()->post("next");
  EXPECT_TRUE(channel->frame(std::chrono::seconds(20)) == large);
  EXPECT_EQ("next", channel->frame());
}

TEST_F(ChannelTest, AChannelThatStopsReadingIsClosedAndItsReliableEventWaitsForTheNext) {
  manager.setChannelLimits(Channel::Limits{std::chrono::milliseconds(1000), 4 << 20});
  bindPluginRoutes();
  while (!reliable.takePending("inAppPurchase").empty()) {
  }
  auto stalled = openChannel("/1.0/Events/inAppPurchase.ws");  // never reads again
  auto other = openChannel("/1.0/Events/all.ws");
  ASSERT_TRUE(eventually([&] { return reliable.registeredCount("inAppPurchase") == 1; }));

  // Far more than the socket buffers of both ends hold.
  const std::string large(24 << 20, 'r');
  publish(std::string(kReliableTopic) + "inAppPurchase/1", large);
  // The other channel and the reliable events' store go on meanwhile.
  publish(std::string(kEventTopic) + "x", "still served");
  EXPECT_EQ("still served", other->frame());
  const auto asked = std::chrono::steady_clock::now();
  EXPECT_EQ(0u, reliable.pendingCount("inAppPurchase"));
  EXPECT_EQ("", reliable.takePending("all"));
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(500));

  // No byte taken for the stall limit: the channel ends, the event waits.
  ASSERT_TRUE(eventually([&] { return manager.openChannels() == 1; }, std::chrono::seconds(10)));
  EXPECT_EQ(0u, reliable.registeredCount("inAppPurchase"));
  EXPECT_EQ(1u, reliable.pendingCount("inAppPurchase"));
  auto next = openChannel("/1.0/Events/inAppPurchase.ws");
  EXPECT_TRUE(next->frame(std::chrono::seconds(20)) == large);
  EXPECT_TRUE(eventually([&] { return reliable.pendingCount("inAppPurchase") == 0; }));
}

TEST_F(ChannelTest, ReliableEventsPastTheBacklogBoundStillReachTheNextChannelOneByOne) {
  // Once recursed without end: the batch overflowed the channel's queue, and
  // each refused event was handed to the same channel again.
  bindPluginRoutes();
  while (!reliable.takePending("inAppPurchase").empty()) {
  }
  std::vector<std::string> events;
  for (char c : std::string("abcde")) events.push_back(std::string(1536 << 10, c));
  for (const std::string& event : events) publish(std::string(kReliableTopic) + "inAppPurchase/1", event);
  ASSERT_TRUE(eventually([&] { return reliable.pendingCount("inAppPurchase") == events.size(); }));
  auto channel = openChannel("/1.0/Events/inAppPurchase.ws");
  for (const std::string& event : events) EXPECT_TRUE(channel->frame(std::chrono::seconds(20)) == event);
  EXPECT_TRUE(eventually([&] { return reliable.pendingCount("inAppPurchase") == 0; }));
  EXPECT_EQ("<none>", channel->frame(std::chrono::milliseconds(200)));
}

TEST_F(ChannelTest, AChannelFarBehindIsClosedWithoutWaitingForTheStall) {
  manager.setChannelLimits(Channel::Limits{std::chrono::minutes(1), 256 << 10});
  bindPluginRoutes();
  auto behind = openChannel("/1.0/Events/featureAccess.ws");  // never reads again
  auto reading = openChannel("/1.0/Events/inAppPurchase.ws");
  ASSERT_TRUE(eventually([&] { return manager.openChannels() == 2; }));
  const std::string event(1 << 20, 'e');
  // The socket buffers take a few of them; the rest would pile up.
  for (int i = 0; i < 40; ++i) publish(std::string(kEventTopic) + "featureAccess/" + std::to_string(i), event);
  EXPECT_TRUE(eventually([&] { return manager.openChannels() == 1; }, std::chrono::seconds(10)));
  publish(std::string(kEventTopic) + "inAppPurchase/1", "after");
  EXPECT_EQ("after", reading->frame());
}

TEST_F(ChannelTest, TwoHundredOpenChannelsHoldNoWorker) {
  bindPluginRoutes();
  std::vector<std::unique_ptr<DraftBrowser>> tabs;
  for (int i = 0; i < 200; ++i) tabs.push_back(openChannel("/1.0/Events/watcher.ws"));
  ASSERT_TRUE(eventually([&] { return manager.openChannels() == 200; }));
  // Four workers, all free: a page is answered at once.
  const auto asked = std::chrono::steady_clock::now();
  EXPECT_EQ(0u, httpExchange(port, "GET / HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n").find("HTTP/1.1 404 Not Found\r\n"));
  EXPECT_LT(std::chrono::steady_clock::now() - asked, std::chrono::seconds(1));
  publish(std::string(kEventTopic) + "x", "to all");
  for (auto& tab : tabs) EXPECT_EQ("to all", tab->frame());
}

TEST_F(ChannelTest, HandshakesArrivingTogetherNeverPassTheBoundOfChannels) {
  bindPluginRoutes();
  const size_t bound = WebSocketManager::kMaxChannels;
  std::vector<std::unique_ptr<DraftBrowser>> tabs;
  for (size_t i = 0; i + 6 < bound; ++i) tabs.push_back(openChannel("/1.0/Events/watcher.ws"));
  // Four workers answer the last handshakes at once, and more come than fit.
  std::mutex lock;
  size_t opened = 0, busy = 0;
  std::vector<std::thread> tabsAtOnce;
  std::vector<std::unique_ptr<DraftBrowser>> late(24);
  for (size_t t = 0; t < 4; ++t)
    tabsAtOnce.emplace_back([&, t] {
      for (size_t i = t; i < late.size(); i += 4) {
        late[i] = std::make_unique<DraftBrowser>(port, "/1.0/Events/watcher.ws");
        late[i]->open();
        const std::string head = late[i]->handshake(16);
        std::lock_guard<std::mutex> guard(lock);
        if (head.find("HTTP/1.1 101 ") == 0) ++opened;
        if (head.find("HTTP/1.1 503 Service Unavailable\r\n") == 0) ++busy;
      }
    });
  for (auto& thread : tabsAtOnce) thread.join();
  EXPECT_EQ(6u, opened);
  EXPECT_EQ(late.size() - 6, busy);
  EXPECT_TRUE(eventually([&] { return manager.openChannels() == bound; }));
}

// A channel whose listener is registered but whose channel has ended, as
// between its end and its unregistering.
class EndedChannel : public EventChannel {
 public:
  void post(const std::string&, Written written) override {
    if (written) written(false);
  }
  bool postAndWait(const std::string&) override { return false; }
  void stop() override {}
  bool ended() const override { return true; }
};

TEST_F(ChannelTest, ReliableDeliveryToAnEndedChannelStaysPending) {
  while (!reliable.takePending("ended").empty()) {
  }
  auto listener = std::make_shared<WebSocketListener>("ended", &reliable);
  listener->setSender(std::make_shared<EndedChannel>());
  listener->onOpen("");
  ASSERT_EQ(1u, reliable.registeredCount("ended"));

  reliable.dispatch("ended", Event("kept", "T"));
  reliable.dispatch("ended", Event("kept too", "T"));
  EXPECT_EQ(2u, reliable.pendingCount("ended"));
  listener->onClose();
  EXPECT_EQ(0u, reliable.registeredCount("ended"));
  EXPECT_EQ("kept", reliable.takePending("ended"));
  EXPECT_EQ("kept too", reliable.takePending("ended"));
  EXPECT_EQ("", reliable.takePending("ended"));
}

}  // namespace
