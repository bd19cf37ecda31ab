#pragma once

// Shared by the UX update tests: packages built with the `zip` command (and,
// for names that command will not store, with minizip's writer), manifests, an
// agent that answers the device-type and version queries on the real
// dispatcher, and a reliable-event source of the test's own.

#include <minizip/zip.h>

#include <condition_variable>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "ostrel/updates/ReliableEventSource.h"
#include "support/Eventually.h"
#include "support/Subprocess.h"
#include "tessaro/MessageDispatcher.h"
#include "tessaro/XMLPayload.h"

namespace uxtest {

// Zips everything below `folder` (paths relative to it) into `archive` with
// Debian's zip; the exit status.
inline int zipFolder(const std::string& folder, const std::string& archive) {
  Subprocess zip({"/bin/sh", "-c", "cd \"$1\" && exec zip -q -r \"$2\" .", "sh", folder, archive});
  return zip.wait();
}

// Zips the named paths, as given, from `folder`; the exit status.
inline int zipPaths(const std::string& folder, const std::string& archive, const std::vector<std::string>& paths) {
  std::vector<std::string> argv = {"/bin/sh", "-c", "cd \"$1\" && shift 2 && exec zip -q \"$0\" \"$@\"", archive,
                                   folder, "unused"};
  argv.insert(argv.end(), paths.begin(), paths.end());
  Subprocess zip(argv);
  return zip.wait();
}

// An archive holding exactly these entries, names stored as given.
inline bool writeRawZip(const std::string& archive, const std::vector<std::pair<std::string, std::string>>& entries) {
  zipFile zip = zipOpen64(archive.c_str(), APPEND_STATUS_CREATE);
  if (!zip) return false;
  bool ok = true;
  for (const auto& entry : entries) {
    zip_fileinfo info{};
    ok = ok && zipOpenNewFileInZip64(zip, entry.first.c_str(), &info, nullptr, 0, nullptr, 0, nullptr, Z_DEFLATED,
                                     Z_DEFAULT_COMPRESSION, 0) == ZIP_OK;
    ok = ok && zipWriteInFileInZip(zip, entry.second.data(), unsigned(entry.second.size())) == ZIP_OK;
    ok = ok && zipCloseFileInZip(zip) == ZIP_OK;
  }
  return zipClose(zip, nullptr) == ZIP_OK && ok;
}

struct PackageFields {
  std::string id = "store";
  std::string version = "1.1.0";
  std::string hcVersion = "2.1.0";
  int osType = 1;
  int deviceType = 4;
  int storeId = 7;
  int affiliateId = 3;
};

// "UXUpdateManifest.xml", indented as people write it; `omit` leaves an element out.
inline std::string packageManifest(const PackageFields& p, const std::string& omit = "") {
  std::vector<std::pair<std::string, std::string>> elements = {
      {"Id", p.id},
      {"Version", p.version},
      {"HCVersion", p.hcVersion},
      {"OSType", std::to_string(p.osType)},
      {"DeviceType", std::to_string(p.deviceType)},
      {"StoreId", std::to_string(p.storeId)},
      {"AffiliateId", std::to_string(p.affiliateId)}};
  std::string text = "<?xml version=\"1.0\"?>\n<KivraUXUpdatePackage>\n";
  for (const auto& element : elements)
    if (element.first != omit) text += "  <" + element.first + ">" + element.second + "</" + element.first + ">\n";
  return text + "</KivraUXUpdatePackage>\n";
}

// A UI folder's "UXManifest.xml".
inline std::string uiManifest(const std::string& type, const std::string& version, int storeId, int affiliateId,
                              int outputFormat = 0) {
  return "<KivraUIDescriptor>\n  <UIType>" + type + "</UIType>\n  <Version>" + version +
         "</Version>\n  <OutputFormat>" + std::to_string(outputFormat) + "</OutputFormat>\n  <StoreID>" +
         std::to_string(storeId) + "</StoreID>\n  <AffiliateID>" + std::to_string(affiliateId) +
         "</AffiliateID>\n  <SupportedLocaleCodes/>\n  <SupportedFeatures/>\n</KivraUIDescriptor>\n";
}

// Answers the agent queries of the update manager like the business logic.
class Agent : public IMessageSink {
 public:
  static constexpr const char* kTopic = "target:/KivraBusinessLogic/1.0/Agent/*";

  Agent() { MessageDispatcher::getInstance()->subscribe(this, kTopic); }
  ~Agent() override {
    release();
    MessageDispatcher::getInstance()->unsubscribe(this, kTopic);
  }

  struct Request {
    std::string target, type, document;
  };

  void onMessage(uint64_t, const LocalMessagePtr& request) override {
    std::string reply, type;
    std::function<void(const std::string&)> hook;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      auto payload = std::dynamic_pointer_cast<XMLPayload>(request->getPayload());
      requests_.push_back({request->getTargetTopic(), request->getMessageType(), payload ? payload->getXML() : ""});
      changed_.notify_all();
      changed_.wait(lock, [this] { return !holding_; });
      type = replyType_;
      reply = request->getMessageType() == "getDeviceType" ? deviceReply_ : versionReply_;
      hook = std::move(onQuery_);
      onQuery_ = nullptr;
    }
    // The queries come while the manager validates a package: after it read
    // the manifest, before it unpacks.
    if (hook) hook(request->getMessageType());
    if (type.empty()) return;
    CommonMessageProperties properties;
    properties.setTargetTopic(request->getReplyTopic());
    properties.setMessageType(type);
    auto message = std::make_shared<LocalMessage>(properties);
    message->setPayload(std::make_shared<XMLPayload>(reply));
    MessageDispatcher::getInstance()->post(message);
  }

  void answer(const std::string& deviceReply, const std::string& versionReply, const std::string& type = "SUCCESS") {
    std::lock_guard<std::mutex> lock(mutex_);
    deviceReply_ = deviceReply;
    versionReply_ = versionReply;
    replyType_ = type;
  }
  // XML replies as the business logic writes them.
  void answerXml(int deviceType, const std::string& version) {
    answer("<Response><DeviceType>" + std::to_string(deviceType) + "</DeviceType></Response>",
           "<Response><Version>" + version + "</Version></Response>");
  }
  void answerJson(int deviceType, const std::string& version) {
    answer("{\"response\":{\"deviceType\":" + std::to_string(deviceType) + "}}",
           "{\"response\":{\"version\":\"" + version + "\"}}");
  }

  // Runs once, with the query's type, on the next query before it is answered.
  void onNextQuery(std::function<void(const std::string&)> hook) {
    std::lock_guard<std::mutex> lock(mutex_);
    onQuery_ = std::move(hook);
  }

  // Queries wait unanswered until release().
  void hold() {
    std::lock_guard<std::mutex> lock(mutex_);
    holding_ = true;
  }
  void release() {
    std::lock_guard<std::mutex> lock(mutex_);
    holding_ = false;
    changed_.notify_all();
  }
  // True once `count` queries have arrived (bounded wait).
  bool waitForRequests(size_t count) {
    std::unique_lock<std::mutex> lock(mutex_);
    return changed_.wait_for(lock, std::chrono::seconds(10), [&] { return requests_.size() >= count; });
  }
  std::vector<Request> requests() {
    std::lock_guard<std::mutex> lock(mutex_);
    return requests_;
  }

 private:
  std::mutex mutex_;  // guards everything below
  std::condition_variable changed_;
  std::vector<Request> requests_;
  std::string deviceReply_, versionReply_, replyType_ = "SUCCESS";
  std::function<void(const std::string&)> onQuery_;
  bool holding_ = false;
};

// Pending events of the test's choosing.
class FakeEvents : public ReliableEventSource {
 public:
  explicit FakeEvents(int format = 0) : format_(format) {}
  int eventsFormat() const override { return format_; }
  std::string takePending(const std::string& name) override {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = pending_.find(name);
    if (it == pending_.end()) return "";
    std::string oldest = it->second.front();
    pending_.erase(it);
    return oldest;
  }
  void add(const std::string& name, const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    pending_[name].push_back(text);
  }

 private:
  const int format_;
  std::mutex mutex_;  // guards pending_
  std::map<std::string, std::vector<std::string>> pending_;
};

}  // namespace uxtest
