#pragma once

// The objects of one start of the plug-in, each given what it needs through its
// constructor: the UI contexts, the service proxy, the event channels, the UX
// update manager and its delivery handler, and the web server that routes to
// them. Built by start step by step as the settings are read; stop takes the
// server down first and then lets the whole graph go.

#include <memory>

#include "ostrel/channels/WebSocketManager.h"
#include "ostrel/services/ServiceProxy.h"
#include "ostrel/services/UIContexts.h"
#include "ostrel/services/WaitingCalls.h"
#include "ostrel/updates/UXUpdateDeliveryHandler.h"
#include "ostrel/updates/UXUpdateManager.h"
#include "ostrel/web/WebServer.h"

struct PluginObjects {
  PluginObjects()
      : services(contexts),
        channels([this] {
          UIDescriptorPtr context = contexts.forDefaultUIType();
          return context ? context->outputFormat() : numberOf(OutputFormat::XmlAsJson);
        }),
        server(Receivers{&services, &channels, nullptr}) {}
  PluginObjects(const PluginObjects&) = delete;
  PluginObjects& operator=(const PluginObjects&) = delete;

  UIContexts contexts;
  WaitingCalls waitingCalls;
  ServiceProxy services;
  WebSocketManager channels;
  // Made once the HTML root is known.
  std::unique_ptr<UXUpdateManager> updates;
  std::unique_ptr<_UXUpdateDeliveryHandler> delivery;
  WebServer server;
};
