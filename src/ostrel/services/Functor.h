#pragma once

#include <map>
#include <memory>
#include <string>

// A service handler: called with the request's parameters, the service path and
// the raw request text; returns the reply body. Failure is an exception derived
// from std::exception whose message is the reply body.
class Functor {
 public:
  virtual std::string operator()(std::map<std::string, std::string> parameters, const std::string& servicePath,
                                 const std::string& rawRequest) = 0;
  virtual ~Functor() = default;
};

using FunctorPtr = std::shared_ptr<Functor>;
