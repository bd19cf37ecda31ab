#pragma once

#include "common/logging/LogRecord.h"

namespace bizl {

// Every record of the demo business logic carries this component number ("bizl").
constexpr int kBizlComponent = 1;

}  // namespace bizl

#define BIZL_LOG(level) LogRecord((level), ::bizl::kBizlComponent, "", 0)
