#include "bizl-demo/BizlDemoComponent.h"

#include <filesystem>

#include "bizl-demo/BizlLog.h"
#include "bizl-demo/FileReplyStore.h"
#include "bizl-demo/RequestDispatcher.h"
#include "bizl-demo/RequestJob.h"
#include "common/logging/LoggerClient.h"
#include "tessaro/ConfigurationManager.h"
#include "tessaro/MessageDispatcher.h"

#ifndef BIZL_DEMO_DATA_DIR
#error "BIZL_DEMO_DATA_DIR must name the bundled data folder"
#endif

namespace bizl {

namespace {

const std::string kSubscription = std::string(BizlDemoComponent::kTopicPrefix) + "*";

}  // namespace

BizlDemoComponent::~BizlDemoComponent() { stop(); }

std::string BizlDemoComponent::bundledDataRoot() { return BIZL_DEMO_DATA_DIR; }

void BizlDemoComponent::initialize() { LoggerClient::instance().fetchQueue(); }

void BizlDemoComponent::shutdown() {
  stop();
  BIZL_LOG(LOG_INFO) << "Shutdown";
}

// What start would take from the configuration, and what is wrong with it:
// problems that keep the demo from answering, and warnings about values that
// are ignored.
BizlDemoComponent::Settings BizlDemoComponent::readSettings() {
  const ConfigurationManager* configuration = ConfigurationManager::getDefaultInstance(ConfigScopeComponent);
  Settings settings;
  settings.dataRoot = bundledDataRoot();
  std::string value;
  if (configuration && configuration->getValue(kDataRootKey, value) == 0 && !value.empty()) settings.dataRoot = value;
  if (configuration && configuration->getValue(kEventIntervalKey, value) == 0) {
    const bool digits = !value.empty() && value.size() <= 5 && value.find_first_not_of("0123456789") == std::string::npos;
    if (digits && std::stol(value) <= kMaxEventInterval)
      settings.eventInterval = std::chrono::milliseconds(std::stol(value));
    else
      settings.warnings.push_back(std::string("Ignoring ") + kEventIntervalKey + " \"" + value + "\": expected 0 to " +
                                  std::to_string(kMaxEventInterval) + " milliseconds");
  }
  if (configuration && configuration->getValue(kVarPathKey, value) == 0 && !value.empty())
    settings.bootstrapFile = value + kSavedWebLinks;
  std::error_code error;
  if (!std::filesystem::is_directory(settings.dataRoot, error))
    settings.problems.push_back("Demo data folder not found: " + settings.dataRoot);
  return settings;
}

std::string BizlDemoComponent::runningLine() const { return ""; }

void BizlDemoComponent::checkConfiguration(ConfigurationCheck& check) const {
  for (const char* key : {kDataRootKey, kEventIntervalKey, kVarPathKey}) check.reads(ConfigScopeComponent, key);
  check.reads(ConfigScopeShared, "KivraLogger/Level");
  const Settings settings = readSettings();
  check.note(std::string("the demo's data folder: ") + settings.dataRoot);
  for (const std::string& text : settings.warnings) check.problem(text);
  for (const std::string& text : settings.problems) check.problem(text);
}

void BizlDemoComponent::start() {
  if (started_) return;
  started_ = true;
  const Settings settings = readSettings();
  for (const std::string& text : settings.warnings) BIZL_LOG(LOG_WARNING) << text;
  for (const std::string& text : settings.problems) BIZL_LOG(LOG_ERROR) << text;
  dataRoot_ = settings.dataRoot;
  bootstrapFile_ = settings.bootstrapFile;
  eventInterval_ = settings.eventInterval;
  publisher_ = std::make_shared<ThreadedEventPublisher>(eventInterval_);
  publisher_->start();
  auto workers = std::make_shared<WorkerPool>(kWorkers, kQueueLimit, "bizl-worker");
  workers->start();
  {
    std::lock_guard<std::mutex> lock(servingMutex_);
    handler_ = std::make_shared<RequestDispatcher>(std::make_shared<FileReplyStore>(dataRoot_), publisher_,
                                                   bootstrapFile_);
    workers_ = workers;
  }
  if (MessageDispatcher::getInstance()->subscribe(this, kSubscription) != 0)
    BIZL_LOG(LOG_ERROR) << "Could not subscribe to " << kSubscription;
  BIZL_LOG(LOG_INFO) << "Demo business logic started, data folder " << dataRoot_ << ", event interval "
                     << eventInterval_.count() << " ms";
}

// Requests the workers took are answered before stop returns; those still queued
// are answered CRITICAL (status 103) at once. Nothing is posted after stop.
void BizlDemoComponent::stop() {
  if (!started_) return;
  started_ = false;
  // Waits for a delivery in progress, so nothing is queued after this.
  MessageDispatcher::getInstance()->unsubscribe(this, kSubscription);
  std::shared_ptr<WorkerPool> workers;
  {
    std::lock_guard<std::mutex> lock(servingMutex_);
    workers = std::move(workers_);
    handler_.reset();
  }
  workers->stop();
  publisher_->stop();
  publisher_.reset();
}

void BizlDemoComponent::onMessage(uint64_t, const LocalMessagePtr& message) {
  if (!message) return;
  RequestHandlerPtr handler;
  std::shared_ptr<WorkerPool> workers;
  {
    std::lock_guard<std::mutex> lock(servingMutex_);
    handler = handler_;
    workers = workers_;
  }
  // Not started: the host delivers only between subscribe and unsubscribe.
  if (!workers) return;
  workers->submit(std::make_shared<RequestJob>(message, handler));
}

}  // namespace bizl
