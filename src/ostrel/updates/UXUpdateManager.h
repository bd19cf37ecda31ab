#pragma once

// The one object that changes the installed HTML user interface: it checks a
// package against the running client and the installed UI, unpacks it into the
// update directory beside the HTML root and activates it, keeping a recovery
// copy that it can restore. Updates run on a thread of their own, one at a
// time; activation and restore share the same busy flag.

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/HandlerHelper/WaitStop.h"
#include "ostrel/updates/KivraUXUpdatePackage.h"
#include "ostrel/updates/ReliableEventSource.h"
#include "ostrel/updates/update_msg.h"
#include "ostrel/services/KivraUIDescriptor.h"
#include "ostrel/services/UIContexts.h"
#include "ostrel/services/UpdateService.h"

class UXUpdateManager : public UpdateService {
 public:
  static constexpr const char* kAgentTarget = "target:/KivraBusinessLogic/1.0/Agent/";

  // The manager of `htmlRoot`; the update and recovery directories are its
  // siblings "<name>_update" and "<name>_recovery". An empty root leaves every
  // directory empty and every operation failing. The installed UI is the
  // default UI type's context in `contexts` (none: no installed UI). Packages
  // that pass `limits` are refused like unreadable ones.
  explicit UXUpdateManager(const std::string& htmlRoot, UIContexts* contexts = nullptr,
                           const UXPackageLimits& limits = {});
  // Stops a running update's wait for the business logic (the update ends as
  // not loaded) and joins it.
  ~UXUpdateManager() override;
  UXUpdateManager(const UXUpdateManager&) = delete;
  UXUpdateManager& operator=(const UXUpdateManager&) = delete;

  // 0 when an update thread was started, -103 when one is running.
  int startUpdate(const std::string& path, bool activate, UpdateCallback callback);
  // UpdateService: the same, its progress reported nowhere.
  int startUpdate(const std::string& path, bool activate) override;
  // The callback of the updates the services and the delivery handler start:
  // progress is not reported anywhere; an empty message is logged.
  static void updateCallback(const UpdateMsgPtr& message);
  // The update itself, on the calling thread; -103 when one is running.
  int runUpdate(const std::string& path, bool activate, const UpdateCallback& callback);
  // The checks of package() against the client and the installed UI: its Id
  // must be a safe UI type, then the eight checks in their order, then no
  // entry may be a web server control file.
  bool validatePackage();
  // 0, -105 when it failed or was refused, -103 while an update runs. The
  // update and recovery folders must be this user's and closed to others (a
  // missing recovery folder is made so); the staged UI is checked like a
  // package's content.
  int activateUpdate() override;
  // 0 (also when there is nothing to restore), -106 when the UX directory could
  // not be rebuilt or the recovery folder is refused (another user's, or open
  // to others; the recovery copy is kept then), -103 while an update runs.
  int restoreRecovery() override;
  // The installed UI's version; empty when there is no descriptor.
  std::string getUxVersion() override;
  // Whether an activation succeeded since the last call.
  bool wasUpdated() override;
  // -1, 0 or 1 as `a` is older than, equal to or newer than `b`.
  static int compareVersions(const std::string& a, const std::string& b);
  // The components of a version: none unless it begins with a digit (0-9),
  // else its text split at every ".".
  static std::vector<std::string> versionComponents(const std::string& version);

  // What the business logic's JSON replies hold: the device type is the first
  // run of decimal digits, which must be a number of ASCII digits that an int
  // holds; the client version the first three runs of digits joined by dots.
  // Digits are those of Unicode's basic plane; the text is read as UTF-8.
  static bool deviceTypeInText(const std::string& reply, int32_t& deviceType);
  static bool clientVersionInText(const std::string& reply, std::string& version);

  // Asked of the business logic; false (logged) when no value came back.
  bool queryDeviceType(int32_t& deviceType);
  bool queryClientVersion(std::string& version);

  void setReliableEvents(const ReliableEventSourcePtr& events);
  ReliableEventSourcePtr reliableEvents() const;

  bool busy() const;
  // Joins the last update thread (returns at once when there is none).
  void waitForUpdate();

  KivraUXUpdatePackage& package() { return package_; }
  const std::string& uxDirectory() const { return uxDirectory_; }
  const std::string& updateDirectory() const { return updateDirectory_; }
  const std::string& recoveryDirectory() const { return recoveryDirectory_; }

  // How long each query waits for the business logic, in seconds.
  std::atomic<int> queryTimeoutSeconds{60};

 private:
  class BusyGuard;

  bool tryEnter();
  void leave();
  // These run while the caller holds the busy flag.
  int execute(const std::string& path, bool activate, const UpdateCallback& callback);
  int stage(const std::string& path, const UpdateCallback& callback);
  int activate();
  int restore();

  // Throws HCI::WaitStopped when the manager is being destroyed.
  bool queryAgent(const std::string& operation, std::string& reply);
  std::shared_ptr<KivraUIDescriptor> installedDescriptor(const std::string& fallbackType) const;
  std::string defaultUIType() const { return contexts_ ? contexts_->defaultUIType() : std::string(); }
  void reloadInstalledDescriptor();
  static void report(const UpdateCallback& callback, int code, const std::string& text = "");

  mutable std::mutex mutex_;  // guards busy_ and thread_
  bool busy_ = false;
  std::thread thread_;
  // Ends the waits of the queries at destruction.
  HCI::WaitStop stop_;

  const std::string uxDirectory_;
  const std::string updateDirectory_;
  const std::string recoveryDirectory_;
  UIContexts* const contexts_;
  const UXPackageLimits limits_;
  // Where a package's private copy is made: beside the staging folder, on its file system.
  const std::string copyDirectory_;
  // Used only by the holder of the busy flag.
  KivraUXUpdatePackage package_;
  std::atomic<bool> wasUpdated_{false};

  mutable std::mutex eventsMutex_;  // guards events_
  ReliableEventSourcePtr events_;
};

using UXUpdateManagerPtr = std::shared_ptr<UXUpdateManager>;
