// The library's entry points: the host calls PF_initPlugin, which registers the
// "kivrabizldemo" component factory.

#include <new>

#include "bizl-demo/BizlDemoComponent.h"
#include "bizl-demo/Export.h"
#include "tessaro/PluginInterface.h"

namespace {

void* createBizlDemo(void* /*objectParams*/) {
  IComponent* component = new (std::nothrow) bizl::BizlDemoComponent();
  return component;
}

int32_t destroyBizlDemo(void* object) {
  delete static_cast<IComponent*>(object);  // the host owns it until here
  return 0;
}

}  // namespace

extern "C" {

BIZL_EXPORT int32_t ExitFunc() { return 0; }

BIZL_EXPORT PF_ExitFunc PF_initPlugin(const PF_PlatformServices* services) {
  if (!services || !services->registerObject) return nullptr;
  PF_RegisterParams params{};
  params.version.major = 1;
  params.version.minor = 0;
  params.createFunc = createBizlDemo;
  params.destroyFunc = destroyBizlDemo;
  params.programmingLanguage = PF_LANG_CPP;
  return services->registerObject("kivrabizldemo", &params) >= 0 ? ExitFunc : nullptr;
}

}  // extern "C"
