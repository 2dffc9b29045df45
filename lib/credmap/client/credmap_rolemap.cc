// Role maps across a host boundary: every entry of every role binding is
// converted as an access-list entry is; bindings left without entries
// disappear.
#include "credmap_acl.h"
#include "credmap_cache.h"

core_status_t credmap_rolemap_convert(int to_remote, int mode, const char *host, core_rolemap_acl_t map_in,
                                      core_rolemap_acl_t *map_out)
{
    if (map_out == nullptr)
        return CORE_E_BAD_ARGUMENT;
    *map_out = nullptr;
    if (credmap_acl_bad_arguments(to_remote, mode))
        return CORE_E_BAD_ARGUMENT;
    credmap_ensure_init();
    credmap_acl_pass_t pass = credmap_acl_pass(to_remote, mode, host);
    core_rolemap_acl_t map = nullptr;
    core_status_t status = core_rolemap_acl_create(&map);
    uint64_t cursor = 0;
    while (status == CORE_OK) {
        const core_rolemap_binding_t *binding = core_rolemap_acl_next_role_binding(map_in, &cursor);
        if (binding == nullptr)
            break;
        for (uint64_t i = 0; status == CORE_OK && i < binding->nentries; ++i) {
            core_sid_acl_entry_t copy;
            status = credmap_acl_convert_entry(&pass, binding->entries[i], &copy);
            if (status == CORE_OK)
                status = core_rolemap_acl_add_role_binding(map, binding, &copy);
            else if (status == CORE_E_INCOMPLETE)
                status = CORE_OK;
        }
    }
    if (status != CORE_OK) {
        core_rolemap_acl_free(map);
        return status;
    }
    *map_out = map;
    return pass.failed ? CORE_E_INCOMPLETE : CORE_OK;
}

extern "C" {

VELMO_API core_status_t credmap_rolemap_local_to_remote(const char *host, core_rolemap_acl_t map_in,
                                                        core_rolemap_acl_t *map_out)
{
    return credmap_rolemap_convert(1, CREDMAP_CONVERT_STRICT, host, map_in, map_out);
}

VELMO_API core_status_t credmap_rolemap_remote_to_local(const char *host, int mode, core_rolemap_acl_t map_in,
                                                        core_rolemap_acl_t *map_out)
{
    return credmap_rolemap_convert(0, mode, host, map_in, map_out);
}
}
