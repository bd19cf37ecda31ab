// The functor builders, registered while the library loads.

#include "ostrel/plugin/BuilderRegistry.h"
#include "ostrel/UXUpdateManager/UXUpdateFunctor.h"
#include "ostrel/serviceproxy/HCServiceProxyFunctor.h"
#include "ostrel/uicontext/HCAvailabilityFunctor.h"
#include "ostrel/uicontext/HCInitClientFunctor.h"
#include "ostrel/uicontext/HCSetUserPreferenceFunctor.h"

namespace {
RegisterBuilder<BuilderHCServiceProxyFunctor> serviceProxyFunctor;
RegisterBuilder<BuilderHCInitClientFunctor> initClientFunctor;
RegisterBuilder<BuilderHCAvailabilityFunctor> availabilityFunctor;
RegisterBuilder<BuilderHCSetUserPreferenceFunctor> setUserPreferenceFunctor;
RegisterBuilder<BuilderUXUpdateFunctor> uxUpdateFunctor;
}  // namespace
