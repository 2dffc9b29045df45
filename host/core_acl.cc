// SID access lists: entries kept in the order of their positions.
#include "host/core.h"

#include <algorithm>
#include <new>
#include <utility>
#include <vector>

// A sorted vector: lists are short, walked far more often than changed, and
// a walk cursor is then simply an index.
struct core_sid_acl {
    std::vector<std::pair<uint32_t, core_sid_acl_entry_t>> entries;
};

extern "C" {

VELMO_API core_status_t core_sid_acl_create(core_sid_acl_t *acl_out)
{
    if (acl_out == nullptr)
        return CORE_E_BAD_ARGUMENT;
    *acl_out = new (std::nothrow) core_sid_acl();
    return *acl_out != nullptr ? CORE_OK : CORE_E_NO_MEMORY;
}

VELMO_API const core_sid_acl_entry_t *core_sid_acl_next_entry(core_sid_acl_t acl, uint64_t *cursor, uint32_t *position)
{
    if (acl == nullptr || cursor == nullptr || *cursor >= acl->entries.size())
        return nullptr;
    const auto &slot = acl->entries[*cursor];
    ++*cursor;
    if (position != nullptr)
        *position = slot.first;
    return &slot.second;
}

VELMO_API core_status_t core_sid_acl_set_entry(core_sid_acl_t acl, const core_sid_acl_entry_t *entry, uint32_t position)
{
    if (acl == nullptr || entry == nullptr)
        return CORE_E_BAD_ARGUMENT;
    // A copy first: `entry` may point into this very list.
    const core_sid_acl_entry_t copy = *entry;
    auto at = std::lower_bound(acl->entries.begin(), acl->entries.end(), position,
                               [](const auto &slot, uint32_t key) { return slot.first < key; });
    if (at != acl->entries.end() && at->first == position) {
        at->second = copy;
        return CORE_OK;
    }
    try {
        acl->entries.insert(at, {position, copy});
    } catch (const std::bad_alloc &) {
        return CORE_E_NO_MEMORY;
    }
    return CORE_OK;
}

VELMO_API size_t core_sid_acl_count(core_sid_acl_t acl)
{
    return acl != nullptr ? acl->entries.size() : 0;
}

VELMO_API void core_sid_acl_free(core_sid_acl_t acl)
{
    delete acl;
}

}  // extern "C"
