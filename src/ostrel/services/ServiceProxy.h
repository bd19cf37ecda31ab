#pragma once

// Answers every service call (".svc"): finds the caller's UI context, decides
// the output format, runs the functor registered for the service path and turns
// its reply or failure into a Message. It never writes to the connection.

#include <map>
#include <shared_mutex>
#include <string>

#include "ostrel/services/Functor.h"
#include "ostrel/services/ParameterMap.h"
#include "ostrel/services/ServiceError.h"
#include "ostrel/services/UIContexts.h"
#include "ostrel/web/MessageReceiver.h"
#include "ostrel/web/OutputFormat.h"

class ServiceProxy : public MessageReceiver {
 public:
  // The callers' UI contexts are found in, or made into, `contexts`.
  explicit ServiceProxy(UIContexts& contexts) : contexts_(contexts) {}

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
  // A call with more parameters is answered with an error at once.
  static constexpr long kMaxParameters = 256;

 private:
  // The caller's context: its session's, or the default UI type's (made on
  // first use); null with `error` set when there is none.
  UIDescriptorPtr context(const ParameterMap& parameters, OutputFormat format, MessagePtr& error);
  static MessagePtr httpError(const std::string& text, OutputFormat format);
  static MessagePtr reply(const std::string& text, OutputFormat format);
  static MessagePtr failure(const ServiceError& error, OutputFormat format);

  UIContexts& contexts_;

  mutable std::shared_mutex mutex_;  // guards functors_
  std::map<std::string, FunctorPtr> functors_;
};
