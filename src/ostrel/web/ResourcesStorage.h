#pragma once

#include <mutex>
#include <string>

#include "ostrel/web/MessageReceiver.h"

// The receiver of everything that is neither a service call nor an event
// channel: it lets the engine serve the file. Also the holder of the HTML root.
class ResourcesStorage : public MessageReceiver {
 public:

  void process(MessagePtr& result, const std::string& query, const std::string& uri,
               const SocketPtr& socket) override;

  void setHtmlRoot(const std::string& root);
  std::string htmlRoot() const;

 private:
  mutable std::mutex mutex_;  // guards htmlRoot_
  std::string htmlRoot_;
};
