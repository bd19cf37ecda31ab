#include "ostrel/web/WebServer.h"

#include <chrono>
#include <thread>

#include "common/logging/LogRecord.h"
#include "ostrel/engine/engine.h"
#include "ostrel/web/RequestCallback.h"
#include "ostrel/channels/WebSocketManager.h"

std::atomic<bool> WebServer::referrerCheck_{true};

bool WebServer::start(const std::string& port, int threads, const std::string& accessControlList, int wsTimeout,
                      int responseCoding, const std::string& documentRoot, bool referrerCheck, bool keepAlive) {
  referrerCheck_ = referrerCheck;
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
      nullptr,
  };
  EngineContext* context = mg_launch(ostrelRequestCallback, nullptr, options);
  if (!context) {
    OSTREL_LOG(LOG_ERROR) << "Internal Server failed to start";
    return false;
  }
  context_ = context;
  return true;
}

void WebServer::stop() {
  WebSocketManager::instance().closeAll();
  std::this_thread::sleep_for(std::chrono::milliseconds(10));
  if (context_) mg_halt(context_);
  // The engine frees its context in mg_halt: keeping the pointer would let a
  // second stop halt freed memory.
  context_ = nullptr;
  // A channel whose handshake a worker was answering meanwhile is open now;
  // no worker is left to open another.
  WebSocketManager::instance().closeAll();
}
