// The functor builders, registered while the library loads.

#include "ostrel/plugin/BuilderRegistry.h"
#include "ostrel/UXUpdateManager/UXUpdateFunctor.h"
#include "ostrel/serviceproxy/HCServiceProxyFunctor.h"

namespace {
RegisterBuilder<BuilderHCServiceProxyFunctor> serviceProxyFunctor;
RegisterBuilder<BuilderUXUpdateFunctor> uxUpdateFunctor;
}  // namespace
