// A lying server, for tests: replies damaged in content and delivery.
#ifndef CREDMAP_SERVER_CHAOS_H
#define CREDMAP_SERVER_CHAOS_H

#include "server.h"

namespace credmap_server {

// Sends the reply as svc_sendreply would, then damages it at random (seeded
// by config.chaos_seed): changed counts and lengths, a body cut short or
// padded, status 0 with garbage behind it, counted strings longer than any
// record holds, a byte a write, a stall, the connection closed or reset
// part-way.  Some replies go out intact.
void chaos_send(SVCXPRT *xprt, xdrproc_t encode, void *reply);

}  // namespace credmap_server

#endif
