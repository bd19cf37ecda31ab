#pragma once

// The plug-in's settings read as its start reads them, each reported when it
// would keep the plug-in from running as configured; nothing is started.

class ConfigurationCheck;
class ConfigurationManager;

namespace SettingsCheck {

void check(const ConfigurationManager& component, const ConfigurationManager& shared, ConfigurationCheck& check);

}  // namespace SettingsCheck
