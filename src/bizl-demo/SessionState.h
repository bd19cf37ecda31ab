#pragma once

#include <mutex>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace bizl {

// What the demo remembers between requests, for the life of the plug-in: the
// output format the client asked for, the signed-in account, the preferences set
// and the applications bought or installed in this run.
class SessionState {
 public:
  // 0: XML replies and events; 2: JSON.
  int outputFormat() const;
  void setOutputFormat(int format);

  // The locale of the session, "en-US" until set.
  std::string localeCode() const;
  void setLocaleCode(const std::string& code);

  // The signed-in account's e-mail address; empty when nobody is signed in.
  std::string signedInMail() const;
  void signIn(const std::string& mail);
  void signOut();

  // A preference set again keeps its place and takes the new value. A new
  // name beyond kMaxPreferences is not kept: returns false.
  static constexpr size_t kMaxPreferences = 1000;
  bool setPreference(const std::string& name, const std::string& value);
  std::vector<std::pair<std::string, std::string>> preferences() const;

  void markInstalled(const std::string& appId);
  void markUninstalled(const std::string& appId);
  // Installed, or uninstalled, during this run; the data's "Installed" field
  // says what was installed before.
  bool installed(const std::string& appId) const;
  bool uninstalled(const std::string& appId) const;

  // An update installed during this run (or undone by a cancel): the data's
  // "UpdateAvailable" no longer holds for it.
  void markUpdated(const std::string& appId, bool updated);
  bool updated(const std::string& appId) const;

 private:
  mutable std::mutex mutex_;  // guards every field below
  int outputFormat_ = 0;
  std::string localeCode_ = "en-US";
  std::string signedInMail_;
  std::vector<std::pair<std::string, std::string>> preferences_;
  std::set<std::string> installed_;
  std::set<std::string> uninstalled_;
  std::set<std::string> updated_;
};

}  // namespace bizl
