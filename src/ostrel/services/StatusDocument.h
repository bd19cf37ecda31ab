#pragma once

// Status documents: the error replies of service calls, written and read with the
// reflective forms under the root name "Status".

#include <string>

#include "ostrel/services/ReflectiveRecord.h"
#include "tessaro/StatusResultTypePayload.h"

// The reflective view of a status payload.
class StatusRecord : public ReflectiveRecord {
 public:
  explicit StatusRecord(StatusResultTypePayload& status) : status_(status) {}
  std::string typeName() const override { return "Status"; }
  void visitFields(FieldVisitor& visitor) override;

 private:
  StatusResultTypePayload& status_;
};

namespace StatusDocument {

// The plug-in's own status code.
constexpr int32_t kPluginError = -13;

// <Status><version/><statusCode>code</statusCode><statusMessage>..</statusMessage></Status>;
// throws tctl::illformed_serialized_object_exception when it cannot be written.
std::string writeXml(int32_t code, const std::string& message);
// Throws what the reflective reader throws for a text that is no status document.
StatusResultTypePayload readXml(const std::string& text);
// {"status":{"version":"..","statuscode":N,"statusmessage":".."}}
std::string writeJson(StatusResultTypePayload status);

}  // namespace StatusDocument
