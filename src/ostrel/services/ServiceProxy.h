#pragma once

// Answers every service call (".svc"): finds the caller's UI context, decides
// the output format, runs the functor registered for the service path and turns
// its reply or failure into a Message. It never writes to the connection.

#include <map>
#include <shared_mutex>
#include <string>

#include "ostrel/services/Functor.h"
#include "ostrel/services/ParameterMap.h"
#include "ostrel/web/MessageReceiver.h"

class ServiceProxy : public MessageReceiver {
 public:
  static ServiceProxy& instance();

  void process(MessagePtr& result, const std::string& query, const std::string& uri,
               const SocketPtr& socket) override;

  // Start-up only, before the engine runs. A path already registered is replaced.
  void registerFunctor(const std::string& servicePath, const FunctorPtr& functor);
  // Null when nothing is registered under the path.
  FunctorPtr functor(const std::string& servicePath) const;

  // "1.0/Catalog/getBanners" from ".../1.0/Catalog/getBanners.svc"; empty without ".svc".
  static std::string servicePath(const std::string& uri);
  // Names as sent; each value is the first case-insensitive match, URL-decoded.
  static ParameterMap parameters(const std::string& query);

 private:
  static MessagePtr httpError(const std::string& text, int format);

  mutable std::shared_mutex mutex_;  // guards functors_
  std::map<std::string, FunctorPtr> functors_;
};
