// The library's entry points: the host calls PF_initPlugin, which registers the
// "ostrelplugin" component factory.

#include <new>

#include "ostrel/plugin/Export.h"
#include "ostrel/plugin/OstrelPlugin.h"
#include "tessaro/PluginInterface.h"

namespace {

void* createOstrelPlugin(void* /*objectParams*/) {
  IComponent* component = new (std::nothrow) OstrelPlugin();
  return component;
}

int32_t destroyOstrelPlugin(void* object) {
  delete static_cast<IComponent*>(object);  // the host owns it until here
  return 0;
}

}  // namespace

extern "C" {

OSTREL_EXPORT int32_t ExitFunc() { return 0; }

OSTREL_EXPORT PF_ExitFunc PF_initPlugin(const PF_PlatformServices* services) {
  if (!services || !services->registerObject) return nullptr;
  PF_RegisterParams params{};
  params.version.major = 1;
  params.version.minor = 0;
  params.createFunc = createOstrelPlugin;
  params.destroyFunc = destroyOstrelPlugin;
  params.programmingLanguage = PF_LANG_CPP;
  return services->registerObject("ostrelplugin", &params) >= 0 ? ExitFunc : nullptr;
}

}  // extern "C"
