#pragma once

#include <memory>
#include <string>

#include "ostrel/channels/ReliableHCListener.h"
#include "ostrel/plugin/PluginObjects.h"
#include "ostrel/plugin/PluginSettings.h"
#include "ostrel/services/StartupErrors.h"
#include "tessaro/ComponentReport.h"
#include "tessaro/IComponent.h"

class ConfigurationManager;
class MessageDispatcher;
class ServiceTable;

// The component the host creates: wires the plug-in's subsystems together in
// start and takes them apart in stop.
class OstrelPlugin : public IComponent, public IComponentReport {
 public:
  OstrelPlugin();
  // Stops what still runs: a host may destroy a started component.
  ~OstrelPlugin() override;

  // IComponent
  void initialize() override;
  void shutdown() override;
  void start() override;
  void stop() override;

  // IComponentReport
  // "Ostrel: serving http://127.0.0.1:PORT/ (UI type T, root DIR)" while serving;
  // "root DIR (missing)" when DIR is no folder, "no root" when none was taken.
  std::string runningLine() const override;
  void checkConfiguration(ConfigurationCheck& check) const override;

  bool started() const { return started_; }

  // What the last start read from the configuration.
  struct StartSettings {
    bool keepAlive = false;
    std::string dataPath;
    PluginSettings::Roots roots;
    bool hasDefaultUIType = false;
    std::string defaultUIType;
    bool referrerCheck = true;
    std::string documentRoot;  // the engine's "document_root" value
  };
  const StartSettings& settings() const { return settings_; }
  // The port the web server runs on; 0 when it has none.
  int port() const { return port_; }
  // The objects of the running start; null while stopped.
  PluginObjects* objects() { return objects_.get(); }
  // Kept from the first start to the component's end, with its pending events.
  ReliableHCListener* reliableEvents() { return reliable_.get(); }
  StartupErrors& startupErrors() { return startupErrors_; }

  // How long start waits for the business logic's answer to each of its messages.
  int startupReplyTimeoutSeconds = 10;

 private:
  void registerFunctors(const ServiceTable& table);
  void addChannelRoutes(bool keepAlive);
  void applyDefaultUIType(const std::string& uiType);
  void sendBootstrap();

  MessageDispatcher& dispatcher_;  // the host's
  std::unique_ptr<ReliableHCListener> reliable_;
  StartupErrors startupErrors_;
  std::unique_ptr<PluginObjects> objects_;
  bool started_ = false;
  int port_ = 0;
  StartSettings settings_;
};
