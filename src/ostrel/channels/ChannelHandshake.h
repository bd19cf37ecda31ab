#pragma once

// The opening of an event channel on its request's connection: the request must
// ask for an upgrade and come from a local page; it is answered with the
// handshake of its protocol (RFC 6455, or the early drafts with or without keys)
// or refused with a status line.

#include <string>

class Socket;

enum class WireProtocol { kDraft, kRfc6455 };

namespace ChannelHandshake {

// Writes the handshake, or the refusal, on the request's connection; false when
// refused. `protocol` tells which framing the channel speaks from then on.
bool answer(const Socket& request, const std::string& uri, WireProtocol& protocol);

// Refuses a channel while too many are open.
void refuseBusy(const Socket& request);

}  // namespace ChannelHandshake
