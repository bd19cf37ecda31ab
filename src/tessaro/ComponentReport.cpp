#include "tessaro/ComponentReport.h"

// Defined here so that the interface's type information lives in this library
// alone, and the host's cast finds it in every plug-in.
IComponentReport::~IComponentReport() = default;
