// A business-logic plug-in that never answers a service call: it answers the
// start-up messages ("1.0/Internal/...") unless "SilentBizl/AnswerStartup" is
// "false", and nothing else. For tests of a host whose business logic hangs.

#include <atomic>
#include <cstdio>
#include <memory>
#include <new>
#include <string>

#include "tessaro/ConfigurationManager.h"
#include "tessaro/IComponent.h"
#include "tessaro/MessageDispatcher.h"
#include "tessaro/PluginInterface.h"
#include "tessaro/XMLPayload.h"

namespace {

const char kTopic[] = "target:/KivraBusinessLogic/*";

class SilentBusinessLogic : public IComponent, public IMessageSink {
 public:
  void initialize() override {
    std::string value;
    const ConfigurationManager* configuration = ConfigurationManager::getDefaultInstance(ConfigScopeComponent);
    answerStartup_ = !(configuration && configuration->getValue("SilentBizl/AnswerStartup", value) == 0 &&
                       value == "false");
  }
  void shutdown() override { stop(); }
  void start() override { MessageDispatcher::getInstance()->subscribe(this, kTopic); }
  void stop() override { MessageDispatcher::getInstance()->unsubscribe(this, kTopic); }

  void onMessage(uint64_t, const LocalMessagePtr& request) override {
    if (!request) return;
    // Tests wait for this line to know that a call is waiting.
    std::fprintf(stderr, "silentbizl: request %s\n", request->getMessageType().c_str());
    if (!answerStartup_ || request->getTargetTopic().find("/1.0/Internal/") == std::string::npos) return;
    CommonMessageProperties properties;
    properties.setTargetTopic(request->getReplyTopic());
    properties.setMessageType("SUCCESS");
    auto reply = std::make_shared<LocalMessage>(properties);
    reply->setPayload(std::make_shared<XMLPayload>("<Response/>"));
    MessageDispatcher::getInstance()->post(reply);
  }

 private:
  std::atomic<bool> answerStartup_{true};
};

void* create(void*) { return static_cast<IComponent*>(new (std::nothrow) SilentBusinessLogic()); }
int32_t destroy(void* object) {
  delete static_cast<IComponent*>(object);
  return 0;
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int32_t ExitFunc() { return 0; }

__attribute__((visibility("default"))) PF_ExitFunc PF_initPlugin(const PF_PlatformServices* services) {
  if (!services || !services->registerObject) return nullptr;
  PF_RegisterParams params{};
  params.version.major = 1;
  params.createFunc = create;
  params.destroyFunc = destroy;
  params.programmingLanguage = PF_LANG_CPP;
  return services->registerObject("silentbizl", &params) >= 0 ? ExitFunc : nullptr;
}

}  // extern "C"
