#pragma once

#include <string>
#include <vector>

#include "ostrel/services/ReflectiveRecord.h"

// The plug-in's own availability: the start-up errors, as
// <StatusData><Errors><error>..</error></Errors></StatusData>.
class StatusData : public ReflectiveRecord {
 public:
  std::string typeName() const override { return "StatusData"; }
  void visitFields(FieldVisitor& visitor) override;

  std::vector<std::string> Errors__error;
};
