#include "ostrel/services/StatusDocument.h"

#include "ostrel/services/ReflectiveSerializer.h"

void StatusRecord::visitFields(FieldVisitor& visitor) {
  visitValue(visitor, "version", status_.version);
  visitValue(visitor, "statusCode", status_.statusCode);
  visitValue(visitor, "statusMessage", status_.statusMessage);
}

namespace StatusDocument {

std::string writeXml(int32_t code, const std::string& message) {
  StatusResultTypePayload status;
  status.statusCode = code;
  status.statusMessage = message;
  StatusRecord record(status);
  return ReflectiveSerializer::writeXml(record, record.typeName());
}

StatusResultTypePayload readXml(const std::string& text) {
  StatusResultTypePayload status;
  StatusRecord record(status);
  ReflectiveSerializer::readXml(text, record.typeName(), record);
  return status;
}

std::string writeJson(StatusResultTypePayload status) {
  StatusRecord record(status);
  return ReflectiveSerializer::writeJson(record, record.typeName());
}

}  // namespace StatusDocument
