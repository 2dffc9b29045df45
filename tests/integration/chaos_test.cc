// Every kind of operation against a server that damages its replies at
// random: each call must end in a status within its time-out, write nothing
// outside the caller's records, and leave no answer of a failed exchange in
// the caches.  The sanitized build also proves it neither crashes nor leaks.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <random>

#include "credmap_cache.h"
#include "messages.h"
#include "sids.h"
#include "sim_host.h"

namespace {

using namespace sim;

// VELMO_CHAOS_OPERATIONS asks for a longer (or shorter) run.
const int kOperations =
    std::getenv("VELMO_CHAOS_OPERATIONS") ? std::atoi(std::getenv("VELMO_CHAOS_OPERATIONS")) : 10000;
constexpr auto kLongestCall = std::chrono::seconds(CREDMAP_CALL_TIMEOUT + 1);

// A record between two guard areas that must stay as they were.
template<typename T>
struct Guarded {
    unsigned char before[64];
    T value;
    unsigned char after[64];

    Guarded()
    {
        std::memset(this, 0xa5, sizeof *this);
        std::memset(&value, 0, sizeof value);
    }
    bool intact() const
    {
        for (size_t i = 0; i < sizeof before; ++i)
            if (before[i] != 0xa5 || after[i] != 0xa5)
                return false;
        return true;
    }
};

struct Tally {
    std::mt19937_64 rng{20261206};
    std::map<core_status_t, size_t> statuses;
    size_t overruns = 0, stale = 0;

    uint32_t id() { return 100000 + static_cast<uint32_t>(rng() % 1000000000); }
    idkit_sid_t domain() { return domain_sid(5000 + static_cast<unsigned>(rng() % 1000000000)); }
};

// Whether a table holds an entry for (host, sid).
bool cached(const std::atomic<fxtab_t> &table, const idkit_sid_t &sid)
{
    credmap_sid_key_t key = credmap_make_sid_key("liar", sid);
    unsigned char data[64];
    size_t size = &table == &cmaplsidtorid_ht_h ? sizeof(credmap_id_rec_t) : sizeof(idkit_sid_t);
    return credmap_hash_lookup(table.load(), &key, data, size);
}

// A mapping that fails may leave no SID in the cache that was not there.
core_status_t mapping(Tally &r, const std::atomic<fxtab_t> &table, const std::vector<idkit_sid_t> &keys,
                      const std::function<core_status_t()> &map)
{
    std::vector<bool> before;
    for (const auto &k : keys)
        before.push_back(cached(table, k));
    core_status_t status = map();
    for (size_t i = 0; status != 0 && i < keys.size(); ++i)
        r.stale += !before[i] && cached(table, keys[i]);
    return status;
}

idkit_sid_credentials_t local_set(Tally &r, uint32_t n)
{
    std::vector<idkit_sid_t> groups;
    for (uint32_t i = 0; i < n; ++i)
        groups.push_back(gid_sid(r.id()));
    return make_set(uid_sid(r.id()), gid_sid(r.id()), groups);
}

std::vector<idkit_sid_t> keys_of(const idkit_sid_credentials_t &s)
{
    std::vector<idkit_sid_t> keys = {s.user, s.group};
    keys.insert(keys.end(), s.groups, s.groups + s.ngroups);
    return keys;
}

core_status_t to_remote(Tally &r)
{
    idkit_sid_credentials_t local = local_set(r, r.rng() % 33);
    Guarded<idkit_sid_credentials_t> out;
    core_status_t s = mapping(r, cmapsidltor_ht_h, keys_of(local),
                              [&] { return credmap_local_to_remote_sid(&local, "liar", &out.value); });
    r.overruns += !out.intact();
    return s;
}

core_status_t to_local(Tally &r)
{
    std::vector<idkit_sid_t> groups;
    for (uint64_t i = 0, n = r.rng() % 33; i < n; ++i)
        groups.push_back(r.domain());
    idkit_sid_credentials_t remote = make_set(r.domain(), r.domain(), groups);
    Guarded<idkit_sid_credentials_t> out;
    core_status_t s = mapping(r, cmapsidrtol_ht_h, keys_of(remote),
                              [&] { return credmap_remote_to_local_sid(&remote, "liar", &out.value); });
    r.overruns += !out.intact();
    return s;
}

core_status_t to_posix(Tally &r)
{
    idkit_sid_credentials_t local = local_set(r, r.rng() % 33);
    Guarded<idkit_credentials_t> out;
    core_status_t s = mapping(r, cmaplsidtorid_ht_h, keys_of(local),
                              [&] { return credmap_local_sid_to_remote_posix(&local, "liar", &out.value); });
    r.overruns += !out.intact();
    return s;
}

core_status_t whole(Tally &r)
{
    std::vector<idkit_sid_t> groups;
    for (uint64_t i = 0, n = r.rng() % 300; i < n; ++i)
        groups.push_back(gid_sid(r.id()));
    idkit_whole_credentials_t local{uid_sid(r.id()), gid_sid(r.id()), static_cast<int32_t>(groups.size()),
                                    groups.data()};
    std::vector<idkit_sid_t> keys = groups;
    keys.push_back(local.user);
    Guarded<idkit_whole_credentials_t> out;
    core_status_t s = mapping(r, cmapsidltor_ht_h, keys,
                              [&] { return credmap_local_to_remote_whole(&local, "liar", &out.value); });
    r.overruns += !out.intact();
    idkit_free_whole_credentials(&out.value);
    return s;
}

core_status_t access_list(Tally &r)
{
    core_sid_acl_t in = nullptr, out = nullptr;
    core_sid_acl_create(&in);
    for (uint32_t i = 0; i < 3; ++i) {
        core_sid_acl_entry_t e{};
        e.kind = i == 2 ? CORE_ACL_GROUP : CORE_ACL_USER;
        e.sid = r.rng() % 2 ? r.domain() : uid_sid(r.id());
        core_sid_acl_set_entry(in, &e, i);
    }
    core_status_t s = r.rng() % 2 ? credmap_sid_acl_local_to_remote("liar", in, &out)
                                  : credmap_sid_acl_remote_to_local("liar", CREDMAP_CONVERT_DROP, in, &out);
    EXPECT_EQ(out == nullptr, s != 0 && s != CORE_E_INCOMPLETE) << s;
    core_sid_acl_free(in);
    core_sid_acl_free(out);
    return s;
}

// One remote operation on a handle of its own, its result released.
core_status_t remote_operation(Tally &r)
{
    credmap_handle_t *h = nullptr;
    core_status_t s = credmap_get_handle("liar", &h);
    if (s != 0)
        return s;
    std::string name = r.rng() % 2 ? "KORVANTIS\\Quincy" : "Alice";
    idkit_sid_t sid = r.domain();
    switch (r.rng() % 8) {
    case 0: {
        Guarded<idkit_passwd_sid_t> pw;
        s = credmap_svr_getpwnam(h, name.c_str(), &pw.value);
        r.overruns += !pw.intact();
        break;
    }
    case 1: {
        Guarded<idkit_group_sid_t> gr;
        s = credmap_svr_getgrsid(h, &sid, &gr.value);
        r.overruns += !gr.intact();
        break;
    }
    case 2: {
        Guarded<char[1024]> text;
        s = credmap_lookup_user_sid(h, name.c_str(), 0, text.value);
        r.overruns += !text.intact();
        break;
    }
    case 3: {
        credmap_user_sid_credentials_t out{};
        s = credmap_lookup_user_sid_credentials(h, name.c_str(), &out);
        credmap_lookup_user_sid_credentials_free(h, &out);
        break;
    }
    case 4: {
        idkit_sid_credentials_t sids = make_set(r.domain(), r.domain(), {r.domain()});
        idkit_string_credentials_t names{};
        s = credmap_lookup_sid_credentials(h, &sids, &names);
        credmap_lookup_sid_credentials_free(h, &names);
        break;
    }
    case 5: {
        idkit_credentials_t creds{r.id(), r.id(), 1, 0, {r.id()}};
        idkit_string_credentials_t names{};
        s = credmap_lookup_credentials(h, &creds, &names);
        credmap_lookup_credentials_free(h, &names);
        break;
    }
    case 6: {
        Guarded<idkit_credentials_t> creds;
        s = credmap_svr_get_credentials(h, name.c_str(), &creds.value);
        r.overruns += !creds.intact();
        break;
    }
    default: {
        char *groups[] = {const_cast<char *>("Staff"), const_cast<char *>("Team001")};
        idkit_whole_string_credentials_t names{const_cast<char *>("Quincy"), const_cast<char *>("users"), 2, groups};
        Guarded<idkit_whole_credentials_t> whole;
        s = credmap_lookup_whole_string_credentials(h, &names, &whole.value);
        r.overruns += !whole.intact();
        idkit_free_whole_credentials(&whole.value);
        break;
    }
    }
    credmap_free_handle(h);
    return s;
}

TEST(LyingServer, EveryOperationEndsInAStatusAndFailuresCacheNothing)
{
    Network net;
    net.add("liar", server_args({"--chaos", "1206"}));
    Messages quiet;
    Tally r;
    core_status_t (*const kinds[])(Tally &) = {to_remote, to_local, to_posix, whole, access_list, remote_operation};
    auto longest = std::chrono::steady_clock::duration::zero();
    for (int i = 0; i < kOperations; ++i) {
        auto start = std::chrono::steady_clock::now();
        core_status_t s = kinds[i % 6](r);
        auto spent = std::chrono::steady_clock::now() - start;
        longest = std::max(longest, spent);
        ++r.statuses[s];
        if (i % 500 == 0)
            quiet.clear();
    }
    EXPECT_LT(longest, kLongestCall);
    EXPECT_EQ(r.overruns, 0u);
    EXPECT_EQ(r.stale, 0u);
    // Both outcomes occurred often enough to mean something.
    EXPECT_GT(r.statuses[0], size_t(kOperations / 10));
    EXPECT_LT(r.statuses[0], size_t(kOperations * 9 / 10));

    std::printf("%d operations against the lying server; longest %lld ms\n", kOperations,
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(longest).count()));
    // Statuses the damaged replies carried are passed on as they came; they
    // are counted together.
    size_t other = 0;
    for (const auto &[status, n] : r.statuses) {
        if (status == 0 || std::strcmp(core_strerror(status), "unknown status") != 0)
            std::printf("  %5zu  %d %s\n", n, status, core_strerror(status));
        else
            other += n;
    }
    std::printf("  %5zu  other statuses, passed on from damaged replies\n", other);
    // The caches, with whatever the lies that decoded well put there, still
    // print.
    testing::internal::CaptureStdout();
    credmap_dump_cache();
    EXPECT_NE(testing::internal::GetCapturedStdout().find("liar is NT"), std::string::npos);
}

}  // namespace
