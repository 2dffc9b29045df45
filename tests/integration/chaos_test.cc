// Every kind of operation against a server that damages its replies at random ends in a status within its time-out,
// writes nothing outside the caller's records and caches nothing of a failed exchange; sanitized, nor crashes or leaks.
#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstdlib>
#include <functional>
#include <random>

#include "credmap_cache.h"
#include "messages.h"
#include "sids.h"
#include "sim_host.h"

namespace {

using namespace sim;

std::mt19937_64 rng{20261206};
size_t overruns = 0, stale = 0;
// Every SID and id is new, so every operation reaches the server and no SID is in a cache before it.
uint32_t next_id = 100000;
const auto id = [] { return next_id++; };
const auto domain = [] { return domain_sid(next_id++); };

constexpr std::array<unsigned char, 64> kGuard = [] {
    std::array<unsigned char, 64> guard{};
    guard.fill(0xa5);
    return guard;
}();

// A zeroed result record between guard bytes that must stay as they were.
template<typename T>
struct Guarded {
    std::array<unsigned char, 64> before = kGuard;
    T value{};
    std::array<unsigned char, 64> after = kGuard;
    ~Guarded() { overruns += before != kGuard || after != kGuard; }
};

bool cached(const std::atomic<fxtab_t> &table, const idkit_sid_t &sid)
{
    credmap_sid_key_t key = credmap_make_sid_key("liar", sid);
    unsigned char data[64];
    size_t size = &table == &cmaplsidtorid_ht_h ? sizeof(credmap_id_rec_t) : sizeof(idkit_sid_t);
    return credmap_hash_lookup(table.load(), &key, data, size);
}

// A mapping of each of the four kinds in turn; one that fails may leave none of its SIDs in the cache.
core_status_t mapping(int kind)
{
    const auto &table = kind == 1 ? cmapsidrtol_ht_h : kind == 2 ? cmaplsidtorid_ht_h : cmapsidltor_ht_h;
    std::vector<idkit_sid_t> groups;
    for (uint64_t i = 0, n = rng() % (kind == 3 ? 300 : 33); i < n; ++i)
        groups.push_back(kind == 1 ? domain() : gid_sid(id()));
    idkit_sid_t user = kind == 1 ? domain() : uid_sid(id()), group = kind == 1 ? domain() : gid_sid(id());
    idkit_sid_credentials_t set = make_set(user, group, kind == 3 ? std::vector<idkit_sid_t>{} : groups);
    idkit_whole_credentials_t whole{user, group, static_cast<int32_t>(groups.size()), groups.data()};
    std::vector<idkit_sid_t> keys = groups;
    keys.push_back(user);
    if (kind != 3)
        keys.push_back(group);
    Guarded<idkit_sid_credentials_t> sids;
    Guarded<idkit_credentials_t> ids;
    Guarded<idkit_whole_credentials_t> mapped;
    core_status_t s = kind == 0   ? credmap_local_to_remote_sid(&set, "liar", &sids.value)
                      : kind == 1 ? credmap_remote_to_local_sid(&set, "liar", &sids.value)
                      : kind == 2 ? credmap_local_sid_to_remote_posix(&set, "liar", &ids.value)
                                  : credmap_local_to_remote_whole(&whole, "liar", &mapped.value);
    idkit_free_whole_credentials(&mapped.value);
    for (size_t i = 0; s != 0 && i < keys.size(); ++i)
        stale += cached(table, keys[i]);
    return s;
}

core_status_t access_list()
{
    core_sid_acl_t in = nullptr, out = nullptr;
    core_sid_acl_create(&in);
    for (uint32_t i = 0; i < 3; ++i) {
        core_sid_acl_entry_t e{};
        e.kind = i == 2 ? CORE_ACL_GROUP : CORE_ACL_USER;
        e.sid = rng() % 2 ? domain() : uid_sid(id());
        core_sid_acl_set_entry(in, &e, i);
    }
    core_status_t s = rng() % 2 ? credmap_sid_acl_local_to_remote("liar", in, &out)
                                : credmap_sid_acl_remote_to_local("liar", CREDMAP_CONVERT_DROP, in, &out);
    EXPECT_EQ(out == nullptr, s != 0 && s != CORE_E_INCOMPLETE) << s;
    core_sid_acl_free(in);
    core_sid_acl_free(out);
    return s;
}

// One remote operation on a handle of its own, its result released.
core_status_t remote_operation()
{
    credmap_handle_t *h = nullptr;
    if (core_status_t s = credmap_get_handle("liar", &h); s != 0)
        return s;
    const char *name = rng() % 2 ? "KORVANTIS\\Quincy" : "Alice";
    idkit_sid_t sid = domain();
    idkit_sid_credentials_t sids = make_set(domain(), domain(), {domain()});
    idkit_credentials_t creds{id(), id(), 1, 0, {id()}};
    char *groups[] = {const_cast<char *>("Staff"), const_cast<char *>("Team001")};
    idkit_whole_string_credentials_t names{const_cast<char *>("Quincy"), const_cast<char *>("users"), 2, groups};
    Guarded<idkit_passwd_sid_t> pw;
    Guarded<idkit_group_sid_t> gr;
    Guarded<char[1024]> text;
    Guarded<credmap_user_sid_credentials_t> user;
    Guarded<idkit_string_credentials_t> sid_names, id_names;
    Guarded<idkit_credentials_t> ids;
    Guarded<idkit_whole_credentials_t> whole;
    const std::function<core_status_t()> calls[] = {
        [&] { return credmap_svr_getpwnam(h, name, &pw.value); },
        [&] { return credmap_svr_getgrsid(h, &sid, &gr.value); },
        [&] { return credmap_lookup_user_sid(h, name, 0, text.value); },
        [&] { return credmap_lookup_user_sid_credentials(h, name, &user.value); },
        [&] { return credmap_lookup_sid_credentials(h, &sids, &sid_names.value); },
        [&] { return credmap_lookup_credentials(h, &creds, &id_names.value); },
        [&] { return credmap_svr_get_credentials(h, name, &ids.value); },
        [&] { return credmap_lookup_whole_string_credentials(h, &names, &whole.value); },
    };
    core_status_t s = calls[rng() % 8]();
    credmap_lookup_user_sid_credentials_free(h, &user.value);
    credmap_lookup_sid_credentials_free(h, &sid_names.value);
    credmap_lookup_credentials_free(h, &id_names.value);
    idkit_free_whole_credentials(&whole.value);
    credmap_free_handle(h);
    return s;
}

TEST(LyingServer, EveryOperationEndsInAStatusAndFailuresCacheNothing)
{
    // VELMO_CHAOS_OPERATIONS asks for a longer (or shorter) run.
    const int operations = getenv("VELMO_CHAOS_OPERATIONS") ? atoi(getenv("VELMO_CHAOS_OPERATIONS")) : 10000;
    Network net;
    net.add("liar", server_args({"--chaos", "1206"}));
    Messages quiet;
    auto longest = std::chrono::steady_clock::duration::zero();
    int successes = 0;
    for (int i = 0; i < operations; ++i) {
        auto start = std::chrono::steady_clock::now();
        successes += (i % 6 < 4 ? mapping(i % 6) : i % 6 == 4 ? access_list() : remote_operation()) == 0;
        longest = std::max(longest, std::chrono::steady_clock::now() - start);
        if (i % 500 == 0)
            quiet.clear();
    }
    EXPECT_LT(longest, std::chrono::seconds(CREDMAP_CALL_TIMEOUT + 1));
    EXPECT_EQ(overruns, 0u);
    EXPECT_EQ(stale, 0u);
    EXPECT_GT(successes, operations / 10);
    EXPECT_LT(successes, operations * 9 / 10);
    // The caches, with whatever the lies that decoded well put there, still print.
    testing::internal::CaptureStdout();
    credmap_dump_cache();
    EXPECT_NE(testing::internal::GetCapturedStdout().find("liar is NT"), std::string::npos);
}

}  // namespace
