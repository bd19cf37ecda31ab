#pragma once

// What the functors answered inside the plug-in share.

#include <memory>
#include <string>

#include "ostrel/services/ParameterMap.h"
#include "ostrel/services/KivraUIDescriptor.h"

namespace LocalFunctorSupport {

// The descriptor of the parameter "uitype", else of the default UI type; null
// when that context is no KivraUIDescriptor.
std::shared_ptr<KivraUIDescriptor> findUIDescriptor(const ParameterMap& parameters);
// The same; logs and throws FunctorException "Cannot get UX Descriptor." when there is none.
std::shared_ptr<KivraUIDescriptor> requireUIDescriptor(const ParameterMap& parameters);

// A JSON object's text without its outer braces; empty for a text too short to have them.
std::string withoutBraces(const std::string& json);

}  // namespace LocalFunctorSupport
