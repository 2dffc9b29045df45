// The parts every daemon of the project shares: logging, signals, the
// service loop and the port file.
#include "daemon.h"

#include <rpc/rpc.h>
#include <rpc/rpc_com.h>

#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <unistd.h>
#include <map>
#include <sys/socket.h>
#include <time.h>
#include <vector>

namespace velmo::daemon {
namespace {

const char *program = "daemon";
int signal_pipe[2] = {-1, -1};
}  // namespace

static volatile sig_atomic_t stop_requested_flag = 0;

namespace {

void on_signal(int signo)
{
    int saved = errno;
    unsigned char c = static_cast<unsigned char>(signo);
    (void)!write(signal_pipe[1], &c, 1);
    errno = saved;
}

}  // namespace

// Returns false when the daemon is asked to stop.
bool handle_signals(const std::function<void()> &on_child)
{
    unsigned char signo;
    bool go_on = true;
    while (read(signal_pipe[0], &signo, 1) == 1) {
        if (signo == SIGCHLD)
            on_child();
        else
            go_on = false;
    }
    return go_on;
}

int signal_fd()
{
    return signal_pipe[0];
}

bool stop_requested()
{
    return ::velmo::daemon::stop_requested_flag != 0;
}

namespace {

bool is_listener(int fd, const std::vector<int> &listeners)
{
    for (int l : listeners)
        if (fd == l)
            return true;
    return false;
}

// Shuts down connections silent for too long.  The transport then reads the
// end of the stream and Sun RPC destroys it as for any closed connection.
void close_idle(const std::vector<pollfd> &fds, const std::vector<int> &listeners, unsigned idle_seconds,
                std::map<int, time_t> *last_active)
{
    time_t now = time(nullptr);
    std::map<int, time_t> seen;
    for (const auto &p : fds) {
        if (p.fd < 0 || is_listener(p.fd, listeners))
            continue;
        auto known = last_active->find(p.fd);
        time_t last = p.revents != 0 || known == last_active->end() ? now : known->second;
        if (now - last >= static_cast<time_t>(idle_seconds)) {
            log("closing a connection silent for %u seconds", idle_seconds);
            shutdown(p.fd, SHUT_RDWR);
            continue;
        }
        seen[p.fd] = last;
    }
    last_active->swap(seen);
}

// Takes the listeners out of the poll while max_connections are open, so
// that a flood of connections neither exhausts the descriptors nor spins
// the loop on a listener whose accept fails.  Returns whether it did.
bool hold_listeners(std::vector<pollfd> *fds, const std::vector<int> &listeners, unsigned max_connections)
{
    unsigned open = 0;
    for (const auto &p : *fds)
        open += p.fd >= 0 && !is_listener(p.fd, listeners);
    if (open < max_connections)
        return false;
    for (auto &p : *fds)
        if (is_listener(p.fd, listeners))
            p.fd = -1;
    return true;
}

}  // namespace

void set_program(const char *name)
{
    program = name;
}

void log(const char *format, ...)
{
    char line[1024];
    va_list args;
    va_start(args, format);
    vsnprintf(line, sizeof line, format, args);
    va_end(args);
    fprintf(stderr, "%s[%d]: %s\n", program, static_cast<int>(getpid()), line);
}

bool setup_signals()
{
    if (pipe2(signal_pipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction sa {};
    sa.sa_handler = on_signal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
    sigaction(SIGCHLD, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
    return true;
}

void limit_records(int max_record)
{
    rpc_control(RPC_SVC_CONNMAXREC_SET, &max_record);
}

void stop()
{
    stop_requested_flag = 1;
}

void serve(const std::function<void()> &on_child, const std::vector<int> &listeners, unsigned idle_seconds,
           unsigned max_connections)
{
    std::map<int, time_t> last_active;
    bool held = false;
    while (!stop_requested_flag) {
        std::vector<pollfd> fds(svc_pollfd, svc_pollfd + svc_max_pollfd);
        bool hold = hold_listeners(&fds, listeners, max_connections);
        if (hold && !held)
            log("%u connections open: new ones wait until one closes", max_connections);
        held = hold;
        fds.push_back(pollfd{signal_pipe[0], POLLIN, 0});
        int n = poll(fds.data(), fds.size(), idle_seconds == 0 ? -1 : 1000);
        if (n < 0 && errno != EINTR)
            return;
        if ((fds.back().revents & POLLIN) && !handle_signals(on_child))
            return;
        fds.pop_back();
        if (idle_seconds != 0)
            close_idle(fds, listeners, idle_seconds, &last_active);
        int ready = 0;
        for (const auto &p : fds)
            ready += p.fd >= 0 && p.revents != 0;
        if (ready > 0)
            svc_getreq_poll(fds.data(), ready);
    }
}

bool write_port_file(const std::string &path, unsigned port)
{
    if (path.empty())
        return true;
    std::string tmp = path + ".tmp";
    FILE *f = fopen(tmp.c_str(), "w");
    if (f == nullptr)
        return false;
    fprintf(f, "%u\n", port);
    return fclose(f) == 0 && rename(tmp.c_str(), path.c_str()) == 0;
}

bool parse_unsigned(const char *text, unsigned long max, unsigned long *out)
{
    char *end = nullptr;
    errno = 0;
    if (text == nullptr || text[0] == '-' || text[0] == '\0')
        return false;
    unsigned long value = std::strtoul(text, &end, 10);
    if (errno != 0 || *end != '\0' || value > max)
        return false;
    *out = value;
    return true;
}

std::string printable(std::string_view text)
{
    std::string out;
    for (unsigned char c : text) {
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += static_cast<char>(c);
        } else {
            char hex[5];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

}  // namespace velmo::daemon
