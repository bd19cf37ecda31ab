#include "ostrel/plugin/OstrelPlugin.h"

#include "common/HandlerHelper/HandlerHelper.h"
#include "common/logging/LogRecord.h"
#include "common/logging/LoggerClient.h"
#include "ostrel/channels/HCServiceProxyWebSocketListenerFactory.h"
#include "ostrel/plugin/PortSelection.h"
#include "ostrel/plugin/SettingsCheck.h"
#include "ostrel/services/BuilderRegistry.h"
#include "ostrel/services/HCServiceProxyFunctor.h"
#include "ostrel/services/ServiceTable.h"
#include "ostrel/updates/ReliableListenerEvents.h"
#include "tessaro/ConfigurationManager.h"
#include "tessaro/MessageDispatcher.h"
#include "tessaro/XMLPayload.h"

// The host's dispatcher is the one service of the host every part talks through.
OstrelPlugin::OstrelPlugin() : dispatcher_(*MessageDispatcher::getInstance()) {}

OstrelPlugin::~OstrelPlugin() { stop(); }

void OstrelPlugin::initialize() { LoggerClient::instance().fetchQueue(); }

void OstrelPlugin::shutdown() {
  stop();
  OSTREL_LOG(LOG_INFO) << "Shutdown";
}

void OstrelPlugin::start() {
  if (started_) return;
  started_ = true;
  HCI::HandlerHelper::allowWaits();
  objects_ = std::make_unique<PluginObjects>();

  ServiceTable table;
  table.load();
  const ConfigurationManager& configuration = *ConfigurationManager::getDefaultInstance(ConfigScopeComponent);

  StartSettings settings;
  settings.keepAlive = PluginSettings::readKeepAlive(configuration);
  // Pending reliable events outlive a stop: the listener is made once.
  if (!reliable_) reliable_ = std::make_unique<ReliableHCListener>(dispatcher_);
  addChannelRoutes(settings.keepAlive);

  settings.dataPath = PluginSettings::readDataPath(configuration);
  settings.roots = PluginSettings::composeRoots(configuration, settings.dataPath);
  PluginSettings::reportMissingFolders(settings.roots);
  objects_->server.resources().setHtmlRoot(settings.roots.html);
  objects_->updates = std::make_unique<UXUpdateManager>(settings.roots.html, &objects_->contexts);
  objects_->updates->setReliableEvents(std::make_shared<ReliableListenerEvents>(*reliable_));
  // Functors are made once everything they may be handed exists.
  registerFunctors(table);

  settings.hasDefaultUIType = PluginSettings::readDefaultUIType(configuration, settings.defaultUIType, startupErrors_);
  if (settings.hasDefaultUIType) applyDefaultUIType(settings.defaultUIType);
  sendBootstrap();
  objects_->delivery = std::make_unique<_UXUpdateDeliveryHandler>(dispatcher_, *objects_->updates);
  objects_->delivery->subscribe();

  settings.referrerCheck = PluginSettings::readReferrerCheck(configuration);
  settings.documentRoot = PluginSettings::documentRootOption(settings.roots);
  settings_ = settings;
  port_ = PortSelection(objects_->server).startServer(settings.documentRoot, settings.referrerCheck, settings.keepAlive);
}

void OstrelPlugin::stop() {
  if (!started_) return;
  started_ = false;
  objects_->delivery->unsubscribe();
  // Calls waiting for the business logic are answered now, as timed out, so
  // that the engine's workers are free to end.
  HCI::HandlerHelper::cancelWaits();
  objects_->server.stop();
  objects_->updates->waitForUpdate();
  port_ = 0;
  reliable_->savePending(settings_.dataPath);
  objects_.reset();
}

std::string OstrelPlugin::runningLine() const {
  if (!started_) return "";
  if (port_ == 0) return "Ostrel: not serving; the log says why";
  const std::string uiType = settings_.hasDefaultUIType ? "UI type " + settings_.defaultUIType : "no UI type";
  const std::string& html = settings_.roots.html;
  const std::string root =
      html.empty() ? "no root" : "root " + html + (PluginSettings::isFolder(html) ? "" : " (missing)");
  return "Ostrel: serving http://127.0.0.1:" + std::to_string(port_) + "/ (" + uiType + ", " + root + ")";
}

void OstrelPlugin::checkConfiguration(ConfigurationCheck& check) const {
  SettingsCheck::check(*ConfigurationManager::getDefaultInstance(ConfigScopeComponent),
                       *ConfigurationManager::getDefaultInstance(ConfigScopeShared), check);
}

void OstrelPlugin::registerFunctors(const ServiceTable& table) {
  FunctorContext context;
  context.contexts = &objects_->contexts;
  context.reliable = reliable_.get();
  context.startupErrors = &startupErrors_;
  context.updates = objects_->updates.get();
  context.waitingCalls = &objects_->waitingCalls;
  for (const std::string& path : table.keys())
    objects_->services.registerFunctor(path,
                                       BuilderRegistry::instance().create(table.lookup(path).functorName, context));
}

void OstrelPlugin::addChannelRoutes(bool keepAlive) {
  WebSocketManager& channels = objects_->channels;
  channels.addRoute("1.0/Events/all",
                    std::make_shared<HCServiceProxyWebSocketListenerFactory>(keepAlive, dispatcher_, reliable_.get()));
  for (const char* route : {"1.0/Events/watcher", "1.0/Events/inAppPurchase", "1.0/Events/featureAccess"})
    channels.addRoute(route, std::make_shared<HCServiceProxyWebSocketListenerFactory>(false, dispatcher_, reliable_.get()));
}

void OstrelPlugin::applyDefaultUIType(const std::string& uiType) {
  objects_->contexts.setDefaultUIType(uiType);
  objects_->services.setDefaultUIType(uiType);
  objects_->channels.setDefaultUIType(uiType);
  objects_->contexts.factory().registerBuilder(
      uiType, UIDescriptorFactory::kivraBuilder(uiType, objects_->server.resources().htmlRoot()));

  // Without the root there is no manifest to read, and the missing root has
  // been logged already.
  UIDescriptorPtr descriptor = PluginSettings::isFolder(objects_->server.resources().htmlRoot())
                                   ? objects_->contexts.factory().create(uiType)
                                   : nullptr;
  // The business logic writes either XML (0) or JSON (2); converting is ours.
  const int format = descriptor && descriptor->outputFormat() == 2 ? 2 : 0;
  reliable_->setOutputFormat(format);
  const std::string text =
      "<setOutputFormat><OutputFormat>" + std::to_string(format) + "</OutputFormat></setOutputFormat>";
  LocalMessagePtr reply = HCI::HandlerHelper::sendAndWait(
      std::string(HCServiceProxyFunctor::kBusinessLogicTarget) + "1.0/Internal/setOutputFormat", "setOutputFormat",
      std::make_shared<XMLPayload>(text), startupReplyTimeoutSeconds, UUId(), 0);
  if (!reply) {
    startupErrors_.append("Bizl Communication Error");
    OSTREL_LOG(LOG_ERROR) << "Error while trying to set the output format";
  }
}

void OstrelPlugin::sendBootstrap() {
  // The answer, if any, carries nothing the plug-in needs.
  HCI::HandlerHelper::sendAndWait(std::string(HCServiceProxyFunctor::kBusinessLogicTarget) +
                                      "1.0/Internal/startBootstrap",
                                  "startBootstrap", std::make_shared<XMLPayload>("<startBootstrap></startBootstrap>"),
                                  startupReplyTimeoutSeconds, UUId(), 0);
}
