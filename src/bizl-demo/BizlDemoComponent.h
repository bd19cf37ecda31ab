#pragma once

#include <chrono>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "bizl-demo/RequestHandler.h"
#include "bizl-demo/ThreadedEventPublisher.h"
#include "bizl-demo/WorkerPool.h"
#include "tessaro/ComponentReport.h"
#include "tessaro/IComponent.h"
#include "tessaro/IMessageSink.h"

namespace bizl {

// The demo business logic as a host component. Between start and stop it answers
// every message on "target:/KivraBusinessLogic/<operation path>" on the message's
// reply topic and publishes the events that the requests cause. The dispatcher's
// delivery only queues a request; a pool of workers answers several at once.
class BizlDemoComponent : public IComponent, public IComponentReport, public IMessageSink {
 public:
  BizlDemoComponent() = default;
  ~BizlDemoComponent() override;
  BizlDemoComponent(const BizlDemoComponent&) = delete;
  BizlDemoComponent& operator=(const BizlDemoComponent&) = delete;

  static constexpr const char* kTopicPrefix = "target:/KivraBusinessLogic/";
  static constexpr const char* kDataRootKey = "BizlDemo/DataRoot";
  static constexpr const char* kEventIntervalKey = "BizlDemo/EventInterval";
  // The host's data folder; Ostrel saves the web links no channel took below it.
  static constexpr const char* kVarPathKey = "Directories/VarPath";
  static constexpr const char* kSavedWebLinks = "/bootstrap/ostrel_events.xml";
  // The pace of download progress events when the configuration sets none.
  static constexpr std::chrono::milliseconds kDefaultEventInterval{500};
  static constexpr long kMaxEventInterval = 60000;
  // Requests answered at once; the host has two to a few cores.
  static constexpr size_t kWorkers = 4;
  // Requests waiting for a worker; the delivery waits for room beyond that, and
  // Ostrel bounds its waiting calls well below it.
  static constexpr size_t kQueueLimit = 256;

  // IComponent
  void initialize() override;
  void shutdown() override;
  void start() override;
  void stop() override;

  bool started() const { return started_; }
  // What the last start chose.
  const std::string& dataRoot() const { return dataRoot_; }
  std::chrono::milliseconds eventInterval() const { return eventInterval_; }
  // The bundled data folder, fixed at build time.
  static std::string bundledDataRoot();

  // IComponentReport: nothing to show once running; its settings checked.
  std::string runningLine() const override;
  void checkConfiguration(ConfigurationCheck& check) const override;

  // IMessageSink
  void onMessage(uint64_t tag, const LocalMessagePtr& message) override;

 private:
  struct Settings {
    std::string dataRoot;
    std::string bootstrapFile;
    std::chrono::milliseconds eventInterval = kDefaultEventInterval;
    std::vector<std::string> warnings;  // values that are ignored
    std::vector<std::string> problems;  // what keeps the demo from answering
  };
  static Settings readSettings();

  bool started_ = false;
  std::string dataRoot_;
  std::string bootstrapFile_;
  std::chrono::milliseconds eventInterval_ = kDefaultEventInterval;
  std::shared_ptr<ThreadedEventPublisher> publisher_;
  std::mutex servingMutex_;  // guards handler_ and workers_: set by start and stop, read by deliveries
  RequestHandlerPtr handler_;
  std::shared_ptr<WorkerPool> workers_;
};

}  // namespace bizl
