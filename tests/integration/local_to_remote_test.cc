// Local-to-remote SID mapping against simulated Windows and UNIX hosts.
#include <gtest/gtest.h>

#include <cstring>

#include "credmap_cache.h"
#include "credmap_mapping.h"
#include "messages.h"
#include "sids.h"
#include "sim_host.h"

namespace {

using sim::count;
using sim::gid_sid;
using sim::kDomain;
using sim::text;
using sim::uid_sid;

// root, group root, groups root, daemon, bin: names the sample domain has.
idkit_sid_credentials_t root_set()
{
    idkit_sid_credentials_t set{};
    set.user = uid_sid(0);
    set.group = gid_sid(0);
    for (uint32_t gid : {0u, 1u, 2u})
        set.groups[set.ngroups++] = gid_sid(gid);
    return set;
}

uint8_t host_flags(const char *host)
{
    credmap_host_key_t key = credmap_make_host_key(host);
    credmap_host_rec_t record{};
    record.flags = 0xff;
    credmap_hash_lookup(cmaphost_ht_h.load(), &key, &record, sizeof record);
    return record.flags;
}

TEST(LocalToRemote, WindowsHostThroughTheServerThenFromTheCache)
{
    sim::Network net;
    const sim::Host &win = net.add("winhost");
    idkit_sid_credentials_t local = root_set(), remote{};
    local.groups[local.ngroups++] = IDKIT_SID_DONTCARE;
    ASSERT_EQ(credmap_local_to_remote_sid(&local, "winhost", &remote), 0);
    EXPECT_EQ(text(remote.user), kDomain + "1116");
    EXPECT_EQ(text(remote.group), kDomain + "1220");
    ASSERT_EQ(remote.ngroups, 4u);
    EXPECT_EQ(text(remote.groups[1]), kDomain + "1221");
    EXPECT_EQ(text(remote.groups[2]), kDomain + "1222");
    EXPECT_EQ(remote.groups[3].kind, IDKIT_SID_KIND_DONTCARE);
    EXPECT_EQ(host_flags("winhost"), CREDMAP_HOST_NT);
    size_t asked = count(net.requests(win), CREDMAP_PROC_LOOKUP_STRING_CREDENTIALS_SID);
    EXPECT_GE(asked, 1u);

    // Again, in another letter case: the cache answers, the server is not asked.
    idkit_sid_credentials_t again{};
    ASSERT_EQ(credmap_local_to_remote_sid(&local, "WINHOST", &again), 0);
    EXPECT_EQ(std::memcmp(&again.user, &remote.user, sizeof(idkit_sid_t) * 2), 0);
    EXPECT_EQ(count(net.requests(win), CREDMAP_PROC_LOOKUP_STRING_CREDENTIALS_SID), asked);

    // The pair and the file-status forms map in place.
    struct {
        char header[CREDMAP_FSTAT_OWNER_OFFSET];
        idkit_sid_t owner, group;
    } file{};
    file.owner = uid_sid(0);
    file.group = gid_sid(2);
    ASSERT_EQ(credmap_fstat_db_local_to_remote("winhost", &file), 0);
    EXPECT_EQ(text(file.owner), kDomain + "1116");
    EXPECT_EQ(text(file.group), kDomain + "1222");
}

TEST(LocalToRemote, HostsInMyDomainTakeTheSetAsItIs)
{
    sim::Network net;
    net.add("unixhost", sim::os("Linux"));
    net.add("lowercase", sim::os("windows 10"));
    net.add("no-os", sim::os(""));
    idkit_sid_credentials_t local = root_set();
    for (const char *host : {"localhost", "unixhost", "lowercase", "no-os"}) {
        idkit_sid_credentials_t remote;
        std::memset(&remote, 0xa5, sizeof remote);
        ASSERT_EQ(credmap_local_to_remote_sid(&local, host, &remote), 0) << host;
        EXPECT_EQ(std::memcmp(&remote, &local, sizeof local), 0) << host;
        EXPECT_EQ(host_flags(host), CREDMAP_HOST_MY_DOMAIN) << host;
    }
}

TEST(LocalToRemote, HostWithoutInformationWhoseServerAnswers)
{
    sim::Network net;
    sim::HostOptions options;
    options.hostinfo = false;
    const sim::Host &host = net.add("quiet", options);
    idkit_sid_credentials_t local = root_set(), remote{};
    ASSERT_EQ(credmap_local_to_remote_sid(&local, "quiet", &remote), 0);
    EXPECT_EQ(text(remote.user), kDomain + "1116");
    EXPECT_EQ(host_flags("quiet"), 0);
    // From now on the set is taken as it is, without asking anyone.
    size_t requests = net.requests(host).size();
    ASSERT_EQ(credmap_local_to_remote_sid(&local, "quiet", &remote), 0);
    EXPECT_EQ(std::memcmp(&remote, &local, sizeof local), 0);
    EXPECT_EQ(net.requests(host).size(), requests);
}

TEST(LocalToRemote, UnreachableServerGivesNobodyAndTheStatus)
{
    sim::Network net;
    net.add("noserver", sim::no_server());
    Messages quiet;
    idkit_sid_credentials_t local = root_set(), remote{};
    EXPECT_EQ(credmap_local_to_remote_sid(&local, "noserver", &remote), HUBD_E_NOT_REGISTERED);
    EXPECT_EQ(remote.user.kind, IDKIT_SID_KIND_NOBODY);
    EXPECT_EQ(remote.group.kind, IDKIT_SID_KIND_NOBODY);
    EXPECT_EQ(remote.groups[0].kind, IDKIT_SID_KIND_NOBODY);
    EXPECT_EQ(remote.ngroups, 1u);
    idkit_sid_t user = uid_sid(0), group = gid_sid(0);
    EXPECT_EQ(credmap_sids_local_to_remote("noserver", &user, &group), HUBD_E_NOT_REGISTERED);
    EXPECT_EQ(idkit_sid_to_uid(&user), 0u);
    EXPECT_EQ(idkit_sid_to_gid(&group), 0u);
    EXPECT_EQ(host_flags("noserver"), CREDMAP_HOST_NT);  // classified, then not reached
}

TEST(LocalToRemote, AnswersOfNobodyAreRememberedToo)
{
    sim::Network net;
    const sim::Host &win = net.add("winhost");
    // "lp" and group "disk" are accounts of most UNIX machines the domain
    // does not have.
    idkit_sid_credentials_t local{}, remote{};
    local.user = uid_sid(7);
    local.group = gid_sid(6);
    ASSERT_EQ(credmap_local_to_remote_sid(&local, "winhost", &remote), 0);
    EXPECT_EQ(remote.user.kind, IDKIT_SID_KIND_NOBODY);
    size_t asked = count(net.requests(win), CREDMAP_PROC_LOOKUP_STRING_CREDENTIALS_SID);
    ASSERT_EQ(credmap_local_to_remote_sid(&local, "winhost", &remote), 0);
    EXPECT_EQ(count(net.requests(win), CREDMAP_PROC_LOOKUP_STRING_CREDENTIALS_SID), asked);
}

TEST(LocalToRemote, OnlyTheGroupsTheServerAnsweredAreCached)
{
    sim::Network net;
    net.add("winhost", sim::server_args({"--answer-groups", "1"}));
    idkit_sid_credentials_t local{}, remote{};
    local.user = uid_sid(1);
    local.group = gid_sid(1);
    local.groups[0] = gid_sid(2);
    local.groups[1] = gid_sid(3);
    local.ngroups = 2;
    ASSERT_EQ(credmap_local_to_remote_sid(&local, "winhost", &remote), 0);
    EXPECT_EQ(remote.ngroups, 1u);
    fxtab_t table = cmapsidltor_ht_h.load();
    idkit_sid_t out;
    credmap_sid_key_t bin = credmap_make_sid_key("winhost", gid_sid(2));
    credmap_sid_key_t sys = credmap_make_sid_key("winhost", gid_sid(3));
    EXPECT_TRUE(credmap_hash_lookup(table, &bin, &out, sizeof out));
    EXPECT_FALSE(credmap_hash_lookup(table, &sys, &out, sizeof out));
}

TEST(LocalToRemote, LongHostNamesAreNeverCached)
{
    sim::Network net;
    std::string name = "w" + std::string(61, 'x') + ".net";
    ASSERT_EQ(name.size(), 66u);
    const sim::Host &host = net.add(name);
    idkit_sid_credentials_t local = root_set(), remote{};
    for (int i = 0; i < 2; ++i)
        ASSERT_EQ(credmap_local_to_remote_sid(&local, name.c_str(), &remote), 0);
    EXPECT_EQ(text(remote.user), kDomain + "1116");
    // Each call asks twice: once for the process's own credentials, once
    // for the set.
    EXPECT_EQ(count(net.requests(host), CREDMAP_PROC_LOOKUP_STRING_CREDENTIALS_SID), 4u);
    EXPECT_EQ(host_flags(name.substr(0, 65).c_str()), 0xff);
}

TEST(LocalToRemote, CheckedFormSortsTrimsAndReports)
{
    sim::Network net;
    net.add("winhost");
    net.add("noserver", sim::no_server());
    Messages messages;
    idkit_sid_credentials_t local{}, remote{};
    local.user = uid_sid(0);
    local.group = gid_sid(0);
    idkit_sid_t groups[] = {IDKIT_SID_NOBODY, gid_sid(1), IDKIT_SID_DONTCARE, gid_sid(4)};
    for (const auto &g : groups)
        local.groups[local.ngroups++] = g;
    ASSERT_EQ(credmap_local_to_remote_with_check(&local, "winhost", &remote), 0);
    ASSERT_EQ(remote.ngroups, 2u);
    EXPECT_TRUE(sid_compare(&remote.groups[0], &remote.groups[1]) < 0);
    EXPECT_EQ(text(remote.groups[0]), kDomain + "1221");  // daemon, then adm: bytewise
    EXPECT_EQ(text(remote.groups[1]), kDomain + "1224");
    EXPECT_TRUE(messages.all().empty());

    local.user = IDKIT_SID_DONTCARE;
    EXPECT_EQ(credmap_local_to_remote_with_check(&local, "winhost", &remote), CORE_E_FAILURE);
    EXPECT_EQ(messages.texts(),
              (std::vector<std::string>{"The given credentials are not recognized by the remote host.\n",
                                        "More information might be available in hubd or credmap logs on host: "
                                        "\"winhost\".\n"}));
    messages.clear();
    EXPECT_EQ(credmap_local_to_remote_with_check(&local, "noserver", &remote), HUBD_E_NOT_REGISTERED);
    // The handle's own messages (for the process's credentials and for the
    // set), then rows 28 and 30.
    auto texts = messages.texts();
    ASSERT_EQ(texts.size(), 4u);
    EXPECT_EQ(texts[2], std::string("Unable to map the local credentials to the remote credentials: ") +
                            core_strerror(HUBD_E_NOT_REGISTERED) + "\n");
    EXPECT_EQ(texts[3], "More information might be available in hubd or credmap logs on host: \"noserver\".\n");
}

TEST(LocalToRemote, BadArguments)
{
    idkit_sid_credentials_t local = root_set(), remote{};
    EXPECT_EQ(credmap_local_to_remote_sid(nullptr, "h", &remote), CORE_E_BAD_ARGUMENT);
    EXPECT_EQ(credmap_local_to_remote_sid(&local, nullptr, &remote), CORE_E_BAD_ARGUMENT);
    EXPECT_EQ(credmap_local_to_remote_sid(&local, "h", &local), CORE_E_BAD_ARGUMENT);
    local.ngroups = 33;
    EXPECT_EQ(credmap_local_to_remote_sid(&local, "localhost", &remote), CORE_E_BAD_ARGUMENT);
}

}  // namespace
