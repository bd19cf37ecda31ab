#include "ostrel/plugin/OstrelPlugin.h"

#include "common/HandlerHelper/HandlerHelper.h"
#include "common/logging/LogRecord.h"
#include "common/logging/LoggerClient.h"
#include "ostrel/plugin/ConfigKeys.h"
#include "ostrel/plugin/PortSelection.h"
#include "ostrel/plugin/BuilderRegistry.h"
#include "ostrel/plugin/StartupErrors.h"
#include "ostrel/services/ServiceProxy.h"
#include "ostrel/services/ServiceTable.h"
#include "ostrel/services/UIDescriptorFactory.h"
#include "ostrel/updates/ReliableListenerEvents.h"
#include "ostrel/updates/UXUpdateDeliveryHandler.h"
#include "ostrel/updates/UXUpdateManager.h"
#include "ostrel/web/MessageRouter.h"
#include "ostrel/web/ResourcesStorage.h"
#include "ostrel/channels/HCServiceProxyWebSocketListenerFactory.h"
#include "ostrel/channels/ReliableHCListener.h"
#include "ostrel/channels/WebSocketManager.h"
#include "tessaro/ConfigurationManager.h"
#include "tessaro/XMLPayload.h"

void OstrelPlugin::initialize() { LoggerClient::instance().fetchQueue(); }

void OstrelPlugin::shutdown() {
  stop();
  OSTREL_LOG(LOG_INFO) << "Shutdown";
}

void OstrelPlugin::start() {
  if (started_) return;
  started_ = true;
  HCI::HandlerHelper::allowWaits();

  ServiceTable table;
  table.load();
  const ConfigurationManager& configuration = *ConfigurationManager::getDefaultInstance(ConfigScopeComponent);
  registerFunctors(table);

  StartSettings settings;
  settings.keepAlive = PluginSettings::readKeepAlive(configuration);
  addChannelRoutes(settings.keepAlive);
  ReliableHCListener::instance();

  settings.dataPath = PluginSettings::readDataPath(configuration);
  settings.roots = PluginSettings::composeRoots(configuration, settings.dataPath);
  ResourcesStorage::instance().setHtmlRoot(settings.roots.html);
  // The update manager takes the HTML root when first used: only after it is set.
  UXUpdateManager::getInstance()->setReliableEvents(std::make_shared<ReliableListenerEvents>());

  settings.hasDefaultUIType = PluginSettings::readDefaultUIType(configuration, settings.defaultUIType);
  if (settings.hasDefaultUIType) applyDefaultUIType(settings.defaultUIType);
  sendBootstrap();
  _UXUpdateDeliveryHandler::instance().subscribe();

  settings.referrerCheck = PluginSettings::readReferrerCheck(configuration);
  settings.documentRoot = PluginSettings::documentRootOption(settings.roots);
  settings_ = settings;
  MessageRouter::bindReceivers(&ServiceProxy::instance(), &WebSocketManager::instance());
  port_ = PortSelection(server_).startServer(settings.documentRoot, settings.referrerCheck, settings.keepAlive);
}

void OstrelPlugin::stop() {
  if (!started_) return;
  started_ = false;
  _UXUpdateDeliveryHandler::instance().unsubscribe();
  // Calls waiting for the business logic are answered now, as timed out, so
  // that the engine's workers are free to end.
  HCI::HandlerHelper::cancelWaits();
  server_.stop();
  UXUpdateManager::getInstance()->waitForUpdate();
  port_ = 0;
  ReliableHCListener::instance().savePending();
}

void OstrelPlugin::registerFunctors(const ServiceTable& table) {
  for (const std::string& path : table.keys())
    ServiceProxy::instance().registerFunctor(path, BuilderRegistry::instance().create(table.lookup(path).functorName));
}

void OstrelPlugin::addChannelRoutes(bool keepAlive) {
  WebSocketManager& channels = WebSocketManager::instance();
  channels.addRoute("1.0/Events/all", std::make_shared<HCServiceProxyWebSocketListenerFactory>(keepAlive));
  for (const char* route : {"1.0/Events/watcher", "1.0/Events/inAppPurchase", "1.0/Events/featureAccess"})
    channels.addRoute(route, std::make_shared<HCServiceProxyWebSocketListenerFactory>(false));
}

void OstrelPlugin::applyDefaultUIType(const std::string& uiType) {
  ServiceProxy::instance().setDefaultUIType(uiType);
  WebSocketManager::instance().setDefaultUIType(uiType);
  UIDescriptorFactory::instance().registerBuilder(uiType, UIDescriptorFactory::kivraBuilder(uiType));

  UIDescriptorPtr descriptor = UIDescriptorFactory::instance().create(uiType);
  // The business logic writes either XML (0) or JSON (2); converting is ours.
  const int format = descriptor && descriptor->outputFormat() == 2 ? 2 : 0;
  ReliableHCListener::instance().setOutputFormat(format);
  const std::string text =
      "<setOutputFormat><OutputFormat>" + std::to_string(format) + "</OutputFormat></setOutputFormat>";
  LocalMessagePtr reply = HCI::HandlerHelper::sendAndWait(
      std::string(ConfigKeys::kBusinessLogicTarget) + "1.0/Internal/setOutputFormat", "setOutputFormat",
      std::make_shared<XMLPayload>(text), startupReplyTimeoutSeconds, UUId(), 0);
  if (!reply) {
    StartupErrors::instance().append("Bizl Communication Error");
    OSTREL_LOG(LOG_ERROR) << "Error while trying to set the output format";
  }
}

void OstrelPlugin::sendBootstrap() {
  // The answer, if any, carries nothing the plug-in needs.
  HCI::HandlerHelper::sendAndWait(std::string(ConfigKeys::kBusinessLogicTarget) + "1.0/Internal/startBootstrap",
                                  "startBootstrap", std::make_shared<XMLPayload>("<startBootstrap></startBootstrap>"),
                                  startupReplyTimeoutSeconds, UUId(), 0);
}
