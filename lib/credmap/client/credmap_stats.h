// Private to the library: counting the exchanges with servers.
#ifndef CREDMAP_CLIENT_CREDMAP_STATS_H
#define CREDMAP_CLIENT_CREDMAP_STATS_H

#include <chrono>

#include "velmo/credmap.h"

// One request sent to a server and its outcome: CORE_OK, or the status of a
// failed call or of the answer.
void credmap_note_exchange(core_status_t status, std::chrono::steady_clock::duration waited);
// Time spent waiting for a server outside an exchange (a contact).
void credmap_note_wait(std::chrono::steady_clock::duration waited);

#endif
