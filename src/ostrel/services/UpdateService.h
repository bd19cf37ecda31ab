#pragma once

// What the UX update services ask of the update manager.

#include <memory>
#include <string>

class UpdateService {
 public:
  virtual ~UpdateService() = default;
  // 0 when the update thread was started, -103 while one runs.
  virtual int startUpdate(const std::string& path, bool activate) = 0;
  virtual int activateUpdate() = 0;
  virtual int restoreRecovery() = 0;
  // The installed UI's version; empty without a descriptor.
  virtual std::string getUxVersion() = 0;
  // Whether an activation succeeded since the last call.
  virtual bool wasUpdated() = 0;
};
