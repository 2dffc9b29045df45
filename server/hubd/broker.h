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
#include <set>
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
    unsigned max_connections = 128;
    std::string socket_path;     // empty: the default, which may be missing
    std::set<uid_t> registrars;  // may register, besides root and hubd's own user
};

// Registrations a user may hold, and all users together.
constexpr size_t kRegistrationsPerOwner = 16;
constexpr size_t kRegistrationsInAll = 256;

struct Registration {
    std::string name;
    uint64_t prog;
    uint64_t vers;
    unsigned port;
    pid_t pid;     // the server; for one that registered, as the kernel gave it (0: unknown)
    uid_t owner;   // who registered it; hubd's own user for a server it started
    bool started;  // started by this hubd: the name is hubd's
};

// A server this hubd started and has not yet seen stop.
struct Child {
    pid_t pid;
    std::string name;
};

// Who sent a request, as far as hubd can know.
struct Caller {
    bool local = false;  // over hubd's local socket: uid and pid come from the kernel
    uid_t uid = 0;
    pid_t pid = 0;
    std::string text;    // for the log: "uid U pid P", or the network address and port
};

extern Options options;
extern std::vector<Registration> registry;
extern std::vector<Child> children;
extern time_t started_at;

// Answers one request of the location broker's program; the caller is
// found from the transport's socket.
void dispatch(svc_req *request, SVCXPRT *xprt);
// The same for a caller given: for programs that drive the dispatch from
// memory (fuzz targets).
void dispatch_from(const Caller &caller, svc_req *request, SVCXPRT *xprt);
// Who is on the other end of a transport's socket.
Caller caller_of(SVCXPRT *xprt);
// Forgets the started servers that have stopped (on SIGCHLD).
void reap_children();
// Stops the servers this hubd started and waits until they have (when it
// stops).
void stop_started_servers();

}  // namespace hubd

#endif
