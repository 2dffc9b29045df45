// SID access lists across a host boundary: every user and group entry gets
// the SID of the same principal on the other side, every other entry is
// copied; the caller chooses what becomes of entries that cannot be mapped.
#include "credmap_acl.h"

#include "credmap_cache.h"
#include "credmap_mapping.h"
#include "host/vox.h"

namespace {

constexpr const char *kFacility = "credmap/clnt";

bool is_user(const core_sid_acl_entry_t &e)
{
    return e.kind == CORE_ACL_USER;
}

// Maps the entry's SID in place as the user or the group of a pair, the
// other member being "don't care"; on failure the SID is unchanged.
core_status_t map_pair(int to_remote, const char *host, core_sid_acl_entry_t *e)
{
    idkit_sid_t user = is_user(*e) ? e->sid : IDKIT_SID_DONTCARE;
    idkit_sid_t group = is_user(*e) ? IDKIT_SID_DONTCARE : e->sid;
    core_status_t status = to_remote ? credmap_sids_local_to_remote(host, &user, &group)
                                     : credmap_sids_remote_to_local_pref(host, &user, &group);
    if (status == CORE_OK)
        e->sid = is_user(*e) ? user : group;
    return status;
}

// A mapping that gives the nobody SID has failed too.
core_status_t mapped_status(core_status_t status, const core_sid_acl_entry_t &e)
{
    if (status == CORE_OK && e.sid.kind == IDKIT_SID_KIND_NOBODY)
        return CORE_E_FAILURE;
    return status;
}

void trace_failure(const core_sid_acl_entry_t &e)
{
    if (vox_get_desired_verbosity() <= 1 || !vox_should_trace(kFacility, 2))
        return;
    char text[IDKIT_SID_TEXT_MAX];
    idkit_sid_to_str(&e.sid, text);
    vox_print(VOX_TRACE,
              is_user(e) ? "can't convert remote user, got SID: %s\n" : "can't convert remote group, got SID: %s\n",
              -1, text);
}

// Maps one entry through the direction's pair mapping.
core_status_t map_entry(int to_remote, const char *host, core_sid_acl_entry_t *e)
{
    core_status_t status = mapped_status(map_pair(to_remote, host, e), *e);
    if (status != CORE_OK)
        trace_failure(*e);
    return status;
}

}  // namespace

credmap_acl_pass_t credmap_acl_pass(int to_remote, int mode, const char *host)
{
    credmap_acl_pass_t pass{};
    pass.to_remote = to_remote;
    pass.mode = mode;
    pass.host = host;
    pass.report = mode == CREDMAP_CONVERT_STRICT || mode == CREDMAP_CONVERT_DROP ||
                  (vox_get_desired_verbosity() > 0 && vox_should_trace(kFacility, 1));
    int known = 0, is_nt = 0;
    bool mine = credmap_in_my_credentials_domain(host, &known, &is_nt) != 0;
    pass.expected_type = !mine && is_nt ? IDKIT_SID_KIND_NT : IDKIT_SID_KIND_REAL;
    return pass;
}

bool credmap_acl_bad_arguments(int to_remote, int mode)
{
    return to_remote < 0 || to_remote > 1 || mode < 0 || mode > CREDMAP_CONVERT_KEEP;
}

core_status_t credmap_acl_convert_entry(credmap_acl_pass_t *pass, const core_sid_acl_entry_t &in,
                                        core_sid_acl_entry_t *out)
{
    *out = in;
    if (in.kind != CORE_ACL_USER && in.kind != CORE_ACL_GROUP)
        return CORE_OK;
    core_status_t status = map_entry(pass->to_remote, pass->host, out);
    if (status == CORE_OK && pass->to_remote && out->sid.kind != pass->expected_type)
        status = CORE_E_BAD_ARGUMENT;
    if (status == CORE_OK)
        return CORE_OK;
    pass->failed = true;
    if (pass->report) {
        bool strict = pass->mode == CREDMAP_CONVERT_STRICT;
        int row = pass->to_remote ? (is_user(in) ? CREDMAP_MSG_LOCAL_USER : CREDMAP_MSG_LOCAL_GROUP)
                                  : (is_user(in) ? CREDMAP_MSG_REMOTE_USER : CREDMAP_MSG_REMOTE_GROUP);
        char text[IDKIT_SID_TEXT_MAX];
        idkit_sid_to_str(&in.sid, text);
        vox_print(strict ? VOX_ERROR : VOX_WARNING, &_credmap_credmap_msg_table, row, text, pass->host,
                  core_strerror(status));
        vox_print(strict ? VOX_ERROR_NOTE : VOX_WARNING_NOTE, &_credmap_credmap_msg_table, CREDMAP_MSG_MORE_INFO,
                  pass->host);
    }
    if (pass->mode == CREDMAP_CONVERT_STRICT)
        return status;
    if (pass->mode == CREDMAP_CONVERT_DROP)
        return CORE_E_INCOMPLETE;
    // Kept entries go on as they came.
    *out = in;
    return CORE_OK;
}

core_status_t credmap_sid_acl_convert(int to_remote, int mode, const char *host, core_sid_acl_t acl_in,
                                      core_sid_acl_t *acl_out)
{
    if (acl_in == nullptr) {
        if (acl_out != nullptr)
            *acl_out = nullptr;
        return CORE_OK;
    }
    if (acl_out == nullptr)
        return CORE_E_BAD_ARGUMENT;
    *acl_out = nullptr;
    if (credmap_acl_bad_arguments(to_remote, mode))
        return CORE_E_BAD_ARGUMENT;
    credmap_acl_pass_t pass = credmap_acl_pass(to_remote, mode, host);
    core_sid_acl_t acl = nullptr;
    core_status_t status = core_sid_acl_create(&acl);
    uint64_t cursor = 0;
    uint32_t position = 0;
    while (status == CORE_OK) {
        const core_sid_acl_entry_t *entry = core_sid_acl_next_entry(acl_in, &cursor, &position);
        if (entry == nullptr)
            break;
        core_sid_acl_entry_t copy;
        status = credmap_acl_convert_entry(&pass, *entry, &copy);
        if (status == CORE_OK)
            status = core_sid_acl_set_entry(acl, &copy, position);
        else if (status == CORE_E_INCOMPLETE)
            status = CORE_OK;
    }
    if (status != CORE_OK) {
        core_sid_acl_free(acl);
        return status;
    }
    *acl_out = acl;
    return pass.failed ? CORE_E_INCOMPLETE : CORE_OK;
}

extern "C" {

VELMO_API core_status_t credmap_sid_acl_local_to_remote(const char *host, core_sid_acl_t acl_in,
                                                        core_sid_acl_t *acl_out)
{
    return credmap_sid_acl_convert(1, CREDMAP_CONVERT_STRICT, host, acl_in, acl_out);
}

VELMO_API core_status_t credmap_sid_acl_remote_to_local(const char *host, int mode, core_sid_acl_t acl_in,
                                                        core_sid_acl_t *acl_out)
{
    return credmap_sid_acl_convert(0, mode, host, acl_in, acl_out);
}

VELMO_API core_status_t credmap_sid_acl_id_local_to_remote(const char *host, core_sid_acl_entry_t *e)
{
    if (e == nullptr)
        return CORE_E_BAD_ARGUMENT;
    if (e->kind != CORE_ACL_USER && e->kind != CORE_ACL_GROUP)
        return CORE_OK;
    return map_entry(1, host, e);
}

// The other direction maps with the remote-to-local pair mapping, as the
// list conversion of that direction does.
VELMO_API core_status_t credmap_sid_acl_id_remote_to_local(const char *host, core_sid_acl_entry_t *e)
{
    if (e == nullptr)
        return CORE_E_BAD_ARGUMENT;
    if (e->kind != CORE_ACL_USER && e->kind != CORE_ACL_GROUP)
        return CORE_OK;
    return map_entry(0, host, e);
}
}
