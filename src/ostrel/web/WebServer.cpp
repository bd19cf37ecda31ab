#include "ostrel/web/WebServer.h"

#include <chrono>
#include <cstdlib>
#include <thread>

#include "ostrel/engine/engine.h"
#include "ostrel/web/SystemSecurityValidations.h"
#include "ostrel/web/LocalAddress.h"
#include "ostrel/web/ReplyHeads.h"

namespace {

Receivers withResources(Receivers receivers, ResourcesStorage& own) {
  if (!receivers.resources) receivers.resources = &own;
  return receivers;
}

}  // namespace

WebServer::WebServer(Receivers receivers, std::shared_ptr<SecurityValidations> validations)
    : receivers_(withResources(receivers, resources_)),
      validations_(validations ? std::move(validations) : std::make_shared<SystemSecurityValidations>()),
      gate_(receivers_, *validations_) {}

bool WebServer::start(const std::string& port, int threads, const std::string& accessControlList, int wsTimeout,
                      int responseCoding, const std::string& documentRoot, bool referrerCheck, bool keepAlive) {
  const std::string threadText = std::to_string(threads);
  const std::string timeoutText = std::to_string(wsTimeout);
  const std::string codingText = std::to_string(responseCoding);
  const char* options[] = {
      "listening_ports", port.c_str(),
      "num_threads", threadText.c_str(),
      "access_control_list", accessControlList.c_str(),
      "ws_timeout", timeoutText.c_str(),
      "resp_coding", codingText.c_str(),
      "document_root", documentRoot.c_str(),
      "enable_directory_listing", "no",
      "enable_keep_alive", keepAlive ? "yes" : "no",
      "index_files", "index.html",
      "ssi_pattern", "",
      "cgi_pattern", "",
      // Files of the store carry the lines that keep other sites from framing it.
      "extra_headers", ReplyHeads::kFramingHeaders,
      nullptr,
  };
  // Set before the engine runs: its first events already pass the gate.
  gate_.configure(referrerCheck, responseCoding);
  gate_.setOrigins(ServedOrigins());
  gate_.keepStartMessages(true);
  EngineContext* context = mg_launch(ostrelRequestCallback, &gate_, options);
  gate_.keepStartMessages(false);
  if (!context) return false;
  // The engine's own value of its option, read once.
  const char* coding = mg_get_option(context, "resp_coding");
  gate_.configure(referrerCheck, coding ? std::atoi(coding) : responseCoding);
  // The accept thread only reads the listener list until the engine stops.
  gate_.setOrigins(ServedOrigins::ofListeners(context->listening_sockets, hasIPv6Loopback()));
  context_ = context;
  return true;
}

void WebServer::stop() {
  if (receivers_.channels) receivers_.channels->closeAll();
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (context_) mg_halt(context_);
  // The engine frees its context in mg_halt: keeping the pointer would let a
  // second stop halt freed memory.
  context_ = nullptr;
  // A channel whose handshake a worker was answering meanwhile is open now;
  // no worker is left to open another.
  if (receivers_.channels) receivers_.channels->closeAll();
}
