#include "bizl-demo/RequestError.h"

#include "bizl-demo/XmlText.h"

namespace bizl {

std::string RequestError::statusDocument() const { return statusDocument(code_, what()); }

std::string RequestError::statusDocument(int code, const std::string& message) {
  return "<Status><version>1.0</version><statusCode>" + std::to_string(code) + "</statusCode><statusMessage>" +
         xmlEscape(message) + "</statusMessage></Status>";
}

}  // namespace bizl
