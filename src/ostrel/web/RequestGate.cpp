#include "ostrel/web/RequestGate.h"

#include <arpa/inet.h>
#include <malloc.h>
#include <sys/socket.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "common/logging/LogRecord.h"
#include "common/logging/LoggerClient.h"
#include "ostrel/web/LocalAddress.h"
#include "ostrel/web/ReplyHeads.h"
#include "ostrel/web/ReportLimit.h"

using ReplyHeads::Fixed;

namespace {

// A service call's parameters are short texts (a search, a login, a
// preference); a body beyond this is refused before it is read, so that the
// workers together never hold more than they can hold of it.
constexpr uint32_t kMaxServiceBody = 1024 * 1024;
// After a body at least this long the freed memory is given back to the system.
constexpr size_t kTrimAfterBody = 64 * 1024;

bool isHead(const RequestInfo* request) {
  return request->request_method && std::strcmp(request->request_method, "HEAD") == 0;
}

// The whole text must be an unsigned 32-bit decimal number.
bool parseContentLength(const char* text, uint32_t& length) {
  if (!text || *text < '0' || *text > '9') return false;
  errno = 0;
  char* end = nullptr;
  unsigned long long value = std::strtoull(text, &end, 10);
  if (errno != 0 || *end != '\0' || value > 0xFFFFFFFFull) return false;
  length = uint32_t(value);
  return true;
}

// A worker serves one request at a time, from its start to its end.
thread_local std::chrono::steady_clock::time_point requestStarted;

// A URI as a log line may show it: control bytes (a decoded line break would
// start a forged line) as "?", and no longer than a line should be.
std::string printable(const char* uri) {
  std::string shown = uri ? std::string(uri).substr(0, 300) : "-";
  for (char& c : shown)
    if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) c = '?';
  return shown;
}

// A refused page would show only a bare 500: the log says why, and where the
// store is opened from. `referer` is null when the request had none.
// A refused request is one WARNING and one access line, but for refusals
// beyond the gate's limit, which are only counted.
thread_local bool accessLineLeftOut = false;

void logRefusedReferer(ReportLimit& limit, const Connection* connection, const RequestInfo* request,
                       const char* referer) {
  int skipped = 0;
  accessLineLeftOut = !limit.allow(skipped);
  if (accessLineLeftOut) return;
  const std::string what = printable(request->request_method) + ' ' + printable(request->uri);
  const std::string also =
      skipped > 0 ? " (" + std::to_string(skipped) + " more refused since the last of these lines)" : "";
  if (referer) {
    OSTREL_LOG(LOG_WARNING) << "Refused " << what << ": its Referer " << printable(referer)
                            << " is not a page of this server" << also;
    return;
  }
  // A Host the gate has accepted names this machine as the browser reached it.
  const char* host = mg_find_header(connection, "Host");
  OSTREL_LOG(LOG_WARNING) << "Refused " << what
                          << ": it has no Referer (typed or bookmarked, not opened from the store); open "
                          << (host ? "http://" + printable(host) + "/" : std::string("the store's root URL"))
                          << " instead" << also;
}

// One line per request: what was asked, the status and size of the answer and
// how long it took.
void logAccess(const Connection* connection, const RequestInfo* request) {
  if (accessLineLeftOut || !LoggerClient::instance().wants(LOG_INFO)) return;
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - requestStarted).count();
  char took[32];
  std::snprintf(took, sizeof took, "%.1f ms", ms);
  OSTREL_LOG(LOG_INFO) << printable(request->request_method) << ' '
                       << printable(request->uri) << ' ' << request->status_code << ' '
                       << connection->num_bytes_sent << " bytes " << took;
}

// The engine's own words follow on a line of their own: the first line's text is
// fixed, and says nothing of what happened (a busy port, a socket error).
void logEngineMessage(mg_event event, const RequestInfo* request) {
  if (event != EVT_LOG_MESSAGE) return;
  OSTREL_LOG(LOG_ERROR) << "Internal Server Error: ";
  if (request->log_message) OSTREL_LOG(LOG_INFO) << "The web engine reports: " << request->log_message;
}

// The request's body as text up to its first NUL, appended to the query. It
// is read straight into the query: one copy of it while the call runs.
RequestGate::Result readBodyInto(Connection* connection, std::string& query) {
  const char* lengthText = mg_find_header(connection, "Content-Length");
  // The body's end is unknown: a status line rather than no reply at all.
  if (!lengthText) {
    ReplyHeads::writeFixed(connection, Fixed::LengthRequired);
    return RequestGate::Result::Handled;
  }
  uint32_t length = 0;
  if (!parseContentLength(lengthText, length)) {
    ReplyHeads::writeFixed(connection, Fixed::BadBodyLength);
    return RequestGate::Result::Handled;
  }
  if (length > kMaxServiceBody) {
    ReplyHeads::writeFixed(connection, Fixed::BodyTooLarge);
    return RequestGate::Result::Handled;
  }
  if (!query.empty()) query += "&";
  const size_t start = query.size();
  try {
    query.resize(start + length);
  } catch (const std::bad_alloc&) {
    ReplyHeads::writeFixed(connection, Fixed::NoMemoryOrNoUri);
    return RequestGate::Result::Handled;
  }
  const int read = length > 0 ? mg_read_body(connection, &query[start], length) : 0;
  // A body that ended early (the client closed, or it came too slowly) is not
  // the request the client meant: a purchase must not run on half its values.
  if (size_t(read > 0 ? read : 0) < length) {
    ReplyHeads::writeEngineError(connection, 400);
    return RequestGate::Result::Handled;
  }
  const size_t nul = query.find('\0', start);
  if (nul != std::string::npos) query.resize(nul);
  return RequestGate::Result::EngineContinues;
}

}  // namespace

RequestGate::Result RequestGate::onEvent(mg_event event, Connection* connection, RequestInfo* request) {
  // Events outside any client connection (a start's messages) have no client address.
  if (connection->client.remote_addr.sa.sa_family == 0) {
    if (event != EVT_LOG_MESSAGE || !keptEngineMessage(request)) logEngineMessage(event, request);
    return Result::Handled;
  }
  // Only a new request runs the gate's steps: the other events come while a
  // request is being answered, and must neither write nor check again.
  switch (event) {
    case EVT_NEW_CONNECTION:
      return refuseForeignClient(connection);
    case EVT_NEW_REQUEST:
      requestStarted = std::chrono::steady_clock::now();
      accessLineLeftOut = false;
      return admit(connection, request);
    case EVT_REQUEST_DONE:
      logAccess(connection, request);
      return Result::Handled;
    case EVT_HTTP_ERROR:
      // The engine's pages would show the client its own request back.
      ReplyHeads::writeEngineError(connection, request->status_code);
      return Result::Handled;
    default:
      logEngineMessage(event, request);
      return Result::Handled;
  }
}

bool RequestGate::clientMayConnect(Connection* connection) {
  TcpEndpoint client, server;
  return connectionEnds(connection, client, server) && validations_.validateConnection(client, server);
}

// The kernel knows a socket's owner before the client has sent anything: a
// foreign process is refused before it can hold a worker with a slow head.
RequestGate::Result RequestGate::refuseForeignClient(Connection* connection) {
  if (clientMayConnect(connection)) return Result::EngineContinues;
  // The reply is short enough for any socket buffer; the accept thread must not wait.
  mg_set_nonblocking(connection);
  ReplyHeads::writeFixed(connection, Fixed::Forbidden);
  return Result::Handled;
}

// Every URI routed to the services or the files needs a Referer of this
// server, but "/" and other names without a dot, so that the store can be
// opened from its address; a channel checks its Origin in its handshake instead.
bool RequestGate::referrerCheckApplies(const std::string& uri) const {
  return referrerCheck_ && uri.find('.') != std::string::npos && !MessageRouter(receivers_).opensChannel(uri);
}

RequestGate::Result RequestGate::admit(Connection* connection, RequestInfo* request) {
  // A page of a foreign site that had its name pointed at 127.0.0.1 (DNS
  // rebinding) names that site in "Host".
  const char* host = mg_find_header(connection, "Host");
  // The client's process was checked when its connection was accepted, and a
  // socket's owner never changes.
  if (host && !isLocalHostName(host)) {
    ReplyHeads::writeFixed(connection, Fixed::Forbidden);
    return Result::Handled;
  }
  std::string query = request->query_string ? request->query_string : "";
  const std::string uri = request->uri ? request->uri : "";
  if (referrerCheckApplies(uri)) {
    const char* referer = mg_find_header(connection, "Referer");
    if (!referer) {
      logRefusedReferer(refusalReports_, connection, request, nullptr);
      ReplyHeads::writeFixed(connection, Fixed::RefererMissing);
      return Result::Handled;
    }
    if (!origins()->names(referer)) {
      logRefusedReferer(refusalReports_, connection, request, referer);
      ReplyHeads::writeRefererRefused(connection, referer);
      return Result::Handled;
    }
  }
  const size_t before = query.size();
  if (request->request_method && std::strcmp(request->request_method, "POST") == 0 &&
      readBodyInto(connection, query) == Result::Handled)
    return Result::Handled;
  const bool largeBody = query.size() - before >= kTrimAfterBody;
  const Result result = serve(connection, request, query, uri);
  if (largeBody) {
    // The body and its copies are freed by now, but the allocator would keep
    // their pages in this worker's arena, and more with each such call.
    std::string().swap(query);
    malloc_trim(0);
  }
  return result;
}

// Steps for a new request once the client and the request are admitted.
RequestGate::Result RequestGate::serve(Connection* connection, RequestInfo* request, const std::string& query,
                                       const std::string& uri) {
  try {
    auto socket = std::make_shared<Socket>(connection, 0);
    socket->setOutputFormat(responseCoding_);
    socket->setServedOrigins(origins());
    socket->setRequestData(request->raw_request ? request->raw_request : "", request->request_len,
                           request->data_len);
    for (int i = 0; i < MAX_REQUEST_HEADERS; ++i)
      if (request->http_headers[i].name)
        socket->addHeader(request->http_headers[i].name,
                          request->http_headers[i].value ? request->http_headers[i].value : "");
    if (!request->uri) {
      ReplyHeads::writeFixed(connection, Fixed::NoMemoryOrNoUri);
      return Result::Handled;
    }
    MessageRouter router(receivers_);
    router.setResponseCoding(responseCoding_);
    MessagePtr message = router.route(query, uri, socket);
    const auto type = message ? Message::Type(message->type()) : Message::TakenOver;
    if (type == Message::StaticResource) return Result::EngineContinues;
    // A reply to HEAD is its head alone; other types were answered by their receiver.
    ReplyHeads::writeReply(connection, type, message->body(), !isHead(request));
  } catch (const std::exception& error) {
    ReplyHeads::writeServiceFailure(connection, error.what());
  }
  return Result::Handled;
}

void RequestGate::keepStartMessages(bool keep) {
  std::lock_guard<std::mutex> lock(startMessageLock_);
  keepStartMessages_ = keep;
  if (keep) startMessage_ = EngineMessage();
}

RequestGate::EngineMessage RequestGate::lastStartMessage() const {
  std::lock_guard<std::mutex> lock(startMessageLock_);
  return startMessage_;
}

bool RequestGate::keptEngineMessage(const RequestInfo* request) {
  if (!keepStartMessages_) return false;
  std::lock_guard<std::mutex> lock(startMessageLock_);
  if (!keepStartMessages_) return false;
  startMessage_ = EngineMessage{request->log_message ? request->log_message : "", request->log_errno};
  return true;
}

void RequestGate::setOrigins(ServedOrigins origins) {
  std::atomic_store(&origins_, std::shared_ptr<const ServedOrigins>(std::make_shared<ServedOrigins>(std::move(origins))));
}

std::shared_ptr<const ServedOrigins> RequestGate::origins() const { return std::atomic_load(&origins_); }

void* ostrelRequestCallback(mg_event event, Connection* connection, RequestInfo* request) {
  static char handled[] = "OK";
  auto* gate = static_cast<RequestGate*>(request->user_data);
  if (!gate) return handled;
  return gate->onEvent(event, connection, request) == RequestGate::Result::Handled ? handled : nullptr;
}
