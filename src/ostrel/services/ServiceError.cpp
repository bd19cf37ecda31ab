#include "ostrel/services/ServiceError.h"

#include "ostrel/services/StatusDocument.h"

ServiceError ServiceError::status(int32_t code, std::string message) {
  std::string text;
  try {
    text = StatusDocument::writeXml(code, message);
  } catch (...) {
    text = "<Response><Status><statusCode>-13</statusCode><statusMessage>Unexpected Error</statusMessage></Status>"
           "</Response>";
  }
  return ServiceError(true, code, std::move(message), std::move(text));
}

ServiceError ServiceError::document(std::string document) { return ServiceError(false, 0, "", std::move(document)); }
