// hubd's broker: the registrations of the host's servers, starting servers
// on demand, and the answers to the location broker's procedures.  Apart
// from main so that other programs (fuzz targets) can drive the dispatch.
#ifndef HUBD_BROKER_H
#define HUBD_BROKER_H

#include <rpc/rpc.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <map>
#include <string>
#include <vector>

#include "daemon.h"
#include "host/hubd.h"

namespace hubd {

struct Options {
    std::string address = "0.0.0.0";
    unsigned port = HUBD_DEFAULT_PORT;
    std::string port_file;
    std::string host_name;
    bool os_name_given = false;
    std::string os_name;
    std::string os_release;
    bool no_hostinfo = false;
    std::map<std::string, std::string> start_commands;
    int start_timeout = 10;
    unsigned idle_timeout = velmo::daemon::kIdleSeconds;
};

struct Registration {
    std::string name;
    uint64_t prog;
    uint64_t vers;
    unsigned port;
    pid_t pid;
    bool started;  // started by this hubd, stopped with it
};

extern Options options;
extern std::vector<Registration> registry;
extern time_t started_at;

// Answers one request of the location broker's program.
void dispatch(svc_req *request, SVCXPRT *xprt);
// Forgets the started servers that have stopped (on SIGCHLD).
void reap_children();
// Stops the servers this hubd started (when it stops).
void stop_started_servers();

}  // namespace hubd

#endif
