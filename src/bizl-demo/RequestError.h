#pragma once

#include <stdexcept>
#include <string>

namespace bizl {

// The status codes of the demo's status documents.
namespace status {
constexpr int kSuccess = 0;
constexpr int kMalformedRequest = 1;
constexpr int kMissingParameter = 2;
constexpr int kInvalidParameter = 3;
constexpr int kUnknownApplication = 4;
constexpr int kBadCredentials = 5;
constexpr int kNotSignedIn = 6;
constexpr int kUnknownOperation = 100;  // no reply file for the operation
constexpr int kBadData = 101;           // a data file that cannot be used
constexpr int kInternal = 102;
constexpr int kStopping = 103;          // taken, but the demo stopped before answering it
}  // namespace status

// A request the demo refuses. It becomes an "ERROR" reply (a bad request) or a
// "CRITICAL" one (the demo itself cannot answer), carrying a status document.
class RequestError : public std::runtime_error {
 public:
  RequestError(int code, const std::string& message, bool critical = false)
      : std::runtime_error(message), code_(code), critical_(critical) {}

  int code() const { return code_; }
  bool critical() const { return critical_; }
  const char* replyType() const { return critical_ ? "CRITICAL" : "ERROR"; }

  // <Status><version>1.0</version><statusCode>N</statusCode><statusMessage>...</statusMessage></Status>
  // The root is "Status" in both output formats: the plug-in reads error documents
  // as XML even when replies are JSON.
  std::string statusDocument() const;

  static std::string statusDocument(int code, const std::string& message);

  // The status element that successful replies start with.
  static constexpr const char* kSuccessStatus =
      "<Status><version>1.0</version><statusCode>0</statusCode><statusMessage>Success</statusMessage></Status>";

 private:
  int code_;
  bool critical_;
};

}  // namespace bizl
