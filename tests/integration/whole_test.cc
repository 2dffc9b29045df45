// Whole-credentials mapping (any number of groups) against simulated hosts.
#include <gtest/gtest.h>

#include <cstring>

#include "credmap_cache.h"
#include "messages.h"
#include "sids.h"
#include "sim_host.h"

namespace {

using namespace sim;

// Whole credentials over a caller-owned group vector.
struct Whole {
    idkit_whole_credentials_t record{};
    std::vector<idkit_sid_t> groups;

    Whole(uint32_t uid, uint32_t gid, const std::vector<uint32_t> &gids)
    {
        record.user = uid_sid(uid);
        record.group = gid_sid(gid);
        for (uint32_t g : gids)
            groups.push_back(gid_sid(g));
        record.ngroups = static_cast<int32_t>(groups.size());
        record.groups = groups.data();
    }
};

std::vector<uint32_t> range(uint32_t first, uint32_t n)
{
    std::vector<uint32_t> out;
    for (uint32_t i = 0; i < n; ++i)
        out.push_back(first + i);
    return out;
}

TEST(WholeMapping, ThousandGroupsThenTheCacheSharedWithTheFixedForm)
{
    Network net;
    if (!mirror_accounts())
        GTEST_SKIP() << "a private view of the account files needs root";
    const Host &win = net.add("winhost");

    // quincy in his 500 teams, each followed by a lab group the domain does
    // not have.
    std::vector<uint32_t> gids;
    for (uint32_t i = 1; i <= 500; ++i)
        gids.insert(gids.end(), {40000 + i, 50000 + i});
    Whole quincy(40000, 100, gids);
    idkit_whole_credentials_t remote{};
    ASSERT_EQ(credmap_local_to_remote_whole(&quincy.record, "winhost", &remote), 0);
    ASSERT_EQ(remote.ngroups, 1000);
    // One request for the process's own credentials, one for the set.
    EXPECT_EQ(count(net.requests(win), CREDMAP_PROC_LOOKUP_WHOLE_STRING_CREDENTIALS), 2u);
    EXPECT_EQ(text(remote.user), kDomain + "1121");
    EXPECT_EQ(text(remote.group), kDomain + "1225");
    for (uint32_t i = 0; i < 500; ++i) {
        ASSERT_EQ(text(remote.groups[2 * i]), kDomain + std::to_string(2001 + i)) << i;
        ASSERT_EQ(remote.groups[2 * i + 1].kind, IDKIT_SID_KIND_NOBODY) << i;
    }
    idkit_free_whole_credentials(&remote);
    idkit_free_whole_credentials(&remote);  // harmless

    // The second time, and the fixed-size form of part of the set, come
    // from the cache.
    size_t whole_asked = count(net.requests(win), CREDMAP_PROC_LOOKUP_WHOLE_STRING_CREDENTIALS);
    ASSERT_EQ(credmap_local_to_remote_whole(&quincy.record, "WINHOST", &remote), 0);
    EXPECT_EQ(text(remote.groups[998]), kDomain + "2500");
    idkit_free_whole_credentials(&remote);
    idkit_sid_credentials_t fixed{}, fixed_remote{};
    fixed.user = quincy.record.user;
    fixed.group = quincy.record.group;
    fixed.ngroups = 32;
    std::memcpy(fixed.groups, quincy.groups.data() + 900, sizeof fixed.groups);
    ASSERT_EQ(credmap_local_to_remote_sid(&fixed, "winhost", &fixed_remote), 0);
    EXPECT_EQ(text(fixed_remote.groups[0]), kDomain + "2451");
    EXPECT_EQ(count(net.requests(win), CREDMAP_PROC_LOOKUP_STRING_CREDENTIALS_SID), 0u);
    EXPECT_EQ(count(net.requests(win), CREDMAP_PROC_LOOKUP_WHOLE_STRING_CREDENTIALS), whole_asked);

    // And the reverse: pairs entered by the fixed-size form answer the whole.
    fixed = idkit_sid_credentials_t{};
    fixed.user = uid_sid(41104);
    fixed.group = gid_sid(40600);
    ASSERT_EQ(credmap_local_to_remote_sid(&fixed, "winhost", &fixed_remote), 0);
    Whole alice(41104, 40600, {});
    ASSERT_EQ(credmap_local_to_remote_whole(&alice.record, "winhost", &remote), 0);
    EXPECT_EQ(text(remote.user), kDomain + "1104");
    EXPECT_EQ(remote.ngroups, 0);
    EXPECT_EQ(count(net.requests(win), CREDMAP_PROC_LOOKUP_WHOLE_STRING_CREDENTIALS), whole_asked);
    idkit_free_whole_credentials(&remote);
}

TEST(WholeMapping, HostsThatNeedNoMappingOrCannotBeReached)
{
    Network net;
    net.add("unixhost", os("Linux"));
    net.add("noserver", no_server());
    const Host &fewer = net.add("fewer", server_args({"--answer-groups", "10"}));
    net.add("liar", server_args({"--too-many-groups"}));
    Messages quiet;
    Whole local(0, 0, range(1, 20));

    // Copied, with an array of its own.
    idkit_whole_credentials_t remote{};
    ASSERT_EQ(credmap_local_to_remote_whole(&local.record, "unixhost", &remote), 0);
    ASSERT_EQ(remote.ngroups, 20);
    EXPECT_NE(remote.groups, local.groups.data());
    EXPECT_EQ(std::memcmp(remote.groups, local.groups.data(), 20 * sizeof(idkit_sid_t)), 0);
    idkit_free_whole_credentials(&remote);

    // No server: the status, and nothing left to release.
    EXPECT_EQ(credmap_local_to_remote_whole(&local.record, "noserver", &remote), HUBD_E_NOT_REGISTERED);
    EXPECT_EQ(remote.groups, nullptr);

    // A reply that claims more groups than the protocol allows: the cache
    // pass's array stays, with its special SIDs repaired.
    Whole odd(0, 0, {1});
    odd.groups[0] = IDKIT_SID_DONTCARE;
    EXPECT_EQ(credmap_local_to_remote_whole(&odd.record, "liar", &remote), CORE_E_UNSUPPORTED);
    ASSERT_EQ(remote.ngroups, 1);
    EXPECT_EQ(remote.groups[0].kind, IDKIT_SID_KIND_DONTCARE);
    idkit_free_whole_credentials(&remote);

    // A server answering 10 of 20 groups: only those are remembered.
    ASSERT_EQ(credmap_local_to_remote_whole(&local.record, "fewer", &remote), 0);
    EXPECT_EQ(remote.ngroups, 10);
    size_t asked = count(net.requests(fewer), CREDMAP_PROC_LOOKUP_WHOLE_STRING_CREDENTIALS);
    for (int32_t n : {10, 11}) {
        Whole part(0, 0, range(1, uint32_t(n)));
        idkit_free_whole_credentials(&remote);
        ASSERT_EQ(credmap_local_to_remote_whole(&part.record, "fewer", &remote), 0);
        EXPECT_EQ(count(net.requests(fewer), CREDMAP_PROC_LOOKUP_WHOLE_STRING_CREDENTIALS), asked + (n == 11)) << n;
    }
    idkit_free_whole_credentials(&remote);

    EXPECT_EQ(credmap_local_to_remote_whole(nullptr, "unixhost", &remote), CORE_E_BAD_ARGUMENT);
    local.record.ngroups = -1;
    EXPECT_EQ(credmap_local_to_remote_whole(&local.record, "unixhost", &remote), CORE_E_BAD_ARGUMENT);
    EXPECT_EQ(remote.groups, nullptr);
}

}  // namespace
