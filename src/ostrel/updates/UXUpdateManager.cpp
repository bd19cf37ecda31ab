#include "ostrel/updates/UXUpdateManager.h"

#include <errno.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <vector>

#include "common/HandlerHelper/HandlerHelper.h"
#include "common/logging/LogRecord.h"
#include "common/logging/LoggerClient.h"
#include "common/text/Utf8.h"
#include "ostrel/updates/UXFolders.h"
#include "ostrel/updates/UnzipExtract.h"
#include "ostrel/services/ReflectiveSerializer.h"
#include "ostrel/services/UIType.h"
#include "platform/PrivateFolder.h"
#include "tessaro/MessageDispatcher.h"
#include "tessaro/XMLPayload.h"

namespace fs = std::filesystem;

namespace {

constexpr int kJsonEvents = 2;

// Decimal digits (Unicode's Nd) of the basic plane, ten from each first one.
constexpr uint32_t kDigitZeros[] = {0x0030, 0x0660, 0x06F0, 0x07C0, 0x0966, 0x09E6, 0x0A66, 0x0AE6, 0x0B66, 0x0BE6,
                                    0x0C66, 0x0CE6, 0x0D66, 0x0DE6, 0x0E50, 0x0ED0, 0x0F20, 0x1040, 0x1090, 0x17E0,
                                    0x1810, 0x1946, 0x19D0, 0x1A80, 0x1A90, 0x1B50, 0x1BB0, 0x1C40, 0x1C50, 0xA620,
                                    0xA8D0, 0xA900, 0xA9D0, 0xA9F0, 0xAA50, 0xABF0, 0xFF10};

bool isDecimalDigit(uint32_t c) {
  for (uint32_t zero : kDigitZeros)
    if (c >= zero && c < zero + 10) return true;
  return false;
}

// The end of the run of digits that starts at `at` (`at` itself when none does).
size_t digitRunEnd(const std::string& text, size_t at) {
  while (at < text.size()) {
    size_t next = at;
    uint32_t c;
    if (!utf8::next(text, next, c) || !isDecimalDigit(c)) break;
    at = next;
  }
  return at;
}

// The start of the first run of digits at or after `at`; the text's size when none.
size_t nextDigitRun(const std::string& text, size_t at) {
  while (at < text.size() && digitRunEnd(text, at) == at) {
    uint32_t c;
    utf8::next(text, at, c);
  }
  return at;
}

fs::path pathOf(const std::string& text) { return fs::u8path(text); }

// The reply documents of the agent queries, read with the reflective reader.
struct DeviceTypeResponse : public ReflectiveRecord {
  std::string typeName() const override { return "Response"; }
  void visitFields(FieldVisitor& visitor) override { visitValue(visitor, "DeviceType", DeviceType); }
  int32_t DeviceType = 0;
};

struct VersionResponse : public ReflectiveRecord {
  std::string typeName() const override { return "Response"; }
  void visitFields(FieldVisitor& visitor) override { visitValue(visitor, "Version", Version); }
  std::string Version;
};

// An absolute root without a trailing separator or "." so that its siblings lie
// beside it and never inside it; empty when there is none.
std::string normalRoot(const std::string& root) {
  if (root.empty()) return "";
  std::error_code error;
  const fs::path base = fs::current_path(error);
  if (error) return "";
  fs::path path = pathOf(root);
  if (!path.is_absolute()) path = base / path;
  path = path.lexically_normal();
  // A trailing separator leaves an empty last name.
  while (path != path.root_path() && (path.filename().empty() || path.filename() == "."))
    path = path.parent_path();
  if (path == path.root_path() || path.filename() == "..") return "";
  return path.u8string();
}

std::string sibling(const std::string& root, const char* suffix) {
  if (root.empty()) return "";
  const fs::path path = pathOf(root);
  return (path.parent_path() / pathOf(path.filename().u8string() + suffix)).u8string();
}

// A pure decimal number without leading zeros; "0" for anything else, so that
// "3-beta" counts as 0. Kept as text: components of any length compare.
std::string componentValue(const std::vector<std::string>& components, size_t index) {
  if (index >= components.size()) return "0";
  const std::string& text = components[index];
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) return "0";
  size_t first = text.find_first_not_of('0');
  return first == std::string::npos ? "0" : text.substr(first);
}

int compareNumbers(const std::string& a, const std::string& b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  int order = a.compare(b);
  return order < 0 ? -1 : order > 0 ? 1 : 0;
}

bool sameIgnoringCase(const std::string& a, const std::string& b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c; };
           return lower(x) == lower(y);
         });
}

// The staging and recovery folders lie beside the HTML root, which may be a
// folder every user can write (/tmp): whatever another user put there would
// become the store UI. Empty when `path` is missing or only this user can
// change it; else why not, logged.
std::string existingFolderRefusal(const std::string& path) {
  struct stat info;
  if (lstat(path.c_str(), &info) != 0 && errno == ENOENT) return "";
  return privateFolderRefusal(path);
}

bool folderAccepted(const std::string& path, const std::string& refusal) {
  if (refusal.empty()) return true;
  OSTREL_LOG(LOG_ERROR) << "UX update folder refused: " << path << " " << refusal;
  return false;
}

// Why the UI staged in `folder` may not be installed, as a text for the log;
// empty when it may. A file the web server reads as its own control file
// would change how the UI is served, not what; a UI manifest that names
// another UI type than its folder would be read as the installed UI's.
std::string stagedContentRefusal(const std::string& folder) {
  std::error_code error;
  fs::recursive_directory_iterator entry(pathOf(folder), error), end;
  for (; !error && entry != end; entry.increment(error)) {
    const std::string relative = entry->path().lexically_relative(pathOf(folder)).generic_u8string();
    if (UnzipExtract::isControlFileName(relative))
      return "Package file is a web server control file, not UI content: " + relative;
  }
  if (error) return "Staged UI could not be read: " + folder + " (" + error.message() + ")";
  for (fs::directory_iterator ui(pathOf(folder), error); !error && ui != fs::directory_iterator();
       ui.increment(error)) {
    if (!ui->is_directory(error) || ui->is_symlink(error)) continue;
    const std::string uiType = ui->path().filename().u8string();
    bool hasManifest = false;
    for (fs::directory_iterator file(ui->path(), error); !error && file != fs::directory_iterator();
         file.increment(error)) {
      const std::string name = file->path().filename().u8string();
      if (!sameIgnoringCase(name, KivraUIDescriptor::kManifest)) continue;
      if (name != KivraUIDescriptor::kManifest)
        return "UX manifest stored under another name in the package: " + uiType + "/" + name + " (expected: " +
               uiType + "/" + KivraUIDescriptor::kManifest + ")";
      hasManifest = true;
    }
    if (error) break;
    if (!hasManifest) continue;
    const std::string manifest = uiType + "/" + KivraUIDescriptor::kManifest;
    if (!isSafeUIType(uiType)) return "UX manifest in a folder that is no UI type in the package: " + manifest;
    KivraUIDescriptor staged(uiType, folder);
    staged.load();
    if (staged.manifestUIType() != uiType)
      return "UIType of " + manifest + " in the package does not match. (Expected: " + uiType +
             ", Found: " + staged.manifestUIType() + ")";
  }
  if (error) return "Staged UI could not be read: " + folder + " (" + error.message() + ")";
  return "";
}

}  // namespace

// Holds the busy flag for one scope: reports made inside it happen while the
// manager is still busy, so a callback never races the next update.
class UXUpdateManager::BusyGuard {
 public:
  explicit BusyGuard(UXUpdateManager& manager) : manager_(manager) {}
  ~BusyGuard() { manager_.leave(); }

 private:
  UXUpdateManager& manager_;
};

UXUpdateManager::UXUpdateManager(const std::string& htmlRoot, UIContexts* contexts, const UXPackageLimits& limits)
    : uxDirectory_(normalRoot(htmlRoot)),
      updateDirectory_(sibling(uxDirectory_, "_update")),
      recoveryDirectory_(sibling(uxDirectory_, "_recovery")),
      contexts_(contexts),
      limits_(limits),
      copyDirectory_(pathOf(uxDirectory_).parent_path().u8string()),
      package_(limits_, copyDirectory_),
      events_(std::make_shared<NoReliableEvents>()) {}

UXUpdateManager::~UXUpdateManager() {
  // Ends the wait in progress and every later one at once.
  stop_.request();
  std::thread last;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    last = std::move(thread_);
  }
  if (last.joinable() && last.get_id() != std::this_thread::get_id()) {
    last.join();
  } else if (last.joinable()) {
    last.detach();
  }
}

void UXUpdateManager::setReliableEvents(const ReliableEventSourcePtr& events) {
  std::lock_guard<std::mutex> lock(eventsMutex_);
  events_ = events ? events : std::make_shared<NoReliableEvents>();
}

ReliableEventSourcePtr UXUpdateManager::reliableEvents() const {
  std::lock_guard<std::mutex> lock(eventsMutex_);
  return events_;
}

bool UXUpdateManager::busy() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return busy_;
}

bool UXUpdateManager::tryEnter() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (busy_) return false;
  busy_ = true;
  return true;
}

void UXUpdateManager::leave() {
  std::lock_guard<std::mutex> lock(mutex_);
  busy_ = false;
}

void UXUpdateManager::waitForUpdate() {
  std::thread last;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!thread_.joinable() || thread_.get_id() == std::this_thread::get_id()) return;
    last = std::move(thread_);
  }
  last.join();
}

int UXUpdateManager::startUpdate(const std::string& path, bool activate, UpdateCallback callback) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (busy_) return UXUpdateStatus::kBusy;
  busy_ = true;
  // The previous thread has left the busy flag and is only returning.
  if (thread_.joinable()) thread_.join();
  try {
    thread_ = std::thread([this, path, activate, callback] { execute(path, activate, callback); });
  } catch (const std::exception& error) {
    busy_ = false;
    OSTREL_LOG(LOG_ERROR) << "Could not load UX Update package " << error.what();
    return UXUpdateStatus::kNotLoaded;
  }
  return UXUpdateStatus::kSuccess;
}

int UXUpdateManager::runUpdate(const std::string& path, bool activate, const UpdateCallback& callback) {
  if (!tryEnter()) return UXUpdateStatus::kBusy;
  return execute(path, activate, callback);
}

void UXUpdateManager::report(const UpdateCallback& callback, int code, const std::string& text) {
  if (!callback) return;
  try {
    callback(std::make_shared<update_msg>(code, text));
  } catch (...) {
    // A failing callback must not end the update thread (nor the process).
  }
}

int UXUpdateManager::execute(const std::string& path, bool activateAfter, const UpdateCallback& callback) {
  BusyGuard busy(*this);
  std::error_code error;
  if (!fs::is_regular_file(pathOf(path), error)) {
    OSTREL_LOG(LOG_ERROR) << "Package could not be found. ";
    report(callback, UXUpdateStatus::kNotFound, "Package not found");
    return UXUpdateStatus::kNotFound;
  }
  const int staged = stage(path, callback);
  // The private copy is closed whatever became of the package.
  package_.releaseArchive();
  if (staged != UXUpdateStatus::kSuccess || !activateAfter) return staged;
  if (activate() != UXUpdateStatus::kSuccess) {
    report(callback, UXUpdateStatus::kNotActivated, "The update could not be activated.");
    OSTREL_LOG(LOG_ERROR) << "The update could not be activated.";
    return UXUpdateStatus::kNotActivated;
  }
  report(callback, UXUpdateStatus::kActivated);
  return UXUpdateStatus::kSuccess;
}

int UXUpdateManager::stage(const std::string& path, const UpdateCallback& callback) {
  try {
    package_ = KivraUXUpdatePackage(limits_, copyDirectory_);
    package_.readDescriptor(path);
    if (!validatePackage()) {
      OSTREL_LOG(LOG_ERROR) << "Package Validation Error. ";
      report(callback, UXUpdateStatus::kInvalid, "Invalid Package");
      return UXUpdateStatus::kInvalid;
    }
    // A package is staged alone and whole: an earlier staging goes first, and a
    // failed or refused unpacking leaves nothing that a later activation could
    // take. The folder is made anew, by us and for us only.
    if (!folderAccepted(updateDirectory_, existingFolderRefusal(updateDirectory_)))
      throw std::runtime_error("update directory refused");
    if (!UXFolders::removeAll(updateDirectory_)) throw std::runtime_error("update directory not removable");
    if (!folderAccepted(updateDirectory_, makePrivateFolder(updateDirectory_)))
      throw std::runtime_error("update directory refused");
    try {
      package_.unPackage(path, updateDirectory_);
    } catch (...) {
      UXFolders::removeAll(updateDirectory_);
      throw;
    }
  } catch (...) {
    OSTREL_LOG(LOG_ERROR) << "Could not load UX Update package ";
    report(callback, UXUpdateStatus::kNotLoaded, "Could not load UX Update package");
    return UXUpdateStatus::kNotLoaded;
  }
  // What was written is checked, not what the archive's names suggest.
  const std::string refusal = stagedContentRefusal(updateDirectory_);
  if (!refusal.empty()) {
    UXFolders::removeAll(updateDirectory_);
    OSTREL_LOG(LOG_ERROR) << refusal;
    OSTREL_LOG(LOG_ERROR) << "Package Validation Error. ";
    report(callback, UXUpdateStatus::kInvalid, "Invalid Package");
    return UXUpdateStatus::kInvalid;
  }
  report(callback, UXUpdateStatus::kUnpacked);
  return UXUpdateStatus::kSuccess;
}

bool UXUpdateManager::validatePackage() {
  const KivraUXUpdatePackage& package = package_;
  // The Id names a folder under the HTML root: one folder name, never a path.
  if (!isSafeUIType(package.Id)) {
    OSTREL_LOG(LOG_ERROR) << "Invalid UI type in the package Id: " << package.Id
                          << " (expected one folder name of letters, digits, '-', '_' and '.', not beginning with '.')";
    return false;
  }
  if (uxDirectory_.empty() || !UXFolders::isDirectory(uxDirectory_ + "/" + package.Id)) {
    OSTREL_LOG(LOG_ERROR) << "Target UX not found.";
    return false;
  }
  int32_t deviceType = 0;
  if (!queryDeviceType(deviceType) || deviceType != package.DeviceType) {
    OSTREL_LOG(LOG_ERROR) << "Device Type does not match.";
    return false;
  }
  std::string clientVersion;
  if (!queryClientVersion(clientVersion) || compareVersions(package.HCVersion, clientVersion) != 0) {
    OSTREL_LOG(LOG_ERROR) << "Invalid HC version (HCCurrent: " << clientVersion
                          << ", HCPkgVersion: " << package.HCVersion << ")";
    return false;
  }
  std::shared_ptr<KivraUIDescriptor> installed = installedDescriptor(package.Id);
  if (!installed) {
    OSTREL_LOG(LOG_ERROR) << "UX Local descriptor could not be loaded.";
    return false;
  }
  if (package.Id != installed->uiType()) {
    OSTREL_LOG(LOG_ERROR) << "UIType does not match. (Current: " << installed->uiType() << ", New: " << package.Id
                          << ")";
    return false;
  }
  if (compareVersions(package.Version, installed->version()) != 1) {
    OSTREL_LOG(LOG_ERROR) << "New UX version is lower or equal than UX actual version (Current: "
                          << installed->version() << ", New: " << package.Version << ")";
    return false;
  }
  if (package.StoreId != installed->storeId()) {
    OSTREL_LOG(LOG_ERROR) << "Store ID does not match.";
    return false;
  }
  if (package.AffiliateId != installed->affiliateId()) {
    OSTREL_LOG(LOG_ERROR) << "Affiliate ID does not match.";
    return false;
  }
  const std::string control = package.controlEntry();
  if (!control.empty()) {
    OSTREL_LOG(LOG_ERROR) << "Package file is a web server control file, not UI content: " << control;
    return false;
  }
  return true;
}

int UXUpdateManager::activateUpdate() {
  if (!tryEnter()) return UXUpdateStatus::kBusy;
  BusyGuard busy(*this);
  return activate();
}

int UXUpdateManager::activate() {
  if (!folderAccepted(updateDirectory_, existingFolderRefusal(updateDirectory_)))
    return UXUpdateStatus::kNotActivated;
  if (!UXFolders::hasEntries(updateDirectory_)) return UXUpdateStatus::kNotActivated;
  // Staged by hand or by an older release: the same rules as for a package.
  const std::string refusal = stagedContentRefusal(updateDirectory_);
  if (!refusal.empty()) {
    OSTREL_LOG(LOG_ERROR) << refusal;
    return UXUpdateStatus::kNotActivated;
  }
  if (!folderAccepted(recoveryDirectory_, makePrivateFolder(recoveryDirectory_)))
    return UXUpdateStatus::kNotActivated;
  if (!UXFolders::copyRecursive(uxDirectory_, recoveryDirectory_)) return UXUpdateStatus::kNotActivated;
  if (!UXFolders::copyRecursive(updateDirectory_, uxDirectory_)) {
    // Half a new UI is worse than the old one: put the recovery copy back.
    UXFolders::emptyDirectory(uxDirectory_);
    UXFolders::copyRecursive(recoveryDirectory_, uxDirectory_);
    return UXUpdateStatus::kNotActivated;
  }
  // The new UI is in place; a staging folder that will not go is only logged.
  if (!UXFolders::removeAll(updateDirectory_))
    OSTREL_LOG(LOG_ERROR) << "Could not remove the update directory " << updateDirectory_;
  reloadInstalledDescriptor();
  wasUpdated_ = true;
  return UXUpdateStatus::kSuccess;
}

int UXUpdateManager::restoreRecovery() {
  if (!tryEnter()) return UXUpdateStatus::kBusy;
  BusyGuard busy(*this);
  return restore();
}

int UXUpdateManager::restore() {
  // Another user's copy would become the store UI: it is left where it is.
  if (!folderAccepted(recoveryDirectory_, existingFolderRefusal(recoveryDirectory_)))
    return UXUpdateStatus::kNoUxDirectory;
  if (!UXFolders::hasEntries(recoveryDirectory_)) return UXUpdateStatus::kSuccess;
  bool whole = UXFolders::emptyDirectory(uxDirectory_);
  whole = UXFolders::copyRecursive(recoveryDirectory_, uxDirectory_) && whole;
  if (!UXFolders::isDirectory(uxDirectory_)) return UXUpdateStatus::kNoUxDirectory;
  if (whole) UXFolders::removeAll(recoveryDirectory_);
  reloadInstalledDescriptor();
  // The recovery copy stays for another try when the UI could not be rebuilt.
  return whole ? UXUpdateStatus::kSuccess : UXUpdateStatus::kNoUxDirectory;
}

std::string UXUpdateManager::getUxVersion() {
  std::shared_ptr<KivraUIDescriptor> installed = installedDescriptor(defaultUIType());
  return installed ? installed->version() : std::string();
}

bool UXUpdateManager::wasUpdated() { return wasUpdated_.exchange(false); }

int UXUpdateManager::startUpdate(const std::string& path, bool activate) {
  return startUpdate(path, activate, &UXUpdateManager::updateCallback);
}

void UXUpdateManager::updateCallback(const UpdateMsgPtr& message) {
  if (!message) OSTREL_LOG(LOG_ERROR) << "Can't Update. ";
}

// Any text that begins with a digit: numbers joined by dots, then anything.
std::vector<std::string> UXUpdateManager::versionComponents(const std::string& version) {
  std::vector<std::string> components;
  if (version.empty() || version[0] < '0' || version[0] > '9') return components;
  size_t start = 0;
  for (;;) {
    size_t end = version.find('.', start);
    components.push_back(version.substr(start, end == std::string::npos ? std::string::npos : end - start));
    if (end == std::string::npos) return components;
    start = end + 1;
  }
}

int UXUpdateManager::compareVersions(const std::string& a, const std::string& b) {
  std::vector<std::string> left = versionComponents(a);
  std::vector<std::string> right = versionComponents(b);
  if (left.empty()) left.push_back("0");
  const size_t count = std::max(left.size(), right.size());
  for (size_t i = 0; i < count; ++i) {
    int order = compareNumbers(componentValue(left, i), componentValue(right, i));
    if (order != 0) return order;
  }
  return 0;
}

std::shared_ptr<KivraUIDescriptor> UXUpdateManager::installedDescriptor(const std::string& fallbackType) const {
  if (!contexts_) return nullptr;
  UIDescriptorPtr descriptor = contexts_->get(defaultUIType());
  if (!descriptor && !fallbackType.empty()) descriptor = contexts_->factory().create(fallbackType);
  return std::dynamic_pointer_cast<KivraUIDescriptor>(descriptor);
}

void UXUpdateManager::reloadInstalledDescriptor() {
  // Descriptors are shared read-only by the request threads: a fresh one is
  // loaded and replaces the old instead of reloading it in place.
  // The UI type is the one it was installed under, never one that a manifest names.
  if (!contexts_) return;
  const std::string key = defaultUIType();
  UIDescriptorPtr current = contexts_->get(key);
  if (!current) return;
  UIDescriptorPtr fresh = contexts_->factory().create(key);
  if (!fresh) {
    fresh = std::make_shared<KivraUIDescriptor>(key, uxDirectory_);
    fresh->load();
  }
  contexts_->holder().put(key, fresh);
}

bool UXUpdateManager::queryAgent(const std::string& operation, std::string& reply) {
  auto payload = std::make_shared<XMLPayload>("<" + operation + "></" + operation + ">");
  LocalMessagePtr message = HCI::HandlerHelper::sendAndWait(kAgentTarget + operation, operation, payload,
                                                            queryTimeoutSeconds, UUId(), 0, &stop_);
  if (!message || message->getMessageType() != "SUCCESS") return false;
  auto text = std::dynamic_pointer_cast<XMLPayload>(message->getPayload());
  if (!text) return false;
  reply = text->getXML();
  return true;
}

bool UXUpdateManager::queryDeviceType(int32_t& deviceType) {
  std::string reply;
  bool found = false;
  if (queryAgent("getDeviceType", reply)) {
    if (reliableEvents()->eventsFormat() == kJsonEvents) {
      found = deviceTypeInText(reply, deviceType);
    } else {
      DeviceTypeResponse response;
      try {
        ReflectiveSerializer::readXml(reply, response.typeName(), response);
        deviceType = response.DeviceType;
        found = true;
      } catch (const std::exception&) {
      }
    }
  }
  if (!found) OSTREL_LOG(LOG_ERROR) << "Unable to extract deviceType from payload. " << reply;
  return found;
}

bool UXUpdateManager::queryClientVersion(std::string& version) {
  std::string reply;
  bool found = false;
  if (queryAgent("getVersion", reply)) {
    if (reliableEvents()->eventsFormat() == kJsonEvents) {
      found = clientVersionInText(reply, version);
    } else {
      VersionResponse response;
      try {
        ReflectiveSerializer::readXml(reply, response.typeName(), response);
        version = response.Version;
        found = !version.empty();
      } catch (const std::exception&) {
      }
    }
  }
  if (!found) OSTREL_LOG(LOG_ERROR) << "Unable to extract HC version from payload. " << reply;
  return found;
}

bool UXUpdateManager::deviceTypeInText(const std::string& reply, int32_t& deviceType) {
  const size_t start = nextDigitRun(reply, 0);
  const size_t end = digitRunEnd(reply, start);
  if (start == end) return false;
  int64_t value = 0;
  for (size_t i = start; i < end; ++i) {
    const char c = reply[i];
    if (c < '0' || c > '9') return false;  // a digit of another script is no number
    value = value * 10 + (c - '0');
    if (value > INT32_MAX) return false;
  }
  deviceType = int32_t(value);
  return true;
}

// The first run of digits that two more follow, each after a dot; a run that
// fails is passed whole, since a later start inside it would fail the same way.
bool UXUpdateManager::clientVersionInText(const std::string& reply, std::string& version) {
  for (size_t start = nextDigitRun(reply, 0); start < reply.size();) {
    const size_t first = digitRunEnd(reply, start);
    size_t end = first;
    for (int part = 0; part < 2 && end != std::string::npos; ++part) {
      const size_t next = end < reply.size() && reply[end] == '.' ? digitRunEnd(reply, end + 1) : end;
      end = next > end + 1 ? next : std::string::npos;
    }
    if (end != std::string::npos) {
      version = reply.substr(start, end - start);
      return true;
    }
    start = nextDigitRun(reply, first);
  }
  return false;
}
