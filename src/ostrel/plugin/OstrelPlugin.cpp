#include "ostrel/plugin/OstrelPlugin.h"

#include "common/logging/LogRecord.h"
#include "common/logging/LoggerClient.h"
#include "tessaro/ConfigurationManager.h"

void OstrelPlugin::initialize() { LoggerClient::instance().fetchQueue(); }

void OstrelPlugin::shutdown() {
  stop();
  OSTREL_LOG(LOG_INFO) << "Shutdown";
}

void OstrelPlugin::start() {
  if (started_) return;
  started_ = true;

  const ConfigurationManager& configuration =
      *ConfigurationManager::getDefaultInstance(ConfigScopeComponent);
  StartSettings settings;
  settings.keepAlive = PluginSettings::readKeepAlive(configuration);
  settings.dataPath = PluginSettings::readDataPath(configuration);
  settings.roots = PluginSettings::composeRoots(configuration, settings.dataPath);
  settings.hasDefaultUIType = PluginSettings::readDefaultUIType(configuration, settings.defaultUIType);
  settings.referrerCheck = PluginSettings::readReferrerCheck(configuration);
  settings.documentRoot = PluginSettings::documentRootOption(settings.roots);
  settings_ = settings;
}

void OstrelPlugin::stop() {
  if (!started_) return;
  started_ = false;
}
