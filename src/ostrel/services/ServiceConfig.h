#pragma once

#include <string>

// What the service table holds for one service path.
struct ServiceConfig {
  std::string operationPath;  // message type and topic suffix of the business-logic call
  std::string templateText;   // request template (see RequestTemplate)
  std::string functorName;    // class of the functor that serves the path
};
