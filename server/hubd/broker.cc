// hubd's broker: the registrations of the host's servers, starting servers
// on demand, and the answers to the location broker's procedures.
#include "broker.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "host/core.h"
#include "hubd_prot.h"

using velmo::daemon::log;
using velmo::daemon::parse_unsigned;

namespace hubd {

Options options;
std::vector<Registration> registry;
time_t started_at;

namespace {

Registration *find(const std::string &name, uint64_t prog, uint64_t vers)
{
    for (auto &r : registry)
        if (r.name == name && r.prog == prog && r.vers == vers)
            return &r;
    return nullptr;
}

void add_registration(const Registration &entry)
{
    if (Registration *r = find(entry.name, entry.prog, entry.vers))
        *r = entry;
    else
        registry.push_back(entry);
    log("registered %s (program %llu version %llu) on port %u", entry.name.c_str(),
        static_cast<unsigned long long>(entry.prog), static_cast<unsigned long long>(entry.vers), entry.port);
}

// Reads the port a started server writes to its ready descriptor, within
// the start time-out.  Returns 0 when the server exits or stays silent.
unsigned wait_ready(int fd, bool *timed_out)
{
    std::string text;
    timespec deadline;
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += options.start_timeout;
    *timed_out = false;
    for (;;) {
        timespec now;
        clock_gettime(CLOCK_MONOTONIC, &now);
        long left = (deadline.tv_sec - now.tv_sec) * 1000 + (deadline.tv_nsec - now.tv_nsec) / 1000000;
        if (left <= 0) {
            *timed_out = true;
            return 0;
        }
        pollfd p{fd, POLLIN, 0};
        int ready = poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno != EINTR)
            return 0;
        if (ready <= 0)
            continue;
        char buffer[32];
        ssize_t n = read(fd, buffer, sizeof buffer);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR))
            return 0;
        if (n > 0)
            text.append(buffer, static_cast<size_t>(n));
        if (text.find('\n') != std::string::npos || text.size() > 16) {
            unsigned long port;
            text = text.substr(0, text.find('\n'));
            return parse_unsigned(text.c_str(), 65535, &port) ? static_cast<unsigned>(port) : 0;
        }
    }
}

void exec_server(const std::string &name, const std::string &command, int ready_fd)
{
    sigset_t none;
    sigemptyset(&none);
    sigprocmask(SIG_SETMASK, &none, nullptr);
    signal(SIGPIPE, SIG_DFL);
    std::string fd_text = std::to_string(ready_fd);
    setenv("HUBD_READY_FD", fd_text.c_str(), 1);
    setenv("HUBD_ADDRESS", options.address.c_str(), 1);
    setenv("HUBD_PORT", std::to_string(options.port).c_str(), 1);
    setenv("HUBD_SERVER_NAME", name.c_str(), 1);
    std::string line = "exec " + command;
    execl("/bin/sh", "sh", "-c", line.c_str(), static_cast<char *>(nullptr));
    _exit(127);
}

// Starts a server and waits, within the start time-out, until it says it
// listens.  The hubd answers nobody else meanwhile: a start is rare and
// bounded, and the servers of a host are few.
core_status_t start_server(const std::string &name, uint64_t prog, uint64_t vers, unsigned *port)
{
    auto command = options.start_commands.find(name);
    if (command == options.start_commands.end())
        return HUBD_E_NOT_REGISTERED;
    int ready[2];
    if (pipe2(ready, O_CLOEXEC) != 0)
        return CORE_E_SYSTEM;
    log("starting %s: %s", name.c_str(), command->second.c_str());
    pid_t pid = fork();
    if (pid == 0) {
        close(ready[0]);
        fcntl(ready[1], F_SETFD, 0);
        exec_server(name, command->second, ready[1]);
    }
    close(ready[1]);
    if (pid < 0) {
        close(ready[0]);
        return CORE_E_SYSTEM;
    }
    bool timed_out;
    *port = wait_ready(ready[0], &timed_out);
    close(ready[0]);
    if (*port == 0) {
        kill(pid, SIGTERM);
        log("%s did not become ready (%s)", name.c_str(), timed_out ? "timed out" : "it stopped");
        return timed_out ? HUBD_E_START_TIMEOUT : HUBD_E_NOT_REGISTERED;
    }
    add_registration(Registration{name, prog, vers, *port, pid, true});
    return CORE_OK;
}

void answer_hostinfo(SVCXPRT *xprt)
{
    hubd_hostinfo_res res{};
    std::string node = options.host_name.substr(0, options.host_name.find('.'));
    utsname u{};
    uname(&u);
    res.status = options.no_hostinfo ? HUBD_E_NO_HOSTINFO : 0;
    res.host_name = const_cast<char *>(options.host_name.c_str());
    res.node_name = const_cast<char *>(node.c_str());
    res.os_name = const_cast<char *>(options.os_name.c_str());
    res.os_release = const_cast<char *>(options.os_release.c_str());
    res.os_version = u.version;
    res.machine = u.machine;
    res.boot_time = static_cast<uint64_t>(started_at);
    res.pid = static_cast<uint64_t>(getpid());
    res.nservers = registry.size();
    svc_sendreply(xprt, (xdrproc_t)xdr_hubd_hostinfo_res, &res);
}

void answer_locate(SVCXPRT *xprt, const hubd_locate_args &args)
{
    hubd_locate_res res{};
    std::string name = args.name;
    if (Registration *r = find(name, args.prog, args.vers))
        res.port = r->port;
    else if (args.start)
        res.status = start_server(name, args.prog, args.vers, &res.port);
    else
        res.status = HUBD_E_NOT_REGISTERED;
    svc_sendreply(xprt, (xdrproc_t)xdr_hubd_locate_res, &res);
}

void answer_register(SVCXPRT *xprt, const hubd_register_args &args, bool add)
{
    int status = 0;
    if (add && (args.port == 0 || args.port > 65535))
        status = CORE_E_BAD_ARGUMENT;
    else if (add)
        add_registration(Registration{args.name, args.prog, args.vers, args.port, static_cast<pid_t>(args.pid), false});
    else if (Registration *r = find(args.name, args.prog, args.vers))
        registry.erase(registry.begin() + (r - registry.data()));
    else
        status = HUBD_E_NOT_REGISTERED;
    svc_sendreply(xprt, (xdrproc_t)xdr_int, &status);
}

bool_t xdr_no_arguments(XDR *, void *)
{
    return TRUE;
}

// Decodes the arguments into `args`, answers with `answer` and releases
// them; an undecodable request gets the standard decode error.
template<typename Args, typename Answer>
void with_args(SVCXPRT *xprt, xdrproc_t xdr_args, Answer answer)
{
    Args args{};
    if (!svc_getargs(xprt, xdr_args, reinterpret_cast<char *>(&args))) {
        svcerr_decode(xprt);
    } else {
        answer(args);
    }
    svc_freeargs(xprt, xdr_args, reinterpret_cast<char *>(&args));
}

}  // namespace

void dispatch(svc_req *request, SVCXPRT *xprt)
{
    switch (request->rq_proc) {
    case NULLPROC:
        svc_sendreply(xprt, (xdrproc_t)xdr_no_arguments, nullptr);
        break;
    case HUBDPROC_HOSTINFO:
        answer_hostinfo(xprt);
        break;
    case HUBDPROC_LOCATE:
        with_args<hubd_locate_args>(xprt, (xdrproc_t)xdr_hubd_locate_args,
                                    [&](const hubd_locate_args &a) { answer_locate(xprt, a); });
        break;
    case HUBDPROC_REGISTER:
    case HUBDPROC_UNREGISTER:
        with_args<hubd_register_args>(xprt, (xdrproc_t)xdr_hubd_register_args, [&](const hubd_register_args &a) {
            answer_register(xprt, a, request->rq_proc == HUBDPROC_REGISTER);
        });
        break;
    default:
        svcerr_noproc(xprt);
    }
}

void reap_children()
{
    int status;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0) {
        for (size_t i = 0; i < registry.size();) {
            if (registry[i].started && registry[i].pid == pid) {
                log("%s (pid %d) stopped", registry[i].name.c_str(), static_cast<int>(pid));
                registry.erase(registry.begin() + static_cast<long>(i));
            } else {
                ++i;
            }
        }
    }
}

void stop_started_servers()
{
    for (const auto &r : registry)
        if (r.started)
            kill(r.pid, SIGTERM);
}

}  // namespace hubd
