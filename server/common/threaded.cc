// A Sun RPC service that answers many clients at once (threaded.h).
#include "threaded.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>
#include <type_traits>
#include <vector>

#include "daemon.h"

namespace velmo::daemon {
namespace {

constexpr uint32_t kLastFragment = 0x80000000u;
constexpr size_t kMaxReply = 16u << 20;
constexpr int kWriteTimeoutMs = 30000;

// A client's connection.  Its fields other than `busy` and `closing` belong
// to the reading thread.
struct Connection {
    int fd = -1;
    std::string in;      // bytes read and not yet cut into records
    std::string record;  // fragments of the record being put together
    std::deque<std::string> calls;
    time_t last_active = 0;
    bool busy = false;     // a worker has one of its calls (under `lock`)
    bool closing = false;  // to be closed when the worker is done (under `lock`)
};

struct Job {
    std::shared_ptr<Connection> conn;
    std::string call;
};

struct Shared {
    const ThreadedService *service = nullptr;
    std::mutex lock;
    std::condition_variable ready;
    std::deque<Job> jobs;
    bool stopping = false;
    int wake[2] = {-1, -1};  // a worker wrote here: a connection is free again
};

// ---- The transport a dispatch routine sees for one call ----

struct CallTransport {
    SVCXPRT xprt;
    XDR args;
    uint32_t xid = 0;
    std::string reply;
};

CallTransport *transport_of(SVCXPRT *xprt)
{
    return static_cast<CallTransport *>(xprt->xp_p1);
}

bool_t no_recv(SVCXPRT *, rpc_msg *)
{
    return FALSE;
}

xprt_stat idle_stat(SVCXPRT *)
{
    return XPRT_IDLE;
}

bool_t get_args(SVCXPRT *xprt, xdrproc_t proc, void *args)
{
    return proc(&transport_of(xprt)->args, args);
}

bool_t free_args(SVCXPRT *, xdrproc_t proc, void *args)
{
    XDR freeing{};
    freeing.x_op = XDR_FREE;
    return proc(&freeing, args);
}

// Encodes the reply as one record, into a buffer that grows until it fits.
bool_t send_reply(SVCXPRT *xprt, rpc_msg *msg)
{
    CallTransport *t = transport_of(xprt);
    msg->rm_xid = t->xid;
    for (size_t size = 4096; size <= kMaxReply; size *= 2) {
        std::string buffer(size, '\0');
        XDR xdrs;
        xdrmem_create(&xdrs, buffer.data() + 4, static_cast<u_int>(size - 4), XDR_ENCODE);
        bool ok = xdr_replymsg(&xdrs, msg);
        u_int length = xdr_getpos(&xdrs);
        xdr_destroy(&xdrs);
        if (!ok)
            continue;
        uint32_t mark = htonl(kLastFragment | length);
        std::memcpy(buffer.data(), &mark, 4);
        buffer.resize(4 + length);
        t->reply += buffer;
        return TRUE;
    }
    return FALSE;
}

void no_destroy(SVCXPRT *) {}

// The operations table's type is nested in SVCXPRT.
using Ops = std::remove_const_t<std::remove_pointer_t<decltype(SVCXPRT::xp_ops)>>;
const Ops kCallOps = {no_recv, idle_stat, get_args, send_reply, free_args, no_destroy};

// ---- Writing ----

bool write_all(int fd, const char *data, size_t size)
{
    while (size > 0) {
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n > 0) {
            data += n;
            size -= static_cast<size_t>(n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        pollfd p{fd, POLLOUT, 0};
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK) || poll(&p, 1, kWriteTimeoutMs) <= 0)
            return false;
    }
    return true;
}

// ---- One call, on a worker ----

// Decodes the call's header, runs the dispatch routine, writes its reply.
// False when the connection should be closed.
bool answer(const ThreadedService &service, int fd, std::string &bytes)
{
    CallTransport t{};
    t.xprt.xp_fd = fd;
    t.xprt.xp_ops = &kCallOps;
    t.xprt.xp_verf = _null_auth;
    t.xprt.xp_p1 = &t;
    xdrmem_create(&t.args, bytes.data(), static_cast<u_int>(bytes.size()), XDR_DECODE);
    char cred[MAX_AUTH_BYTES], verf[MAX_AUTH_BYTES];
    rpc_msg msg{};
    msg.rm_call.cb_cred.oa_base = cred;
    msg.rm_call.cb_verf.oa_base = verf;
    if (!xdr_callmsg(&t.args, &msg) || msg.rm_direction != CALL) {
        xdr_destroy(&t.args);
        return false;
    }
    t.xid = msg.rm_xid;
    svc_req request{};
    request.rq_prog = static_cast<u_int32_t>(msg.rm_call.cb_prog);
    request.rq_vers = static_cast<u_int32_t>(msg.rm_call.cb_vers);
    request.rq_proc = static_cast<u_int32_t>(msg.rm_call.cb_proc);
    request.rq_cred = msg.rm_call.cb_cred;
    request.rq_xprt = &t.xprt;
    if (msg.rm_call.cb_rpcvers != RPC_MSG_VERSION) {
        rpc_msg denied{};
        denied.rm_direction = REPLY;
        denied.rm_reply.rp_stat = MSG_DENIED;
        denied.rjcted_rply.rj_stat = RPC_MISMATCH;
        denied.rjcted_rply.rj_vers.low = denied.rjcted_rply.rj_vers.high = RPC_MSG_VERSION;
        send_reply(&t.xprt, &denied);
    } else if (request.rq_prog != service.program) {
        svcerr_noprog(&t.xprt);
    } else if (request.rq_vers != service.version) {
        svcerr_progvers(&t.xprt, service.version, service.version);
    } else {
        service.dispatch(&request, &t.xprt);
    }
    xdr_destroy(&t.args);
    return t.reply.empty() || write_all(fd, t.reply.data(), t.reply.size());
}

void work(Shared *shared)
{
    for (;;) {
        Job job;
        {
            std::unique_lock<std::mutex> lock(shared->lock);
            shared->ready.wait(lock, [&] { return shared->stopping || !shared->jobs.empty(); });
            if (shared->jobs.empty())
                return;
            job = std::move(shared->jobs.front());
            shared->jobs.pop_front();
        }
        bool keep = answer(*shared->service, job.conn->fd, job.call);
        std::lock_guard<std::mutex> lock(shared->lock);
        job.conn->busy = false;
        if (!keep)
            job.conn->closing = true;
        char c = 0;
        (void)!write(shared->wake[1], &c, 1);
    }
}

// ---- Reading, on the serving thread ----

// Cuts the bytes read into records.  False when a record is too long.
bool cut_records(Connection &c, size_t max_record)
{
    while (c.in.size() >= 4) {
        uint32_t mark;
        std::memcpy(&mark, c.in.data(), 4);
        mark = ntohl(mark);
        size_t length = mark & ~kLastFragment;
        if (c.record.size() + length > max_record)
            return false;
        if (c.in.size() < 4 + length)
            return true;
        c.record.append(c.in, 4, length);
        c.in.erase(0, 4 + length);
        if ((mark & kLastFragment) != 0) {
            c.calls.push_back(std::move(c.record));
            c.record.clear();
        }
    }
    return true;
}

// Reads what the connection has; false at its end or on an error.
bool read_some(Connection &c, size_t max_record)
{
    char buffer[16384];
    for (;;) {
        ssize_t n = recv(c.fd, buffer, sizeof buffer, 0);
        if (n > 0) {
            c.in.append(buffer, static_cast<size_t>(n));
            c.last_active = time(nullptr);
            if (!cut_records(c, max_record))
                return false;
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK);
    }
}

void accept_all(int listener, size_t max_connections, std::vector<std::shared_ptr<Connection>> *conns)
{
    while (conns->size() < max_connections) {
        int fd = accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0)
            return;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        auto c = std::make_shared<Connection>();
        c->fd = fd;
        c->last_active = time(nullptr);
        conns->push_back(std::move(c));
    }
}

// Hands each free connection's next call to the workers; closes the
// connections that ended, failed or stayed silent too long.
void schedule(Shared *shared, std::vector<std::shared_ptr<Connection>> *conns)
{
    const ThreadedService &service = *shared->service;
    time_t now = time(nullptr);
    std::lock_guard<std::mutex> lock(shared->lock);
    for (auto it = conns->begin(); it != conns->end();) {
        Connection &c = **it;
        bool silent = service.idle_seconds != 0 && !c.busy && c.calls.empty() &&
                      now - c.last_active >= static_cast<time_t>(service.idle_seconds);
        if (silent)
            log("closing a connection silent for %u seconds", service.idle_seconds);
        if (!c.busy && (c.closing || silent)) {
            close(c.fd);
            it = conns->erase(it);
            continue;
        }
        if (!c.busy && !c.calls.empty()) {
            c.busy = true;
            shared->jobs.push_back({*it, std::move(c.calls.front())});
            c.calls.pop_front();
            shared->ready.notify_one();
        }
        ++it;
    }
}

}  // namespace

std::string take_reply(SVCXPRT *xprt)
{
    std::string out;
    if (xprt != nullptr && xprt->xp_ops == &kCallOps)
        out.swap(transport_of(xprt)->reply);
    return out;
}

bool serve_threaded(const ThreadedService &service)
{
    Shared shared;
    shared.service = &service;
    if (pipe2(shared.wake, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    fcntl(service.listener, F_SETFL, fcntl(service.listener, F_GETFL) | O_NONBLOCK);
    std::vector<std::thread> workers;
    for (unsigned i = 0; i < (service.workers == 0 ? 1 : service.workers); ++i)
        workers.emplace_back(work, &shared);
    std::vector<std::shared_ptr<Connection>> conns;
    while (!stop_requested()) {
        // At the bound the listener is left out of the poll, which would
        // otherwise wake at once, again and again, for a client it cannot take.
        int listener = conns.size() < service.max_connections ? service.listener : -1;
        std::vector<pollfd> fds = {{signal_fd(), POLLIN, 0}, {shared.wake[0], POLLIN, 0}, {listener, POLLIN, 0}};
        std::vector<Connection *> polled;
        {
            std::lock_guard<std::mutex> lock(shared.lock);
            for (const auto &c : conns)
                if (!c->busy && !c->closing) {
                    fds.push_back({c->fd, POLLIN, 0});
                    polled.push_back(c.get());
                }
        }
        if (poll(fds.data(), fds.size(), 1000) < 0 && errno != EINTR)
            break;
        if ((fds[0].revents & POLLIN) && !handle_signals([] {}))
            break;
        char drain[64];
        while (read(shared.wake[0], drain, sizeof drain) > 0) {
        }
        if (fds[2].revents & POLLIN)
            accept_all(service.listener, service.max_connections, &conns);
        for (size_t i = 0; i < polled.size(); ++i)
            if (fds[3 + i].revents != 0 && !read_some(*polled[i], service.max_record)) {
                std::lock_guard<std::mutex> lock(shared.lock);
                polled[i]->closing = true;
            }
        schedule(&shared, &conns);
    }
    {
        std::lock_guard<std::mutex> lock(shared.lock);
        shared.stopping = true;
        shared.ready.notify_all();
    }
    for (auto &w : workers)
        w.join();
    for (const auto &c : conns)
        close(c->fd);
    close(shared.wake[0]);
    close(shared.wake[1]);
    return true;
}

}  // namespace velmo::daemon
