#pragma once

// What the functors answered inside the plug-in share.

#include <memory>
#include <string>

#include "ostrel/services/ParameterMap.h"
#include "ostrel/services/KivraUIDescriptor.h"
#include "ostrel/services/UIContexts.h"

namespace LocalFunctorSupport {

// The descriptor of the parameter "uitype", else of the default UI type; null
// without contexts or when that context is no KivraUIDescriptor.
std::shared_ptr<KivraUIDescriptor> findUIDescriptor(UIContexts* contexts, const ParameterMap& parameters);
// The same; logs and throws FunctorException "Cannot get UX Descriptor." when there is none.
std::shared_ptr<KivraUIDescriptor> requireUIDescriptor(UIContexts* contexts, const ParameterMap& parameters);
// The reply's root element (XML) or root member (JSON) under another name; the
// rest of the text is left as it is.
std::string renameRoot(const std::string& reply, const std::string& from, const std::string& to);

// A JSON object's text without its outer braces; empty for a text too short to have them.
std::string withoutBraces(const std::string& json);

}  // namespace LocalFunctorSupport
