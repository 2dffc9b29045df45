// RPC helpers: AUTH_UNIX authentication and thread-safe RPC error texts.
#include "host/rpk.h"

#include <stdio.h>
#include <string.h>

#include "host/vox.h"

namespace {

// The longest machine name an AUTH_UNIX credential may carry; libtirpc
// refuses to encode a longer one.
constexpr size_t kMachineNameMax = 255;

// True for the RPC errors that carry the system error behind them.
bool carries_system_error(enum clnt_stat status) {
    return status == RPC_CANTSEND || status == RPC_CANTRECV || status == RPC_SYSTEMERROR;
}

}  // namespace

extern "C" {

VELMO_API AUTH *rpk_authunix_create(const char *machine_name, int uid, int gid, int ngroups,
                                    const int *groups) {
    if (machine_name == nullptr || ngroups < 0) return nullptr;
    if (ngroups > 0 && groups == nullptr) return nullptr;
    if (ngroups > RPK_MAX_GROUPS) ngroups = RPK_MAX_GROUPS;
    char name[kMachineNameMax + 1];
    size_t length = strnlen(machine_name, kMachineNameMax);
    memcpy(name, machine_name, length);
    name[length] = '\0';
    uid_t gids[RPK_MAX_GROUPS];
    for (int i = 0; i < ngroups; ++i) gids[i] = static_cast<uid_t>(groups[i]);
    return authunix_create(name, static_cast<uid_t>(uid), static_cast<uid_t>(gid), ngroups, gids);
}

// clnt_sperror and clnt_perror format into one buffer shared by all threads;
// this builds the same kind of text from clnt_sperrno, whose texts are
// constants, and strerror_r.
VELMO_API char *rpk_clnt_sperror(CLIENT *clnt, const char *text, char *buffer, size_t size) {
    if (buffer == nullptr || size == 0) return buffer;
    if (text == nullptr) text = "";
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

VELMO_API void rpk_clnt_perror(CLIENT *clnt, const char *text) {
    char line[VOX_LINE_MAX];
    rpk_clnt_sperror(clnt, text, line, sizeof line);
    vox_print(VOX_ERROR, "%s\n", -1, line);
}

}  // extern "C"
