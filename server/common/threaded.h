// Private to the daemons: a Sun RPC service over TCP that answers many
// clients at once.  One thread reads every connection without blocking and
// cuts its bytes into records; worker threads decode the calls, run the
// dispatch routine and write the replies.  A connection has at most one
// call in hand at a time, so its replies keep the order of its calls, and a
// slow call holds up only its own connection.
#ifndef SERVER_COMMON_THREADED_H
#define SERVER_COMMON_THREADED_H

#include <rpc/rpc.h>

#include <cstddef>
#include <string>

namespace velmo::daemon {

struct ThreadedService {
    int listener = -1;  // a listening TCP socket
    rpcprog_t program = 0;
    rpcvers_t version = 0;
    void (*dispatch)(svc_req *, SVCXPRT *) = nullptr;
    unsigned workers = 8;
    unsigned idle_seconds = 120;    // 0: never close a silent connection
    size_t max_record = 256 * 1024;  // a longer call closes its connection
    // While this many connections are open, no more are accepted: further
    // clients wait in the listen queue until one closes.
    size_t max_connections = 512;
};

// Serves until SIGTERM, SIGINT or stop() (setup_signals first).  The
// dispatch routine sees an ordinary SVCXPRT: svc_getargs, svc_sendreply,
// svc_freeargs and the svcerr_ calls work as usual, and xp_fd is the
// connection's socket.  Returns false when the workers cannot be started.
bool serve_threaded(const ThreadedService &service);

// The reply a dispatch routine has sent on `xprt` so far, as the bytes of
// one record (mark included), taken away so that the server does not send
// it: for a caller that sends it itself, damaged or in pieces.
std::string take_reply(SVCXPRT *xprt);

}  // namespace velmo::daemon

#endif
