#include "bizl-demo/SessionState.h"

#include <algorithm>

namespace bizl {

int SessionState::outputFormat() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return outputFormat_;
}

void SessionState::setOutputFormat(int format) {
  std::lock_guard<std::mutex> lock(mutex_);
  outputFormat_ = format;
}

std::string SessionState::localeCode() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return localeCode_;
}

void SessionState::setLocaleCode(const std::string& code) {
  std::lock_guard<std::mutex> lock(mutex_);
  localeCode_ = code;
}

std::string SessionState::signedInMail() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return signedInMail_;
}

void SessionState::signIn(const std::string& mail) {
  std::lock_guard<std::mutex> lock(mutex_);
  signedInMail_ = mail;
}

void SessionState::signOut() {
  std::lock_guard<std::mutex> lock(mutex_);
  signedInMail_.clear();
}

bool SessionState::setPreference(const std::string& name, const std::string& value) {
  std::lock_guard<std::mutex> lock(mutex_);
  auto it = std::find_if(preferences_.begin(), preferences_.end(),
                         [&](const std::pair<std::string, std::string>& p) { return p.first == name; });
  if (it != preferences_.end()) {
    it->second = value;
    return true;
  }
  // Any local process may set them: the list, searched under the lock, stays short.
  if (preferences_.size() >= kMaxPreferences) return false;
  preferences_.emplace_back(name, value);
  return true;
}

std::vector<std::pair<std::string, std::string>> SessionState::preferences() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return preferences_;
}

void SessionState::markInstalled(const std::string& appId) {
  std::lock_guard<std::mutex> lock(mutex_);
  installed_.insert(appId);
  uninstalled_.erase(appId);
}

void SessionState::markUninstalled(const std::string& appId) {
  std::lock_guard<std::mutex> lock(mutex_);
  installed_.erase(appId);
  uninstalled_.insert(appId);
}

bool SessionState::installed(const std::string& appId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return installed_.count(appId) != 0;
}

bool SessionState::uninstalled(const std::string& appId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return uninstalled_.count(appId) != 0;
}

void SessionState::markUpdated(const std::string& appId, bool updated) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (updated)
    updated_.insert(appId);
  else
    updated_.erase(appId);
}

bool SessionState::updated(const std::string& appId) const {
  std::lock_guard<std::mutex> lock(mutex_);
  return updated_.count(appId) != 0;
}

}  // namespace bizl
