// The simulated hosts of the soak: a hubd per host on a loopback address of
// its own, which starts credmap_server on demand for the Windows hosts, and
// the faults done to them while the load runs.  Only the main thread starts,
// stops, signals and reaps daemons.
#ifndef TESTS_SOAK_HOSTS_H
#define TESTS_SOAK_HOSTS_H

#include <sys/types.h>

#include <string>
#include <vector>

namespace soak {

// Where the programs and files are.
struct Setup {
    std::string hubd;      // the hubd program
    std::string server;    // the credmap_server program
    std::string accounts;  // the account directory the servers serve
    std::string dir;       // the run's own folder: hosts file, port files, logs
};

struct Host {
    std::string name;
    std::string address;
    bool windows = true;
    unsigned port = 0;  // chosen by the system at the first start, kept across restarts
    pid_t hubd = -1;
};

// Starts the host's hubd, on its port once it has one.  False when it is
// not listening within five seconds (the port may still be held).
bool start_hubd(Host &host, const Setup &setup);
// SIGTERM, then SIGKILL after 15 s; returns the wait status.
int stop_hubd(Host &host);
// The credmap_server that the host's hubd started, or -1.
pid_t server_of(const Host &host);
// Whether the process has installed a handler for the signal.
bool handles(pid_t pid, int signo);
// Reaps every child that has ended without being stopped by stop_hubd: the
// servers a restarted hubd left behind (this process is their subreaper)
// and hubds that ended on their own.  Abnormal ends are added to *problems.
void reap(std::vector<Host> &hosts, std::vector<std::string> *problems);
// Stops every hubd, waits for the servers to go, and kills what remains.
// Returns the number of processes that had to be killed.
int stop_all(std::vector<Host> &hosts, std::vector<std::string> *problems);
void write_hosts_file(const std::string &path, const std::vector<Host> &hosts);
// Lines of the daemons' logs in which a sanitizer reports a fault.
std::vector<std::string> sanitizer_reports(const std::vector<Host> &hosts, const Setup &setup);

}  // namespace soak

#endif
