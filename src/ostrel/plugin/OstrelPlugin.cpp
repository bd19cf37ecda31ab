#include "ostrel/plugin/OstrelPlugin.h"

#include "common/logging/LogRecord.h"
#include "common/logging/LoggerClient.h"
#include "ostrel/config/PortSelection.h"
#include "ostrel/web/ResourcesStorage.h"
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
  ResourcesStorage::instance().setHtmlRoot(settings.roots.html);
  settings.hasDefaultUIType = PluginSettings::readDefaultUIType(configuration, settings.defaultUIType);
  settings.referrerCheck = PluginSettings::readReferrerCheck(configuration);
  settings.documentRoot = PluginSettings::documentRootOption(settings.roots);
  settings_ = settings;
  port_ = PortSelection(server_).startServer(settings.documentRoot, settings.referrerCheck, settings.keepAlive);
}

void OstrelPlugin::stop() {
  if (!started_) return;
  started_ = false;
  server_.stop();
  port_ = 0;
}
