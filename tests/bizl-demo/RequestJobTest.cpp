#include "bizl-demo/RequestJob.h"

#include <gtest/gtest.h>

#include "BizlTestSupport.h"
#include "tessaro/XMLTool.h"

using bizltest::ReceivedReply;
using bizltest::ReplyCollector;

namespace {

const std::string kReplies = "target://bizltest-job/";

// Echoes what it was asked, and counts the calls.
class EchoHandler : public bizl::RequestHandler {
 public:
  bizl::Reply handle(const std::string& operation, const std::string& document) override {
    ++calls;
    return {"SUCCESS", "<Echo>" + operation + " " + document + "</Echo>"};
  }
  int calls = 0;
};

LocalMessagePtr request(const std::string& operation, const UUId& id, ISerializablePtr payload) {
  CommonMessageProperties properties;
  properties.setTargetTopic(bizl::BizlDemoComponent::kTopicPrefix + operation);
  properties.setReplyTopic(kReplies + "one");
  properties.setMessageId(id);
  auto message = std::make_shared<LocalMessage>(properties);
  message->setPayload(std::move(payload));
  return message;
}

std::string statusCode(const ReceivedReply& reply) { return bootStrapCreate(reply.text, 0)->getValue("Status\\statusCode"); }

}  // namespace

TEST(RequestJobTest, ARunRequestIsAnsweredOnItsReplyTopicWithItsIdentifier) {
  ReplyCollector replies(kReplies);
  auto handler = std::make_shared<EchoHandler>();
  const UUId id;
  bizl::RequestJob(request("1.0/Catalog/getBanners", id, std::make_shared<XMLPayload>("<getBanners/>")), handler).run();
  std::vector<ReceivedReply> received = replies.waitFor(1);
  ASSERT_EQ(1u, received.size());
  EXPECT_EQ("one", received[0].topic);
  EXPECT_EQ(id.getValue(), received[0].messageId);
  EXPECT_EQ("SUCCESS", received[0].type);
  EXPECT_EQ("<Echo>1.0/Catalog/getBanners <getBanners/></Echo>", received[0].text);
}

TEST(RequestJobTest, ARefusedRequestIsAnsweredCriticalWithoutBeingHandled) {
  ReplyCollector replies(kReplies);
  auto handler = std::make_shared<EchoHandler>();
  const UUId id;
  bizl::RequestJob(request("1.0/Profile/login", id, std::make_shared<XMLPayload>("<login/>")), handler).refuse();
  bizl::RequestJob(request("1.0/Profile/login", UUId(), nullptr), handler).run();
  std::vector<ReceivedReply> received = replies.waitFor(2);
  ASSERT_EQ(2u, received.size());
  EXPECT_EQ(id.getValue(), received[0].messageId);
  EXPECT_EQ("CRITICAL", received[0].type);
  EXPECT_EQ("103", statusCode(received[0]));
  EXPECT_EQ("ERROR", received[1].type);  // no XMLPayload: a malformed request
  EXPECT_EQ("1", statusCode(received[1]));
  EXPECT_EQ(0, handler->calls);
}
