#pragma once

#include <memory>
#include <string>

#include "ostrel/services/ReflectiveRecord.h"

class SessionProperties {
 public:
  // The record as an XML document; empty (and logged) when it cannot be written.
  virtual std::string writeToText() = 0;
  virtual ~SessionProperties() = default;
};

// The state of the user's session as the business logic states it.
class KivraSessionProperties : public SessionProperties, public ReflectiveRecord {
 public:
  std::string writeToText() override;

  std::string typeName() const override { return "KivraSessionProperties"; }
  void visitFields(FieldVisitor& visitor) override;

  std::string localeCode;
  bool connected = false;
  bool identified = false;
  std::string userEmail;
  std::string userName;
  int32_t selfUpdateBehavior = 0;
};

using KivraSessionPropertiesPtr = std::shared_ptr<KivraSessionProperties>;
