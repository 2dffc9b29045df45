// The reference credmap_server: shared state of the daemon.
#ifndef CREDMAP_SERVER_SERVER_H
#define CREDMAP_SERVER_SERVER_H

#include <rpc/rpc.h>

#include <csignal>

#include <atomic>
#include <cstdint>
#include <map>
#include <set>
#include <string>

#include "accounts.h"
#include "source.h"

namespace credmap_server {

// How the server behaves, including the ways tests ask it to misbehave as
// real servers do.
struct Config {
    Directory directory;                  // the directory file, when that is the source
    const AccountSource *source = nullptr;  // null: the directory file above
    std::set<std::string> refused_names;  // --refuse, in lower case
    bool nt_attribute = true;  // attributes carry "accepts NT SIDs"
    std::atomic<long> ignore_contacts{0};  // contacts left unanswered; -1: all
    std::atomic<long> reset_contacts{0};   // contacts answered by a reset; -1: all
    std::set<unsigned> absent_procedures;
    std::map<unsigned, int> forced_status;
    unsigned delay_ms = 0;
    bool too_many_groups = false;               // replies carry more groups than a record holds
    uint32_t answer_groups = IDKIT_WHOLE_MAX_GROUPS;  // groups answered in a credential set at most
    std::string request_log;                    // "proc uniquifier seqno" per request
    std::atomic<bool> exit_requested{false};
    bool chaos = false;  // damage every reply (chaos.h)
    uint64_t chaos_seed = 0;
};

// Set by SIGUSR1 (each reply then waits a random time of up to two seconds)
// and cleared by SIGUSR2: servers that turn slow while in use.
extern volatile sig_atomic_t slow_replies;

extern Config config;

void dispatch(svc_req *request, SVCXPRT *xprt);

}  // namespace credmap_server

#endif
