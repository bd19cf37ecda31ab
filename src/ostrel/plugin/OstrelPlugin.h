#pragma once

#include <string>

#include "ostrel/plugin/PluginSettings.h"
#include "ostrel/web/WebServer.h"
#include "tessaro/IComponent.h"

class ConfigurationManager;
class ServiceTable;

// The component the host creates: wires the plug-in's subsystems together in
// start and takes them apart in stop.
class OstrelPlugin : public IComponent {
 public:
  OstrelPlugin() = default;
  // Does not stop anything: the host calls stop or shutdown first.
  ~OstrelPlugin() override = default;

  // IComponent
  void initialize() override;
  void shutdown() override;
  void start() override;
  void stop() override;

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

  // How long start waits for the business logic's answer to each of its messages.
  int startupReplyTimeoutSeconds = 10;

 private:
  static void registerFunctors(const ServiceTable& table);
  static void addChannelRoutes(bool keepAlive);
  void applyDefaultUIType(const std::string& uiType);
  void sendBootstrap();

  WebServer server_;
  bool started_ = false;
  int port_ = 0;
  StartSettings settings_;
};
