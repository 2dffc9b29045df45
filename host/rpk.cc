// RPC helpers: AUTH_UNIX authentication and thread-safe RPC error texts.
#include "host/rpk.h"

#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <atomic>

#include "host/vox.h"

namespace {

// The longest machine name an AUTH_UNIX credential may carry; libtirpc
// refuses to encode a longer one.
constexpr size_t kMachineNameMax = 255;

// True for the RPC errors that carry the system error behind them.
bool carries_system_error(enum clnt_stat status)
{
    return status == RPC_CANTSEND || status == RPC_CANTRECV || status == RPC_SYSTEMERROR;
}

// Sun RPC writes to its socket with write(2), so a peer that has gone away
// raises SIGPIPE, whose default action would end the whole host process.
// The signal is held off on the calling thread for the call, and one that
// the call raised is taken back before the mask is restored.
struct PipeGuard {
    sigset_t old_mask;
    bool was_pending;
};

sigset_t pipe_set()
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGPIPE);
    return set;
}

bool pipe_pending()
{
    sigset_t pending;
    sigpending(&pending);
    return sigismember(&pending, SIGPIPE) == 1;
}

void hold_pipe(PipeGuard *guard)
{
    sigset_t set = pipe_set();
    pthread_sigmask(SIG_BLOCK, &set, &guard->old_mask);
    guard->was_pending = pipe_pending();
}

void release_pipe(const PipeGuard *guard)
{
    if (!guard->was_pending && pipe_pending()) {
        sigset_t set = pipe_set();
        timespec zero{};
        sigtimedwait(&set, nullptr, &zero);
    }
    pthread_sigmask(SIG_SETMASK, &guard->old_mask, nullptr);
}

std::atomic<unsigned long> calls_made{0};

}  // namespace

extern "C" {

VELMO_API unsigned long rpk_calls_made(void)
{
    return calls_made.load(std::memory_order_relaxed);
}

VELMO_API enum clnt_stat rpk_clnt_call(CLIENT *clnt, rpcproc_t proc, xdrproc_t xargs, void *args, xdrproc_t xres,
                                       void *res, struct timeval timeout)
{
    if (clnt == nullptr)
        return RPC_FAILED;
    calls_made.fetch_add(1, std::memory_order_relaxed);
    PipeGuard guard;
    hold_pipe(&guard);
    enum clnt_stat rc =
        clnt_call(clnt, proc, xargs, static_cast<char *>(args), xres, static_cast<char *>(res), timeout);
    release_pipe(&guard);
    return rc;
}

VELMO_API AUTH *rpk_authunix_create(const char *machine_name, int uid, int gid, int ngroups, const int *groups)
{
    if (machine_name == nullptr || ngroups < 0)
        return nullptr;
    if (ngroups > 0 && groups == nullptr)
        return nullptr;
    if (ngroups > RPK_MAX_GROUPS)
        ngroups = RPK_MAX_GROUPS;
    char name[kMachineNameMax + 1];
    size_t length = strnlen(machine_name, kMachineNameMax);
    memcpy(name, machine_name, length);
    name[length] = '\0';
    uid_t gids[RPK_MAX_GROUPS];
    for (int i = 0; i < ngroups; ++i)
        gids[i] = static_cast<uid_t>(groups[i]);
    return authunix_create(name, static_cast<uid_t>(uid), static_cast<uid_t>(gid), ngroups, gids);
}

// clnt_sperror and clnt_perror format into one buffer shared by all threads;
// this builds the same kind of text from clnt_sperrno, whose texts are
// constants, and strerror_r.
VELMO_API char *rpk_clnt_sperror(CLIENT *clnt, const char *text, char *buffer, size_t size)
{
    if (buffer == nullptr || size == 0)
        return buffer;
    if (text == nullptr)
        text = "";
    if (clnt == nullptr) {
        snprintf(buffer, size, "%s: no RPC client", text);
        return buffer;
    }
    struct rpc_err error;
    memset(&error, 0, sizeof error);
    clnt_geterr(clnt, &error);
    const char *rpc_text = clnt_sperrno(error.re_status);
    if (carries_system_error(error.re_status) && error.re_errno != 0) {
        char system_buffer[256];
        const char *system_text = strerror_r(error.re_errno, system_buffer, sizeof system_buffer);
        snprintf(buffer, size, "%s: %s: %s", text, rpc_text, system_text);
    } else {
        snprintf(buffer, size, "%s: %s", text, rpc_text);
    }
    return buffer;
}

VELMO_API void rpk_clnt_perror(CLIENT *clnt, const char *text)
{
    char line[VOX_LINE_MAX];
    rpk_clnt_sperror(clnt, text, line, sizeof line);
    vox_print(VOX_ERROR, "%s\n", -1, line);
}

}  // extern "C"
