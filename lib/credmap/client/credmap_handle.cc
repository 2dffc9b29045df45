// Server handles: a contacted connection to the credmap_server of a host,
// found through the host's location broker.
#include <cerrno>
#include <chrono>
#include <unistd.h>

#include "credmap_stats.h"
#include "host/exc.h"
#include "host/hubd.h"
#include "host/idkit.h"
#include "host/mem.h"
#include "host/osw.h"
#include "host/rpk.h"
#include "host/vox.h"
#include "velmo/credmap.h"

namespace {

const hubd_server_id_t kServerId = {CREDMAP_PROG, CREDMAP_VERS, 1};
// The location broker's transport selector for TCP.
constexpr int kTransportTcp = 3;
// Where an allocation failure of a handle is reported from.
constexpr int kNoHandleMessage = 39;
constexpr int kNoHandleLine = 108;

enum class Outcome { contacted, failed, retry, relocate };

// A contact that timed out, or whose connection was reset, may succeed on a
// new connection (a server being started, a broken connection); any other
// failure will not.
bool worth_retry(CLIENT *clnt)
{
    rpc_err err{};
    clnt_geterr(clnt, &err);
    if (err.re_status == RPC_TIMEDOUT)
        return true;
    return (err.re_status == RPC_CANTSEND || err.re_status == RPC_CANTRECV) && err.re_errno == ECONNRESET;
}

// Tears the connection down for another attempt; the sequence number stays.
void drop_connection(credmap_handle_t *h)
{
    exc_inhibit();
    if (h->conn.clnt != nullptr) {
        if (h->conn.clnt->cl_auth != nullptr)
            auth_destroy(h->conn.clnt->cl_auth);
        clnt_destroy(h->conn.clnt);
        h->conn.clnt = nullptr;
    }
    if (h->conn.sock != -1) {
        close(h->conn.sock);
        h->conn.sock = -1;
    }
    exc_enable();
}

// One connection attempt and contact exchange.  Runs inside the caller's
// cleanup frame: it keeps no objects with destructors.
Outcome attempt(const char *host, credmap_handle_t *h, bool may_relocate, core_status_t *status)
{
    h->conn.conn_word_1 = kTransportTcp;
    h->conn.conn_word_2 = 0;
    *status = hubd_connect_to_server(host, &kServerId, &h->conn, &CORE_UUID_NULL, 0, "credmap_server");
    if (*status != CORE_OK)
        return Outcome::failed;
    // The client's own authentication is the shared "none" object; it is
    // replaced, not destroyed.
    AUTH *auth = credmap_authunix_create_nobody();
    if (auth == nullptr) {
        *status = CORE_E_FAILURE;
        return Outcome::failed;
    }
    h->conn.clnt->cl_auth = auth;
    h->conn.timeout.tv_sec = CREDMAP_CALL_TIMEOUT;
    h->uniquifier = osw_sock_port_uniquifier();

    credmap_contact_req_t request{};
    request.hdr.uniquifier = h->uniquifier;
    request.hdr.seqno = h->seqno++;
    request.contact_word = CREDMAP_CONTACT_WORD;
    credmap_contact_reply_t reply{};
    auto start = std::chrono::steady_clock::now();
    clnt_stat rc = rpk_clnt_call(h->conn.clnt, CREDMAP_PROC_CONTACT, (xdrproc_t)xdr_credmap_contact_req_t, &request,
                                 (xdrproc_t)xdr_credmap_contact_reply_t, &reply, h->conn.timeout);
    // A contact is part of the exchange that follows it; one that fails is
    // a failed exchange of its own.
    core_status_t contacted = rc != RPC_SUCCESS ? CORE_E_RPC_FAILED : reply.hdr.status;
    if (contacted == CORE_OK)
        credmap_note_wait(std::chrono::steady_clock::now() - start);
    else
        credmap_note_exchange(contacted, std::chrono::steady_clock::now() - start);
    if (rc == RPC_SUCCESS) {
        *status = reply.hdr.status;
        if (*status != CORE_OK)
            return Outcome::failed;
        h->attributes = reply.attributes;
        return Outcome::contacted;
    }
    // A server found where an earlier call left it that no longer answers
    // has moved: it is located afresh.
    if (may_relocate && (h->conn.conn_word_2 & HUBD_CONN_REMEMBERED) != 0 &&
        hubd_forget_location(host, &kServerId, "credmap_server") != 0)
        return Outcome::relocate;
    if (worth_retry(h->conn.clnt))
        return Outcome::retry;
    rpk_clnt_perror(h->conn.clnt, "credmap_contact call failed");
    *status = CORE_E_FAILURE;
    return Outcome::failed;
}

// The attempts of credmap_get_handle, with their messages.  When the first
// attempt went to a location remembered from an earlier call and failed,
// the server is located afresh, and that does not count as an attempt.
core_status_t contact(const char *host, credmap_handle_t *h)
{
    core_status_t status = CORE_E_FAILURE;
    bool first = true;
    for (int left = CREDMAP_CONTACT_ATTEMPTS;;) {
        Outcome outcome = attempt(host, h, first, &status);
        first = false;
        switch (outcome) {
        case Outcome::contacted:
            return CORE_OK;
        case Outcome::relocate:
            drop_connection(h);
            break;
        case Outcome::failed:
            vox_print(VOX_ERROR, &_credmap_credmap_msg_table, CREDMAP_MSG_UNABLE_TO_CONTACT, host);
            return status;
        case Outcome::retry:
            drop_connection(h);
            if (--left == 0) {
                vox_print_shared(VOX_ERROR, "credmap/clnt", &_credmap_credmap_msg_table, CREDMAP_MSG_START_TIMED_OUT,
                                 host);
                vox_print_shared(VOX_ERROR, "credmap/clnt", &_credmap_credmap_msg_table, CREDMAP_MSG_SEE_LOGS, host);
                return CORE_E_FAILURE;
            }
            break;
        }
    }
}

}  // namespace

extern "C" {

VELMO_API core_status_t credmap_get_handle(const char *host, credmap_handle_t **handle_out)
{
    if (handle_out == nullptr)
        return CORE_E_BAD_ARGUMENT;
    *handle_out = nullptr;
    if (host == nullptr || *host == '\0')
        return CORE_E_BAD_ARGUMENT;

    // Read by the handler after a jump: kept in memory, not in a register.
    credmap_handle_t *volatile handle = nullptr;
    exc_frame_t frame;
    int code = exc_cleanup_start(&frame, 0);
    if (code != 0) {
        // An exception from a service: release what was made, pass it on.
        if (handle != nullptr)
            credmap_free_handle(handle);
        exc_raise(code);
    }

    core_status_t status;
    exc_inhibit();
    credmap_handle_t *h = static_cast<credmap_handle_t *>(mem_malloc(sizeof(credmap_handle_t)));
    if (h == nullptr) {
        core_log_int_error("credmap/clnt", &_core_cmsg_core_msg_table, kNoHandleMessage,
                           "lib/credmap/client/credmap_clnt", kNoHandleLine, 0);
        exc_enable();
        status = CORE_E_FAILURE;
    } else {
        *h = credmap_handle_t{};
        h->conn.sock = -1;
        handle = h;
        exc_enable();
        status = contact(host, h);
        if (status == CORE_OK) {
            *handle_out = h;
            exc_cleanup_rls(&frame);
            return CORE_OK;
        }
    }

    exc_inhibit();
    *handle_out = nullptr;
    if (handle != nullptr)
        credmap_free_handle(handle);
    exc_cleanup_rls(&frame);
    exc_enable();
    return status;
}

VELMO_API void credmap_free_handle(credmap_handle_t *handle)
{
    if (handle == nullptr)
        return;
    if (handle->conn.clnt != nullptr) {
        if (handle->conn.clnt->cl_auth != nullptr)
            auth_destroy(handle->conn.clnt->cl_auth);
        clnt_destroy(handle->conn.clnt);
    }
    if (handle->conn.sock != -1)
        close(handle->conn.sock);
    mem_free(handle);
}

VELMO_API core_status_t credmap_get_attribute(credmap_handle_t *handle, unsigned int *attributes_out)
{
    if (handle == nullptr || attributes_out == nullptr)
        return CORE_E_BAD_ARGUMENT;
    *attributes_out = handle->attributes;
    return CORE_OK;
}

VELMO_API void credmap_exit(credmap_handle_t *handle)
{
    if (handle == nullptr || handle->conn.clnt == nullptr)
        return;
    credmap_null_req_t request{};
    request.hdr.uniquifier = handle->uniquifier;
    request.hdr.seqno = handle->seqno++;
    credmap_null_reply_t reply{};
    if (rpk_clnt_call(handle->conn.clnt, CREDMAP_PROC_EXIT, (xdrproc_t)xdr_credmap_null_req_t, &request,
                      (xdrproc_t)xdr_credmap_null_reply_t, &reply, handle->conn.timeout) != RPC_SUCCESS)
        rpk_clnt_perror(handle->conn.clnt, "credmap_exit call failed");
}

VELMO_API AUTH *credmap_authunix_create_nobody(void)
{
    char machine_name[64];
    idkit_mk_authunix_machname(machine_name, sizeof machine_name);
    return rpk_authunix_create(machine_name, -2, -2, 0, nullptr);
}
}
