#pragma once

#include "server/router.h"

namespace tovel {

// What the system may hold unsent for one stream client: about two pictures. Beyond it a stream's
// sends wait where the stream can see them and replace or drop them, so a slow client gets fewer,
// fresher pictures instead of an ever longer delay.
inline constexpr int kStreamUnsentBytes = 128 * 1024;

// Keeps one read armed on a stream client's connection, so that a client that goes away ends its
// stream even while nothing is being sent; whatever the client sends is discarded. The end of the
// client's data or a read error cancels the connection.
void cancelWhenPeerLeaves(const ConnectionPtr& connection);

} // namespace tovel
