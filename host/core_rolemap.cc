// Role maps: roles, in the order they were first added, each with the
// entries bound to it.
#include "host/core.h"

#include <string.h>

#include <memory>
#include <new>
#include <vector>

namespace {

// One role.  The binding record handed to callers points at `entries`, and
// is brought up to date after every change so that its count and array
// always agree.
struct core_role_slot {
    core_rolemap_binding_t binding;
    std::vector<core_sid_acl_entry_t> entries;
};

void refresh_binding(core_role_slot &slot)
{
    slot.binding.nentries = slot.entries.size();
    slot.binding.entries = slot.entries.data();
}

}  // namespace

// Slots are held by pointer so that a binding handed out stays where it is
// when later roles are added.
struct core_rolemap_acl {
    std::vector<std::unique_ptr<core_role_slot>> roles;
};

namespace {

core_role_slot *find_role(core_rolemap_acl_t map, const char *role)
{
    for (const auto &slot : map->roles) {
        if (strcmp(slot->binding.role, role) == 0)
            return slot.get();
    }
    return nullptr;
}

// Adds a role without entries; throws std::bad_alloc.
core_role_slot *add_role(core_rolemap_acl_t map, const char *role)
{
    auto slot = std::make_unique<core_role_slot>();
    memcpy(slot->binding.role, role, strlen(role) + 1);
    refresh_binding(*slot);
    map->roles.push_back(std::move(slot));
    return map->roles.back().get();
}

}  // namespace

extern "C" {

VELMO_API core_status_t core_rolemap_acl_create(core_rolemap_acl_t *map_out)
{
    if (map_out == nullptr)
        return CORE_E_BAD_ARGUMENT;
    *map_out = new (std::nothrow) core_rolemap_acl();
    return *map_out != nullptr ? CORE_OK : CORE_E_NO_MEMORY;
}

VELMO_API const core_rolemap_binding_t *core_rolemap_acl_next_role_binding(core_rolemap_acl_t map, uint64_t *cursor)
{
    if (map == nullptr || cursor == nullptr || *cursor >= map->roles.size())
        return nullptr;
    return &map->roles[(*cursor)++]->binding;
}

VELMO_API core_status_t core_rolemap_acl_add_role_binding(core_rolemap_acl_t map, const core_rolemap_binding_t *binding,
                                                          const core_sid_acl_entry_t *entry)
{
    if (map == nullptr || binding == nullptr || entry == nullptr)
        return CORE_E_BAD_ARGUMENT;
    // Copies first: the caller may pass a binding or entry of this very map.
    char role[CORE_ROLE_NAME_MAX + 1];
    size_t length = strnlen(binding->role, CORE_ROLE_NAME_MAX);
    memcpy(role, binding->role, length);
    role[length] = '\0';
    const core_sid_acl_entry_t copy = *entry;
    try {
        core_role_slot *slot = find_role(map, role);
        if (slot == nullptr)
            slot = add_role(map, role);
        slot->entries.push_back(copy);
        refresh_binding(*slot);
    } catch (const std::bad_alloc &) {
        return CORE_E_NO_MEMORY;
    }
    return CORE_OK;
}

VELMO_API core_status_t core_rolemap_acl_add_role(core_rolemap_acl_t map, const char *role)
{
    if (map == nullptr || role == nullptr || strlen(role) > CORE_ROLE_NAME_MAX)
        return CORE_E_BAD_ARGUMENT;
    try {
        if (find_role(map, role) == nullptr)
            add_role(map, role);
    } catch (const std::bad_alloc &) {
        return CORE_E_NO_MEMORY;
    }
    return CORE_OK;
}

VELMO_API size_t core_rolemap_acl_count(core_rolemap_acl_t map)
{
    return map != nullptr ? map->roles.size() : 0;
}

VELMO_API void core_rolemap_acl_free(core_rolemap_acl_t map)
{
    delete map;
}

}  // extern "C"
