#pragma once

// The progress messages of an update and the status codes of the update manager.

#include <functional>
#include <memory>
#include <string>

namespace UXUpdateStatus {
constexpr int kSuccess = 0;
constexpr int kUnpacked = 1;     // package accepted and unpacked into the update directory
constexpr int kActivated = 2;    // update activated
constexpr int kNotFound = -100;  // "Package not found"
constexpr int kNotLoaded = -101; // "Could not load UX Update package"
constexpr int kInvalid = -102;   // "Invalid Package"
constexpr int kBusy = -103;      // an update (or an activation or restore) is running
constexpr int kNotActivated = -105;  // "The update could not be activated."
constexpr int kNoUxDirectory = -106; // restore could not rebuild the UX directory
}  // namespace UXUpdateStatus

struct update_msg {
  update_msg(int code, std::string text = "") : code(code), text(std::move(text)) {}
  int code;
  std::string text;  // set for failures
};

using UpdateMsgPtr = std::shared_ptr<update_msg>;
using UpdateCallback = std::function<void(const UpdateMsgPtr&)>;
