#pragma once

#include <memory>
#include <string>

#include "bizl-demo/Reply.h"

namespace bizl {

// Answers the requests of the business-logic interface.
class RequestHandler {
 public:
  virtual ~RequestHandler() = default;
  // The reply to `document`, a request for `operation` ("1.0/Catalog/getBanners").
  // Never throws: failures are ERROR or CRITICAL replies.
  virtual Reply handle(const std::string& operation, const std::string& document) = 0;
};

using RequestHandlerPtr = std::shared_ptr<RequestHandler>;

}  // namespace bizl
