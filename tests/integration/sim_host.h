// Simulated hosts for tests: each host is a hubd bound to its own loopback
// address, with a credmap_server that the hubd starts on demand or that
// registers itself, all named in a hosts file of the test's own.
#ifndef TESTS_INTEGRATION_SIM_HOST_H
#define TESTS_INTEGRATION_SIM_HOST_H

#include <sys/types.h>

#include <deque>
#include <string>
#include <vector>

namespace sim {

struct HostOptions {
    std::string os_name = "Windows Server 2022";
    bool hostinfo = true;                  // false: hubd refuses host information
    bool server = true;                    // false: no credmap_server at all
    bool on_demand = true;                 // hubd starts the server when asked
    std::vector<std::string> server_args;  // extra credmap_server options
    std::vector<std::string> hubd_args;    // extra hubd options
};

// Shorthands for the common options.
inline HostOptions server_args(std::vector<std::string> args)
{
    HostOptions o;
    o.server_args = std::move(args);
    return o;
}

inline HostOptions no_server()
{
    HostOptions o;
    o.server = false;
    return o;
}

inline HostOptions os(const std::string &name)
{
    HostOptions o;
    o.os_name = name;
    return o;
}

struct Host {
    std::string name;
    std::string address;
    unsigned hubd_port = 0;
    std::string socket;       // the hubd's local socket, for registrations
    std::string log;          // what the hubd and its servers logged
    pid_t hubd_pid = -1;
    pid_t server_pid = -1;    // when the server registered itself
    std::string request_log;  // the server's request log
};

// A set of simulated hosts; stops every daemon it started when destroyed.
class Network {
public:
    Network();
    ~Network();
    Network(const Network &) = delete;
    Network &operator=(const Network &) = delete;

    // Starts a host (one named unreachable before becomes reachable); fails
    // the current test when a daemon cannot be started.
    Host &add(const std::string &name, const HostOptions &options = {});
    // Stops the host's hubd (and the servers it started) now; returns its
    // wait status.
    int stop_hubd(const Host &host);
    // Names a host in the hosts file that nothing listens for.
    void add_unreachable(const std::string &name);
    // The "PROC UNIQUIFIER SEQNO" lines the host's server logged.
    std::vector<std::string> requests(const Host &host) const;
    // Starts a Sun RPC server of `program` and `version` on 127.0.0.1 that
    // records the credentials of every call; returns its port.  Its lines
    // ("unix MACHINE UID GID G1,G2,..." for AUTH_UNIX) come from recorded().
    unsigned add_recorder(unsigned long program, unsigned long version);
    std::vector<std::string> recorded() const;
    // The pid of the credmap_server serving the host (started by its hubd
    // or by the test), or -1.
    pid_t server_pid(const Host &host) const;

private:
    void write_hosts_file() const;
    std::string dir_;
    std::deque<Host> hosts_;  // references to hosts stay valid as hosts are added
    std::vector<std::pair<std::string, std::string>> unreachable_;
    pid_t recorder_pid_ = -1;
    std::string saved_hosts_;
    bool had_hosts_ = false;
};

// Gives this process (and daemons started afterwards) local accounts mirroring some of the sample domain's, in a
// private view of /etc/passwd and /etc/group: "alice" (41104), "quincy" (40000) in "team001".."team500" (40001..40500)
// and "engineering" (40600), and "lab001".."lab500" (50001..50500), groups the domain lacks.  Once per process, before
// starting daemons.  Returns false (skip the test) when not root; fails the test when root cannot do it.
bool mirror_accounts();

// Starts a program with stdin and stdout on /dev/null and stderr appended to `log`; it dies with the test.
pid_t spawn(std::vector<std::string> argv, const std::string &log);
// Waits up to five seconds for a daemon to write its port into `file`; 0 when it does not.
unsigned wait_port(const std::string &file);
// Stops a program (SIGTERM, after 3 s SIGKILL) and returns its wait status.
int stop(pid_t pid);
// Paths of the daemons and the sample directory, set by the build.
std::string hubd_path();
std::string server_path();
std::string accounts_path();
std::string recorder_path();

}  // namespace sim

#endif
