#include "ostrel/plugin/OstrelPlugin.h"

#include "common/logging/LogRecord.h"
#include "common/logging/LoggerClient.h"
#include "ostrel/config/PortSelection.h"
#include "ostrel/plugin/BuilderRegistry.h"
#include "ostrel/serviceproxy/ServiceProxy.h"
#include "ostrel/serviceproxy/ServiceTable.h"
#include "ostrel/uicontext/UIDescriptorFactory.h"
#include "ostrel/web/MessageRouter.h"
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

  ServiceTable table;
  table.load();
  const ConfigurationManager& configuration =
      *ConfigurationManager::getDefaultInstance(ConfigScopeComponent);
  for (const std::string& path : table.keys())
    ServiceProxy::instance().registerFunctor(path, BuilderRegistry::instance().create(table.lookup(path).functorName));

  StartSettings settings;
  settings.keepAlive = PluginSettings::readKeepAlive(configuration);
  settings.dataPath = PluginSettings::readDataPath(configuration);
  settings.roots = PluginSettings::composeRoots(configuration, settings.dataPath);
  ResourcesStorage::instance().setHtmlRoot(settings.roots.html);
  settings.hasDefaultUIType = PluginSettings::readDefaultUIType(configuration, settings.defaultUIType);
  if (settings.hasDefaultUIType) {
    ServiceProxy::instance().setDefaultUIType(settings.defaultUIType);
    UIDescriptorFactory::instance().registerBuilder(settings.defaultUIType,
                                                    UIDescriptorFactory::kivraBuilder(settings.defaultUIType));
  }
  settings.referrerCheck = PluginSettings::readReferrerCheck(configuration);
  settings.documentRoot = PluginSettings::documentRootOption(settings.roots);
  settings_ = settings;
  MessageRouter::bindReceivers(&ServiceProxy::instance(), nullptr);
  port_ = PortSelection(server_).startServer(settings.documentRoot, settings.referrerCheck, settings.keepAlive);
}

void OstrelPlugin::stop() {
  if (!started_) return;
  started_ = false;
  server_.stop();
  port_ = 0;
}
