// AUTH_UNIX authentication for calls to a remote host: the local identity
// for hosts in my credentials domain, the ids the host's credmap_server
// assigns for a Windows host, "nobody" when nothing better can be had, and
// none when the host refuses the credentials.
#include "credmap_cache.h"
#include "credmap_mapping.h"
#include "host/rpk.h"
#include "host/vox.h"

namespace {

constexpr size_t kMachineName = 64;

AUTH *fall_back(const char *host)
{
    vox_print(VOX_WARNING, &_credmap_credmap_msg_table, CREDMAP_MSG_USING_NOBODY, host);
    return credmap_authunix_create_nobody();
}

// The groups of the authentication: in their order, without the nobody
// group, at most the AUTH_UNIX limit.
AUTH *make_auth(const idkit_credentials_t &creds)
{
    int groups[RPK_MAX_GROUPS];
    int n = 0;
    int32_t count = creds.ngroups < IDKIT_MAX_GROUPS ? creds.ngroups : IDKIT_MAX_GROUPS;
    for (int32_t i = 0; i < count && n < RPK_MAX_GROUPS; ++i)
        if (creds.groups[i] != IDKIT_ID_NOBODY)
            groups[n++] = static_cast<int>(creds.groups[i]);
    char machine_name[kMachineName];
    idkit_mk_authunix_machname(machine_name, sizeof machine_name);
    return rpk_authunix_create(machine_name, static_cast<int>(creds.uid), static_cast<int>(creds.gid), n, groups);
}

}  // namespace

extern "C" {

VELMO_API AUTH *credmap_authunix_create(const char *host, const idkit_sid_credentials_t *sid_creds)
{
    idkit_sid_credentials_t own{};
    if (sid_creds == nullptr) {
        if (idkit_get_sid_credentials(&own) != 0)
            return fall_back(host);
        sid_creds = &own;
    }
    idkit_credentials_t creds{};
    int known = 0, nt = 0;
    if (host != nullptr && !credmap_in_my_credentials_domain(host, &known, &nt)) {
        core_status_t status = credmap_local_sid_to_remote(sid_creds, host, &creds, known, 1);
        if (status == CORE_E_CREDS_REFUSED) {
            vox_print(VOX_ERROR, "Credentials DENIED on host %s\n", -1, host);
            return nullptr;
        }
        if (status != CORE_OK)
            return fall_back(host);
        return make_auth(creds);
    }
    if (idkit_sid_credentials_to_credentials(sid_creds, &creds) != 0)
        return fall_back(host);
    return make_auth(creds);
}

VELMO_API AUTH *credmap_authunix_create_default(const char *host)
{
    return credmap_authunix_create(host, nullptr);
}

VELMO_API AUTH *credmap_auth_create(const char *host, const idkit_sid_credentials_t *sid_creds)
{
    credmap_ensure_init();
    return credmap_authunix_create(host, sid_creds);
}

VELMO_API AUTH *credmap_auth_create_default(const char *host)
{
    return credmap_auth_create(host, nullptr);
}
}
