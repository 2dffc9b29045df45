// Remote-to-local SID mapping against simulated hosts, with local accounts
// that mirror some of the sample domain's.
#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <thread>

#include "credmap_cache.h"
#include "credmap_mapping.h"
#include "messages.h"
#include "sids.h"
#include "sim_host.h"

namespace {

using namespace sim;

std::vector<std::string> texts(const idkit_sid_credentials_t &set)
{
    std::vector<std::string> out = {text(set.user), text(set.group)};
    for (uint32_t i = 0; i < set.ngroups; ++i)
        out.push_back(text(set.groups[i]));
    return out;
}

idkit_sid_t kind4(idkit_sid_t sid)
{
    sid.kind = 4;
    return sid;
}

TEST(RemoteToLocal, DomainNamesFindLocalAccounts)
{
    Network net;
    if (!mirror_accounts())
        GTEST_SKIP() << "a private view of the account files needs root";
    const Host &win = net.add("winhost");

    // The file-status form, first of the process, changes the two SIDs and
    // nothing else.
    unsigned char original[120], record[120], expected[120];
    std::memset(original, 0x5a, sizeof original);
    idkit_sid_t owner = domain_sid(1104), group = domain_sid(2001);
    std::memcpy(original + CREDMAP_FSTAT_OWNER_OFFSET, &owner, sizeof owner);
    std::memcpy(original + CREDMAP_FSTAT_OWNER_OFFSET + sizeof owner, &group, sizeof group);
    std::memcpy(record, original, sizeof record);
    std::memcpy(expected, original, sizeof record);
    owner = uid_sid(41104);
    group = gid_sid(40001);
    std::memcpy(expected + CREDMAP_FSTAT_OWNER_OFFSET, &owner, sizeof owner);
    std::memcpy(expected + CREDMAP_FSTAT_OWNER_OFFSET + sizeof owner, &group, sizeof group);
    ASSERT_EQ(credmap_fstat_db_remote_to_local("winhost", record), 0);
    EXPECT_EQ(std::memcmp(record, expected, sizeof record), 0);
    // The first call of the process made the caches: the second is answered
    // from them.
    std::memcpy(record, original, sizeof record);
    ASSERT_EQ(credmap_fstat_db_remote_to_local("winhost", record), 0);
    EXPECT_EQ(std::memcmp(record, expected, sizeof record), 0);
    EXPECT_EQ(count(net.requests(win), CREDMAP_PROC_LOOKUP_SID_CREDENTIALS), 1u);

    // Local sets whose accounts the domain has come back as they were.
    for (auto local : {make_set(uid_sid(0), gid_sid(0), {gid_sid(1), gid_sid(2), gid_sid(0)}),
                       make_set(uid_sid(40000), gid_sid(100), {gid_sid(40001), gid_sid(40600), gid_sid(40500)})}) {
        idkit_sid_credentials_t remote{}, back{};
        ASSERT_EQ(credmap_local_to_remote_sid(&local, "winhost", &remote), 0);
        ASSERT_EQ(remote.user.kind, IDKIT_SID_KIND_NT);
        ASSERT_EQ(credmap_remote_to_local_sid(&remote, "winhost", &back), 0);
        EXPECT_EQ(texts(back), texts(local));
    }

    // Names in another case, names without a local account, specials.
    struct {
        idkit_sid_credentials_t remote;
        std::vector<std::string> local;
    } cases[] = {
        {make_set(domain_sid(1104), domain_sid(513),
                  {domain_sid(2007), domain_sid(1201), domain_sid(1203), IDKIT_SID_NOBODY, IDKIT_SID_DONTCARE}),
         {"S-1-22-1-41104", "nobody", "S-1-22-2-40007", "S-1-22-2-40600", "nobody", "nobody", "dontcare"}},
        {make_set(domain_sid(1105), IDKIT_SID_DONTCARE, {}), {"nobody", "dontcare"}},
    };
    for (const auto &c : cases) {
        idkit_sid_credentials_t local;
        std::memset(&local, 0xa5, sizeof local);
        ASSERT_EQ(credmap_remote_to_local_sid(&c.remote, "winhost", &local), 0);
        EXPECT_EQ(texts(local), c.local);
        // Asked again, in another letter case: the cache answers, mappings
        // to nobody included.
        size_t asked = count(net.requests(win), CREDMAP_PROC_LOOKUP_SID_CREDENTIALS);
        ASSERT_EQ(credmap_remote_to_local_sid(&c.remote, "WinHost", &local), 0);
        EXPECT_EQ(texts(local), c.local);
        EXPECT_EQ(count(net.requests(win), CREDMAP_PROC_LOOKUP_SID_CREDENTIALS), asked);
    }

    // Threads at once, each with its own look-up records: every one gets
    // its own answer (the cache is warm for some SIDs, cold for others).
    std::vector<std::thread> threads;
    std::atomic<int> wrong{0};
    for (uint32_t t = 0; t < 4; ++t)
        threads.emplace_back([&, t] {
            for (uint32_t i = 0; i < 20; ++i) {
                uint32_t team = 1 + (t * 20 + i) % 50;
                idkit_sid_credentials_t remote = make_set(domain_sid(1104), domain_sid(2000 + team), {}), local{};
                bool ok = credmap_remote_to_local_sid(&remote, "winhost", &local) == 0 &&
                          text(local.user) == "S-1-22-1-41104" &&
                          text(local.group) == "S-1-22-2-" + std::to_string(40000 + team);
                wrong += !ok;
            }
        });
    for (auto &t : threads)
        t.join();
    EXPECT_EQ(wrong.load(), 0);

}

TEST(RemoteToLocal, LocalNamesFromDomainNames)
{
    Network net;
    if (!mirror_accounts())
        GTEST_SKIP() << "a private view of the account files needs root";
    // Users: the prefix goes, a name not found is tried in lower case, the
    // name "nobody" (exactly) stands for no one.
    struct {
        const char *name;
        long uid;  // -1: none
    } users[] = {{"KORVANTIS\\alice", 41104}, {"KORVANTIS/Alice", 41104}, {"ALICE", 41104}, {"alice", 41104},
                 {"KORVANTIS\\", -1},         {"", -1},                   {nullptr, -1},   {"nobody", -1},
                 {"Nobody", 65534},           {"a\\b\\alice", -1},        {"Alice2", -1}};
    for (const auto &u : users) {
        struct passwd *pw = credmap_getpwnam(u.name);
        EXPECT_EQ(pw == nullptr ? -1 : long(pw->pw_uid), u.uid) << (u.name ? u.name : "(null)");
    }
    struct group *gr = credmap_getgrnam("KORVANTIS\\Team042");
    ASSERT_NE(gr, nullptr);
    EXPECT_EQ(gr->gr_gid, 40042u);
    // The entry is the thread's own: the next look-up replaces it.
    ASSERT_NE(credmap_getgrnam("lab007"), nullptr);
    EXPECT_STREQ(gr->gr_name, "lab007");
    EXPECT_EQ(credmap_getgrnam("Finance"), nullptr);
}

TEST(RemoteToLocal, WhatCannotBeMapped)
{
    Network net;
    const Host &win = net.add("winhost");
    net.add("unixhost", os("Linux"));
    net.add("nont", server_args({"--no-nt"}));
    net.add("noserver", no_server());
    const Host &fewer = net.add("fewer", server_args({"--answer-groups", "1"}));
    Messages quiet;

    idkit_sid_credentials_t nobody_set = make_set(IDKIT_SID_NOBODY, IDKIT_SID_NOBODY, {IDKIT_SID_NOBODY});
    idkit_sid_credentials_t odd = make_set(kind4(domain_sid(1116)), domain_sid(513), {domain_sid(1201)});
    idkit_sid_credentials_t alice = make_set(domain_sid(1104), domain_sid(513), {domain_sid(1201)});
    struct {
        const char *host;
        const idkit_sid_credentials_t &remote;
        core_status_t status;
        bool copied;  // else the nobody set
    } cases[] = {
        {"winhost", odd, CORE_E_UNSUPPORTED, false},
        {"unixhost", odd, 0, true},
        {"localhost", alice, 0, true},
        {"nont", alice, CORE_E_NT_SID_UNSUPPORTED, false},
        {"noserver", alice, HUBD_E_NOT_REGISTERED, false},
    };
    for (const auto &c : cases) {
        idkit_sid_credentials_t local;
        std::memset(&local, 0xa5, sizeof local);
        EXPECT_EQ(credmap_remote_to_local_sid(&c.remote, c.host, &local), c.status) << c.host;
        const idkit_sid_credentials_t &expected = c.copied ? c.remote : nobody_set;
        size_t compared = c.copied ? sizeof local : offsetof(idkit_sid_credentials_t, groups) + sizeof(idkit_sid_t);
        EXPECT_EQ(std::memcmp(&local, &expected, compared), 0) << c.host;
    }
    // The refusal asked nothing of anyone.
    EXPECT_TRUE(net.requests(win).empty());

    // A pair that cannot be mapped is left as it was.
    idkit_sid_t user = domain_sid(1104), group = domain_sid(513);
    EXPECT_EQ(credmap_sids_remote_to_local_pref("noserver", &user, &group), HUBD_E_NOT_REGISTERED);
    EXPECT_EQ(text(user), kDomain + "1104");
    EXPECT_EQ(text(group), kDomain + "513");

    // A server that names fewer groups than it was sent: the mapping holds
    // its count, and only those pairs are remembered.
    idkit_sid_credentials_t two = make_set(domain_sid(1116), domain_sid(1220), {domain_sid(1221), domain_sid(1222)});
    idkit_sid_credentials_t local{};
    ASSERT_EQ(credmap_remote_to_local_sid(&two, "fewer", &local), 0);
    EXPECT_EQ(texts(local), (std::vector<std::string>{"S-1-22-1-0", "S-1-22-2-0", "S-1-22-2-1"}));
    size_t asked = count(net.requests(fewer), CREDMAP_PROC_LOOKUP_SID_CREDENTIALS);
    ASSERT_EQ(credmap_remote_to_local_sid(&two, "fewer", &local), 0);
    EXPECT_EQ(count(net.requests(fewer), CREDMAP_PROC_LOOKUP_SID_CREDENTIALS), asked + 1);
    two.ngroups = 1;
    ASSERT_EQ(credmap_remote_to_local_sid(&two, "fewer", &local), 0);
    EXPECT_EQ(count(net.requests(fewer), CREDMAP_PROC_LOOKUP_SID_CREDENTIALS), asked + 1);
}

}  // namespace
