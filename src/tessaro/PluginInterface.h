#pragma once

// The C interface between the host and a plug-in library. The host calls the
// library's exported PF_initPlugin with a services record; the plug-in calls back
// the registration function once per object type it offers.

#include <cstdint>

extern "C" {

typedef void* (*PF_CreateFunc)(void* objectParams);
typedef int32_t (*PF_DestroyFunc)(void* object);
typedef int32_t (*PF_ExitFunc)(void);

enum { PF_LANG_CPP = 1 };

struct PF_PluginAPI_Version {
  int32_t major;
  int32_t minor;
};

// Built by the plug-in, read by the host.
struct PF_RegisterParams {
  PF_PluginAPI_Version version;
  PF_CreateFunc createFunc;
  PF_DestroyFunc destroyFunc;
  int32_t programmingLanguage;
};

// A negative result means the registration was refused.
typedef int32_t (*PF_RegisterFunc)(const char* objectType, const PF_RegisterParams* params);

// Given by the host to PF_initPlugin; read-only for the plug-in.
struct PF_PlatformServices {
  PF_PluginAPI_Version version;
  PF_RegisterFunc registerObject;
};

typedef PF_ExitFunc (*PF_InitFunc)(const PF_PlatformServices* services);

}  // extern "C"
