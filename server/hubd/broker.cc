// hubd's broker: the registrations of the host's servers, starting servers
// on demand, and the answers to the location broker's procedures.
#include "broker.h"

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/utsname.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include "host/core.h"
#include "hubd_prot.h"
#include "net.h"

using velmo::daemon::log;
using velmo::daemon::parse_unsigned;
using velmo::daemon::printable;

namespace hubd {

Options options;
std::vector<Registration> registry;
std::vector<Child> children;
time_t started_at;

namespace {

// How long the servers this hubd started get to stop with it before they
// are killed.
constexpr int kStopSeconds = 10;

Registration *find(const std::string &name, uint64_t prog, uint64_t vers)
{
    for (auto &r : registry)
        if (r.name == name && r.prog == prog && r.vers == vers)
            return &r;
    return nullptr;
}

void erase(const Registration *r)
{
    registry.erase(registry.begin() + (r - registry.data()));
}

// "NAME" (program P version V), with the name escaped for the log.
std::string describe(const std::string &name, uint64_t prog, uint64_t vers)
{
    return "\"" + printable(name) + "\" (program " + std::to_string(prog) + " version " + std::to_string(vers) + ")";
}

void add_registration(const Registration &entry)
{
    if (Registration *r = find(entry.name, entry.prog, entry.vers))
        *r = entry;
    else
        registry.push_back(entry);
    log("registered %s on port %u for uid %u pid %d", describe(entry.name, entry.prog, entry.vers).c_str(),
        entry.port, static_cast<unsigned>(entry.owner), static_cast<int>(entry.pid));
}

// Whether the process is there (EPERM: there, but another user's).
bool alive(pid_t pid)
{
    return kill(pid, 0) == 0 || errno == EPERM;
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
        // The server holds none of the hubd's sockets, its clients' among them.
        close(ready[0]);
        close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
        fcntl(ready[1], F_SETFD, 0);
        exec_server(name, command->second, ready[1]);
    }
    close(ready[1]);
    if (pid < 0) {
        close(ready[0]);
        return CORE_E_SYSTEM;
    }
    // Tracked apart from its registration, which may go while the server
    // runs: every server started is stopped with the hubd.
    children.push_back(Child{pid, name});
    bool timed_out;
    *port = wait_ready(ready[0], &timed_out);
    close(ready[0]);
    if (*port == 0) {
        kill(pid, SIGTERM);
        log("%s did not become ready (%s)", name.c_str(), timed_out ? "timed out" : "it stopped");
        return timed_out ? HUBD_E_START_TIMEOUT : HUBD_E_NOT_REGISTERED;
    }
    add_registration(Registration{name, prog, vers, *port, pid, geteuid(), true});
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

// The registration, unless the process that made it has gone: then it is
// dropped, so that a server that crashed blocks no successor.
Registration *find_live(const std::string &name, uint64_t prog, uint64_t vers)
{
    Registration *r = find(name, prog, vers);
    if (r == nullptr || r->started || r->pid <= 0 || alive(r->pid))
        return r;
    log("dropped %s: its process %d has gone", describe(name, prog, vers).c_str(), static_cast<int>(r->pid));
    erase(r);
    return nullptr;
}

void answer_locate(SVCXPRT *xprt, const hubd_locate_args &args)
{
    hubd_locate_res res{};
    std::string name = args.name;
    if (Registration *r = find_live(name, args.prog, args.vers))
        res.port = r->port;
    else if (args.start)
        res.status = start_server(name, args.prog, args.vers, &res.port);
    else
        res.status = HUBD_E_NOT_REGISTERED;
    svc_sendreply(xprt, (xdrproc_t)xdr_hubd_locate_res, &res);
}

bool printable_name(const std::string &name)
{
    if (name.empty() || name.size() > HUBD_NAME_MAX)
        return false;
    for (unsigned char c : name)
        if (c < 0x20 || c >= 0x7f)
            return false;
    return true;
}

bool may_register(uid_t uid)
{
    return uid == 0 || uid == geteuid() || options.registrars.count(uid) != 0;
}

size_t held_by(uid_t uid)
{
    size_t n = 0;
    for (const auto &r : registry)
        n += r.owner == uid;
    return n;
}

// hubd's answer to a registration (`add`) or a withdrawal, and why it
// refuses one (null when it does not).
struct Verdict {
    int status;
    const char *why;
};

Verdict judge(const Caller &caller, const hubd_register_args &args, bool add)
{
    std::string name = args.name;
    if (!caller.local)
        return {HUBD_E_NOT_PERMITTED, "registrations are taken only over the local socket"};
    if (add && !printable_name(name))
        return {CORE_E_BAD_ARGUMENT, "a name is 1 to 64 printable ASCII characters"};
    if (add && (args.port == 0 || args.port > 65535))
        return {CORE_E_BAD_ARGUMENT, "the port is out of range"};
    if (options.start_commands.count(name) != 0)
        return {HUBD_E_NOT_PERMITTED, "this hubd starts the server of that name itself"};
    if (add && !may_register(caller.uid))
        return {HUBD_E_NOT_PERMITTED, "the user may not register servers"};
    const Registration *r = find(name, args.prog, args.vers);
    if (r == nullptr && !add)
        return {HUBD_E_NOT_REGISTERED, nullptr};
    if (r != nullptr && r->owner != caller.uid && caller.uid != 0)
        return {HUBD_E_NOT_PERMITTED, "another user's server holds the registration"};
    if (r == nullptr && held_by(caller.uid) >= kRegistrationsPerOwner)
        return {HUBD_E_TOO_MANY, "the user holds as many registrations as one may"};
    if (r == nullptr && registry.size() >= kRegistrationsInAll)
        return {HUBD_E_TOO_MANY, "the hubd holds as many registrations as it takes"};
    return {0, nullptr};
}

void answer_register(SVCXPRT *xprt, const Caller &caller, const hubd_register_args &args, bool add)
{
    Verdict verdict = judge(caller, args, add);
    std::string what = describe(args.name, args.prog, args.vers);
    if (verdict.why != nullptr)
        log("refused the %s of %s from %s: %s", add ? "registration" : "withdrawal", what.c_str(),
            caller.text.c_str(), verdict.why);
    if (verdict.status == 0 && add) {
        add_registration(
            Registration{args.name, args.prog, args.vers, args.port, caller.pid, caller.uid, false});
    } else if (verdict.status == 0) {
        erase(find(args.name, args.prog, args.vers));
        log("unregistered %s for %s", what.c_str(), caller.text.c_str());
    }
    svc_sendreply(xprt, (xdrproc_t)xdr_int, &verdict.status);
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

Caller caller_of(SVCXPRT *xprt)
{
    Caller caller;
    sockaddr_storage local{};
    socklen_t length = sizeof local;
    if (getsockname(xprt->xp_fd, reinterpret_cast<sockaddr *>(&local), &length) == 0 && local.ss_family == AF_UNIX) {
        ucred cred{};
        socklen_t size = sizeof cred;
        caller.local = getsockopt(xprt->xp_fd, SOL_SOCKET, SO_PEERCRED, &cred, &size) == 0;
        caller.uid = cred.uid;
        caller.pid = cred.pid;
        caller.text = caller.local ? "uid " + std::to_string(cred.uid) + " pid " + std::to_string(cred.pid)
                                   : "the local socket, without credentials";
        return caller;
    }
    velmo::net::Address peer;
    length = sizeof peer.storage;
    if (getpeername(xprt->xp_fd, reinterpret_cast<sockaddr *>(&peer.storage), &length) != 0)
        return caller.text = "an unknown peer", caller;
    peer.length = length;
    caller.text = velmo::net::address_text(peer) + " port " + std::to_string(velmo::net::address_port(peer));
    return caller;
}

void dispatch(svc_req *request, SVCXPRT *xprt)
{
    bool registering = request->rq_proc == HUBDPROC_REGISTER || request->rq_proc == HUBDPROC_UNREGISTER;
    dispatch_from(registering ? caller_of(xprt) : Caller{}, request, xprt);
}

void dispatch_from(const Caller &caller, svc_req *request, SVCXPRT *xprt)
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
            answer_register(xprt, caller, a, request->rq_proc == HUBDPROC_REGISTER);
        });
        break;
    default:
        svcerr_noproc(xprt);
    }
}

namespace {

// Forgets a started server that has stopped, and its registration.
void forget_child(pid_t pid, int status)
{
    for (auto it = children.begin(); it != children.end(); ++it) {
        if (it->pid != pid)
            continue;
        if (WIFSIGNALED(status))
            log("%s (pid %d) stopped by signal %d", it->name.c_str(), static_cast<int>(pid), WTERMSIG(status));
        else
            log("%s (pid %d) stopped with status %d", it->name.c_str(), static_cast<int>(pid), WEXITSTATUS(status));
        children.erase(it);
        break;
    }
    std::erase_if(registry, [&](const Registration &r) { return r.started && r.pid == pid; });
}

}  // namespace

void reap_children()
{
    int status;
    pid_t pid;
    while ((pid = waitpid(-1, &status, WNOHANG)) > 0)
        forget_child(pid, status);
}

void stop_started_servers()
{
    for (const auto &c : children)
        kill(c.pid, SIGTERM);
    // Waits for every one, so that none is left a zombie; one that has not
    // stopped within kStopSeconds is killed.
    for (int waited = 0; !children.empty() && waited < kStopSeconds * 100; ++waited) {
        reap_children();
        if (!children.empty())
            usleep(10000);
    }
    for (const auto &c : children) {
        log("%s (pid %d) did not stop: killing it", c.name.c_str(), static_cast<int>(c.pid));
        kill(c.pid, SIGKILL);
    }
    while (!children.empty()) {
        int status;
        pid_t pid = children.front().pid;
        if (waitpid(pid, &status, 0) == pid)
            forget_child(pid, status);
        else if (errno != EINTR)
            children.erase(children.begin());
    }
}

}  // namespace hubd
