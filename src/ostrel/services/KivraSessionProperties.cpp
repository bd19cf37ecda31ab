#include "ostrel/services/KivraSessionProperties.h"

#include "common/logging/LogRecord.h"
#include "ostrel/services/ReflectiveSerializer.h"

void KivraSessionProperties::visitFields(FieldVisitor& visitor) {
  visitValue(visitor, "localeCode", localeCode);
  visitValue(visitor, "connected", connected);
  visitValue(visitor, "identified", identified);
  visitValue(visitor, "userEmail", userEmail);
  visitValue(visitor, "userName", userName);
  visitValue(visitor, "selfUpdateBehavior", selfUpdateBehavior);
}

std::string KivraSessionProperties::writeToText() {
  try {
    return ReflectiveSerializer::writeXml(*this, typeName());
  } catch (const std::exception&) {
    OSTREL_LOG(LOG_ERROR) << "Couldn't deserialize session properties. ";
    return "";
  }
}
