#include "ostrel/services/StatusData.h"

void StatusData::visitFields(FieldVisitor& visitor) { visitValue(visitor, "Errors__error", Errors__error); }
