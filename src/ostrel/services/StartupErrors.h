#pragma once

// Start-up failures that the availability service reports.

#include <mutex>
#include <string>
#include <vector>

class StartupErrors {
 public:

  void append(const std::string& error);
  std::vector<std::string> list() const;
  void clear();

 private:
  mutable std::mutex mutex_;  // guards errors_
  std::vector<std::string> errors_;
};
