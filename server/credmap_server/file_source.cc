// The directory file as an account source: look-ups in the records read at
// start, which never change, so any thread may read them.
#include "source.h"

namespace credmap_server {
namespace {

const Directory &dir(void *state)
{
    return *static_cast<const Directory *>(state);
}

GroupRecord group_record(const Group &g)
{
    return {g.name, g.gid, g.sid};
}

const Group *find(const Directory &d, const Key &key)
{
    switch (key.kind) {
    case Key::kName:
        return find_group(d, key.name);
    case Key::kId:
        return find_group_by_gid(d, key.id);
    case Key::kSid:
        return find_group_by_sid(d, key.sid);
    }
    return nullptr;
}

Found domain(void *state, Clock::time_point, std::string *name, idkit_sid_t *sid)
{
    *name = dir(state).domain;
    *sid = dir(state).domain_sid;
    return Found::kYes;
}

Found user(void *state, const Key &key, bool with_groups, Clock::time_point, UserRecord *out)
{
    const Directory &d = dir(state);
    const User *u = key.kind == Key::kName ? find_user(d, key.name)
                    : key.kind == Key::kId ? find_user_by_uid(d, key.id)
                                           : find_user_by_sid(d, key.sid);
    if (u == nullptr)
        return Found::kNo;
    *out = UserRecord{u->name, u->uid, u->sid, group_record(d.groups[u->primary]), {}, u->gecos, u->home, u->refused};
    if (with_groups)
        for (size_t index : u->groups)
            out->groups.push_back(group_record(d.groups[index]));
    return Found::kYes;
}

Found groups(void *state, const std::vector<Key> &keys, Clock::time_point, std::vector<std::optional<GroupRecord>> *out)
{
    out->clear();
    for (const Key &key : keys) {
        const Group *g = find(dir(state), key);
        out->push_back(g == nullptr ? std::nullopt : std::optional<GroupRecord>(group_record(*g)));
    }
    return Found::kYes;
}

}  // namespace

AccountSource file_source(const Directory *directory)
{
    AccountSource s;
    s.state = const_cast<Directory *>(directory);
    s.domain = domain;
    s.user = user;
    s.groups = groups;
    return s;
}

}  // namespace credmap_server
