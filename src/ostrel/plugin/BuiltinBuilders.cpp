// The functor builders, registered while the library loads.

#include "ostrel/services/BuilderRegistry.h"
#include "ostrel/updates/UXUpdateFunctor.h"
#include "ostrel/services/HCServiceProxyFunctor.h"
#include "ostrel/services/HCAvailabilityFunctor.h"
#include "ostrel/services/HCInitClientFunctor.h"
#include "ostrel/services/HCSetUserPreferenceFunctor.h"

namespace {
RegisterBuilder<BuilderHCServiceProxyFunctor> serviceProxyFunctor;
RegisterBuilder<BuilderHCInitClientFunctor> initClientFunctor;
RegisterBuilder<BuilderHCAvailabilityFunctor> availabilityFunctor;
RegisterBuilder<BuilderHCSetUserPreferenceFunctor> setUserPreferenceFunctor;
RegisterBuilder<BuilderUXUpdateFunctor> uxUpdateFunctor;
}  // namespace
