// POSIX identities on a remote host, and the AUTH_UNIX authentication built
// from them, as a real Sun RPC server receives it.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include "credmap_mapping.h"
#include "messages.h"
#include "sids.h"
#include "sim_host.h"

namespace {

using namespace sim;

constexpr unsigned long kProgram = 0x20005a51, kVersion = 3;

std::vector<uint64_t> groups_of(const idkit_credentials_t &c)
{
    return std::vector<uint64_t>(c.groups, c.groups + std::max(c.ngroups, 0));
}

bool_t xdr_nothing(XDR *, void *)
{
    return TRUE;
}

// Makes a null call with the authentication to the recording server and
// returns the line it recorded ("" when the call failed).
std::string call_with(AUTH *auth, Network &net, unsigned port)
{
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    int sock = RPC_ANYSOCK;
    CLIENT *clnt = clnttcp_create(&address, kProgram, kVersion, &sock, 0, 0);
    if (clnt == nullptr)
        return "";
    auth_destroy(clnt->cl_auth);
    clnt->cl_auth = auth;
    timeval timeout{5, 0};
    clnt_stat rc = clnt_call(clnt, NULLPROC, (xdrproc_t)xdr_nothing, nullptr, (xdrproc_t)xdr_nothing, nullptr, timeout);
    clnt->cl_auth = nullptr;
    clnt_destroy(clnt);
    auto lines = net.recorded();
    return rc == RPC_SUCCESS && !lines.empty() ? lines.back() : "";
}

std::string machine()
{
    char name[64];
    idkit_mk_authunix_machname(name, sizeof name);
    return name;
}

TEST(PosixIdentity, TheHostsIdsThenTheCache)
{
    Network net;
    const Host &win = net.add("winhost");
    net.add("noserver", no_server());
    net.add("refuser", server_args({"--refuse", "root"}));
    Messages quiet;

    // root's set; disk (6) is unknown to the domain, the don't-care SID has
    // no id: both are left out, the rest sorted.
    idkit_sid_credentials_t root =
        make_set(uid_sid(0), gid_sid(0), {gid_sid(2), gid_sid(6), IDKIT_SID_DONTCARE, gid_sid(1), gid_sid(0)});
    idkit_credentials_t creds{};
    ASSERT_EQ(credmap_local_sid_to_remote_posix(&root, "winhost", &creds), 0);
    EXPECT_EQ(creds.uid, 21116u);
    EXPECT_EQ(creds.gid, 21220u);
    EXPECT_EQ(groups_of(creds), (std::vector<uint64_t>{21220, 21221, 21222}));

    // Again: from the cache, the same ids.
    size_t asked = count(net.requests(win), CREDMAP_PROC_LOOKUP_STRING_CREDENTIALS);
    idkit_credentials_t again{};
    ASSERT_EQ(credmap_local_sid_to_remote_posix(&root, "WinHost", &again), 0);
    EXPECT_EQ(count(net.requests(win), CREDMAP_PROC_LOOKUP_STRING_CREDENTIALS), asked);
    auto cached = groups_of(again);
    std::sort(cached.begin(), cached.end());
    EXPECT_EQ(cached, groups_of(creds));
    testing::internal::CaptureStdout();
    credmap_dump_cache();
    std::string dump = testing::internal::GetCapturedStdout();
    EXPECT_NE(dump.find("S-1-22-1-0 -> winhost:UID-21116 (0x527c)"), std::string::npos) << dump;
    EXPECT_NE(dump.find("S-1-22-2-6 -> winhost:GID--2 (0xfffffffe)"), std::string::npos) << dump;

    struct {
        const char *host;
        core_status_t status;
        std::vector<uint64_t> ids;  // uid, gid, groups
    } cases[] = {
        {"localhost", 0, {0, 0, 2, 6, IDKIT_ID_NOBODY, 1, 0}},
        {"noserver", HUBD_E_NOT_REGISTERED, {IDKIT_ID_NOBODY, IDKIT_ID_NOBODY, IDKIT_ID_NOBODY}},
        {"refuser", CORE_E_CREDS_REFUSED, {}},
    };
    for (const auto &c : cases) {
        idkit_credentials_t out{};
        EXPECT_EQ(credmap_local_sid_to_remote_posix(&root, c.host, &out), c.status) << c.host;
        std::vector<uint64_t> ids = {out.uid, out.gid};
        for (uint64_t g : groups_of(out))
            ids.push_back(g);
        if (!c.ids.empty()) {
            EXPECT_EQ(ids, c.ids) << c.host;
        }
    }
}

TEST(Authentication, WhatTheServerReceives)
{
    Network net;
    if (!mirror_accounts())
        GTEST_SKIP() << "a private view of the account files needs root";
    net.add("winhost");
    net.add("unixhost", os("Linux"));
    net.add("noserver", no_server());
    net.add("refuser", server_args({"--refuse", "Quincy"}));
    unsigned port = net.add_recorder(kProgram, kVersion);
    Messages messages;

    // quincy in 20 teams and two groups the domain does not have: the
    // Windows host's ids, sorted, the first 16.
    std::vector<idkit_sid_t> teams;
    for (uint32_t i = 20; i >= 1; --i)
        teams.push_back(gid_sid(40000 + i));
    teams.insert(teams.begin() + 3, {gid_sid(50001), gid_sid(50002)});
    idkit_sid_credentials_t quincy = make_set(uid_sid(40000), gid_sid(100), teams);
    // Local ids in their order, the nobody group left out, the first 16.
    std::vector<idkit_sid_t> local_groups;
    for (uint32_t g = 1; g <= 18; ++g)
        local_groups.push_back(gid_sid(g));
    local_groups.insert(local_groups.begin() + 1, IDKIT_SID_NOBODY);
    local_groups.insert(local_groups.begin() + 5, IDKIT_SID_NOBODY);
    idkit_sid_credentials_t local = make_set(uid_sid(1000), gid_sid(1000), local_groups);

    std::string m = "unix " + machine() + " ";
    struct {
        const char *host;
        const idkit_sid_credentials_t &set;
        std::string received;  // "" for no authentication at all
    } cases[] = {
        {"winhost", quincy, m + "21121 21225 22001,22002,22003,22004,22005,22006,22007,22008,22009,22010,22011,"
                                "22012,22013,22014,22015,22016"},
        {"unixhost", local, m + "1000 1000 1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16"},
        {nullptr, local, m + "1000 1000 1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16"},
        {"noserver", quincy, m + "4294967294 4294967294 "},
        {"refuser", quincy, ""},
    };
    for (const auto &c : cases) {
        AUTH *auth = credmap_auth_create(c.host, &c.set);
        const char *host = c.host != nullptr ? c.host : "(none)";
        if (c.received.empty()) {
            EXPECT_EQ(auth, nullptr) << host;
            if (auth != nullptr)
                auth_destroy(auth);
            continue;
        }
        ASSERT_NE(auth, nullptr) << host;
        EXPECT_EQ(call_with(auth, net, port), c.received) << host;
        auth_destroy(auth);
    }
    auto texts = messages.texts();
    for (const char *text : {"Can't get credentials for use on host noserver; using \"nobody\"\n",
                             "Credentials DENIED on host refuser\n"})
        EXPECT_EQ(std::count(texts.begin(), texts.end(), text), 1) << text;
}

TEST(PreferenceMap, TheNamesAndSidsTheServiceKnows)
{
    idkit_sid_t user = uid_sid(0), group = gid_sid(0), groups[] = {gid_sid(424242), gid_sid(1)};
    credmap_pref_entry_t *map = nullptr;
    credmap_credentials_to_pref_map(&user, &group, 2, groups, &map);
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(map[0].count, 3u);
    EXPECT_STREQ(map[0].name, "root");
    EXPECT_EQ(text(map[1].sid), "S-1-22-2-0");
    EXPECT_EQ(map[2].name, nullptr);
    EXPECT_EQ(map[2].sid.kind, IDKIT_SID_KIND_NOBODY);
    EXPECT_STREQ(map[3].name, "daemon");
    for (int i = 0; i < 4; ++i)
        free(map[i].name);
    free(map);
    credmap_credentials_to_pref_map(&user, &group, -1, groups, &map);
    ASSERT_NE(map, nullptr);
    EXPECT_EQ(map[0].count, 1u);
    free(map[0].name);
    free(map[1].name);
    free(map);
}

}  // namespace
