#pragma once

// Every reply head the web front writes, in one place, with the texts byte for
// byte. Replies whose head carries no length end with the connection, so each
// of these marks the connection to close.

#include <string>

#include "ostrel/web/Message.h"

struct Connection;

namespace ReplyHeads {

enum class Fixed {
  Forbidden,         // another user's process, a foreign Host or Origin
  RefererMissing,    // "Referrer: is NULL"
  BadBodyLength,     // a POST length that is no number
  BodyTooLarge,      // a POST body beyond what a service call takes
  NoMemoryOrNoUri,   // the body could not be held; the request had no URI
  LengthRequired,    // a POST without "Content-Length"
  NotAnUpgrade,      // a channel's address asked for without an upgrade
  Busy,              // too many channels open
};

// Lines of every page the store may show: no other site may frame it (a
// framed store would take clicks meant for another page). The engine sends
// them with every file; each line ends with CR LF.
extern const char* const kFramingHeaders;

void writeFixed(Connection* connection, Fixed head);
// The Referer is echoed, cut so that the whole head fits the engine's
// formatting buffer.
void writeRefererRefused(Connection* connection, const char* referer);
// A receiver's reply of this type (0, 1, 3, 5, 6 or 7), its body left out for
// HEAD; false, and nothing written, for a type that has no reply.
bool writeReply(Connection* connection, Message::Type type, const std::string& body, bool withBody);
// A receiver's failure, its text as the body.
void writeServiceFailure(Connection* connection, const std::string& text);
// A bare status line in place of the engine's error page.
void writeEngineError(Connection* connection, int status);

}  // namespace ReplyHeads
