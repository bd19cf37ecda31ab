// A business logic that answers every request at once with a fixed reply held
// in memory, so that a benchmark of the service road sees Ostrel's own cost
// alone. Not part of the product: built only with the benchmarks.

#include <cstdint>
#include <memory>
#include <new>
#include <string>

#include "tessaro/CommonMessageProperties.h"
#include "tessaro/IComponent.h"
#include "tessaro/IMessageSink.h"
#include "tessaro/LocalMessage.h"
#include "tessaro/MessageDispatcher.h"
#include "tessaro/PluginInterface.h"
#include "tessaro/XMLPayload.h"

namespace {

constexpr const char* kSubscription = "target:/KivraBusinessLogic/*";

// The size and shape of the demo's getBanners reply: a status and four items.
std::string cannedReply() {
  std::string reply =
      "<Response><Status><version>1.0</version><statusCode>0</statusCode>"
      "<statusMessage>Success</statusMessage></Status><Banners>";
  for (int i = 1; i <= 4; ++i) {
    const std::string n = std::to_string(i);
    reply += "<Banner><Id>banner-" + n + "</Id><Title>Banner number " + n +
             "</Title><Text>A line of text that a banner shows under its title</Text>"
             "<ApplicationId>app-100" + n + "</ApplicationId><Color>#c0564b</Color></Banner>";
  }
  return reply + "</Banners></Response>";
}

class MemoryBusinessLogic : public IComponent, public IMessageSink {
 public:
  void initialize() override {}
  void shutdown() override { stop(); }
  void start() override {
    if (started_) return;
    started_ = true;
    MessageDispatcher::getInstance()->subscribe(this, kSubscription);
  }
  void stop() override {
    if (!started_) return;
    started_ = false;
    MessageDispatcher::getInstance()->unsubscribe(this, kSubscription);
  }

  void onMessage(uint64_t, const LocalMessagePtr& message) override {
    if (!message || message->getReplyTopic().empty()) return;
    CommonMessageProperties properties;
    properties.setMessageType("SUCCESS");
    properties.setTargetTopic(message->getReplyTopic());
    properties.setMessageId(message->getProperties().getMessageId());
    auto answer = std::make_shared<LocalMessage>(properties);
    answer->setPayload(std::make_shared<XMLPayload>(reply_));
    MessageDispatcher::getInstance()->post(answer);
  }

 private:
  const std::string reply_ = cannedReply();
  bool started_ = false;
};

void* createMemoryBusinessLogic(void*) { return static_cast<IComponent*>(new (std::nothrow) MemoryBusinessLogic()); }

int32_t destroyMemoryBusinessLogic(void* object) {
  delete static_cast<IComponent*>(object);  // the host owns it until here
  return 0;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int32_t ExitFunc() { return 0; }

__attribute__((visibility("default"))) PF_ExitFunc PF_initPlugin(const PF_PlatformServices* services) {
  if (!services || !services->registerObject) return nullptr;
  PF_RegisterParams params{};
  params.version.major = 1;
  params.version.minor = 0;
  params.createFunc = createMemoryBusinessLogic;
  params.destroyFunc = destroyMemoryBusinessLogic;
  params.programmingLanguage = PF_LANG_CPP;
  return services->registerObject("kivrabizlmemory", &params) >= 0 ? ExitFunc : nullptr;
}

}  // extern "C"
