// The remote operations against real credmap_servers on loopback, and the
// arguments every public call refuses.
#include <gtest/gtest.h>

#include <cstring>
#include <thread>

#include "credmap_mapping.h"
#include "messages.h"
#include "sids.h"
#include "sim_host.h"
#include "tls_impl.h"

namespace {

using namespace sim;

struct Hosts {
    Network net;
    const Host &win = net.add("winhost"), &toomany = net.add("toomany", server_args({"--too-many-groups"})),
               &statuses = net.add("statuses", server_args({"--no-proc", "21", "--no-proc", "13", "--proc-status",
                                                            "23=1063", "--refuse", "bob"}));
};

// A handle on one host, released at the end.
struct Session {
    explicit Session(const char *host = "winhost")
    {
        static Hosts hosts;
        EXPECT_EQ(credmap_get_handle(host, &handle), 0) << host;
    }
    ~Session()
    {
        if (handle != nullptr)
            credmap_free_handle(handle);
    }
    credmap_handle_t *handle = nullptr;
};

TEST(RemoteOperations, CopiedAndHandedOverAnswers)
{
    Session s;
    idkit_credentials_t creds{};
    ASSERT_EQ(credmap_svr_get_credentials(s.handle, "ALICE", &creds), 0);
    EXPECT_EQ(creds.uid, 21104u);
    EXPECT_EQ(creds.ngroups, 3);
    credmap_user_sid_credentials_t oscar{};
    ASSERT_EQ(credmap_lookup_user_sid_credentials(s.handle, "oscar", &oscar), 0);
    EXPECT_STREQ(oscar.user.name, "KORVANTIS\\Oscar");
    ASSERT_EQ(oscar.ngroups, 36u);  // more than a fixed record holds
    EXPECT_STREQ(oscar.groups[35].name, "KORVANTIS\\Project30");
    credmap_lookup_user_sid_credentials_free(s.handle, &oscar);
    EXPECT_EQ(oscar.groups, nullptr);

    idkit_string_credentials_t names{};
    creds.uid = 21105;
    ASSERT_EQ(credmap_lookup_credentials(s.handle, &creds, &names), 0);
    EXPECT_STREQ(names.user, "KORVANTIS\\BOB");
    credmap_lookup_credentials_free(s.handle, &names);
    EXPECT_EQ(names.user, nullptr);
    idkit_sid_credentials_t sids = make_set(domain_sid(1106), domain_sid(1201), {});
    ASSERT_EQ(credmap_lookup_sid_credentials(s.handle, &sids, &names), 0);
    EXPECT_STREQ(names.user, "KORVANTIS\\carol");
    EXPECT_STREQ(names.group, "KORVANTIS\\Engineering");
    credmap_lookup_sid_credentials_free(s.handle, &names);
    credmap_lookup_sid_credentials_free(s.handle, &names);  // a cleared record: nothing to free
}

TEST(RemoteOperations, PerThreadDelivery)
{
    Session s;
    idkit_passwd_sid_t pw;
    ASSERT_EQ(credmap_svr_getpwnam(s.handle, "heidi", &pw), 0);
    EXPECT_STREQ(pw.user.name, "KORVANTIS\\Heidi");
    EXPECT_STREQ(pw.group.name, "KORVANTIS\\Finance");
    EXPECT_STREQ(pw.gecos, "Heidi Klum");
    EXPECT_STREQ(pw.home, "/home/heidi");
    EXPECT_EQ(pw.user.id, 21111u);
    // The strings live in the thread's own record.
    EXPECT_EQ(pw.user.name, credmap_tls_get()->pw_text[0]);
    EXPECT_EQ(credmap_initialized(), 1);

    ASSERT_EQ(credmap_svr_getpwuid(s.handle, 21104, &pw), 0);
    EXPECT_STREQ(pw.user.name, "KORVANTIS\\Alice");
    idkit_sid_t judy = domain_sid(1113);
    ASSERT_EQ(credmap_svr_getpwsid(s.handle, &judy, &pw), 0);
    EXPECT_STREQ(pw.user.name, "KORVANTIS\\Judy");

    idkit_group_sid_t gr, first;
    ASSERT_EQ(credmap_svr_getgrgid(s.handle, 21204, &gr), 0);
    EXPECT_STREQ(gr.name, "KORVANTIS\\Sales");
    idkit_sid_t support = domain_sid(1205);
    ASSERT_EQ(credmap_svr_getgrsid(s.handle, &support, &gr), 0);
    EXPECT_STREQ(gr.name, "KORVANTIS\\Support");

    ASSERT_EQ(credmap_svr_getgrnam(s.handle, "engineering", &first), 0);
    std::string other;
    std::thread([&] {
        Session mine;
        idkit_group_sid_t g;
        if (mine.handle != nullptr && credmap_svr_getgrnam(mine.handle, "finance", &g) == 0)
            other = g.name;
    }).join();
    EXPECT_EQ(other, "KORVANTIS\\Finance");
    EXPECT_STREQ(first.name, "KORVANTIS\\Engineering");  // another thread's call leaves it alone
    ASSERT_EQ(credmap_svr_getgrnam(s.handle, "auditors", &gr), 0);
    EXPECT_STREQ(first.name, "KORVANTIS\\Auditors");  // this thread's next call replaces it
}

TEST(RemoteOperations, ServerStatusesAndBrokenReplies)
{
    Messages messages;  // missing procedures, a status, a refused user, too many groups
    Session s("statuses");
    idkit_credentials_t creds{};
    idkit_string_credentials_t names{};
    EXPECT_EQ(credmap_lookup_credentials(s.handle, &creds, &names), CORE_E_UNSUPPORTED);
    idkit_passwd_sid_t pw;
    EXPECT_EQ(credmap_svr_getpwnam(s.handle, "alice", &pw), CORE_E_UNSUPPORTED);
    EXPECT_TRUE(messages.all().empty());
    idkit_sid_credentials_t sids = make_set(uid_sid(0), IDKIT_SID_NOBODY, {});
    std::memset(&names, 0x5a, sizeof names);
    EXPECT_EQ(credmap_lookup_sid_credentials(s.handle, &sids, &names), CORE_E_CREDS_REFUSED);
    EXPECT_EQ(names.user, nullptr);  // cleared on a server status
    char bob[] = "bob", users[] = "Domain Users";
    names = idkit_string_credentials_t{};
    names.user = bob;
    names.group = users;
    sids.ngroups = 7;
    EXPECT_EQ(credmap_lookup_string_credentials_sid(s.handle, &names, &sids), CORE_E_CREDS_REFUSED);
    EXPECT_EQ(sids.ngroups, 7u);                                           // a copy form leaves its record on a status
    EXPECT_EQ(credmap_svr_get_credentials(s.handle, "alice", &creds), 0);  // the handle stays usable
    Session liar("toomany");
    EXPECT_EQ(credmap_lookup_string_credentials_sid(liar.handle, &names, &sids), CORE_E_RPC_FAILED);
    ASSERT_EQ(messages.texts().size(), 1u);
    EXPECT_EQ(messages.texts()[0].rfind("credmap_lookup_string_credentials_sid call failed: ", 0), 0u);
}

// Every public call refuses a missing or out-of-range argument: one a row,
// the first its check looks at where it can (any, without a handle).
TEST(PublicInterface, BadArguments)
{
    credmap_handle_t *none = nullptr;
    idkit_credentials_t creds{};
    idkit_sid_credentials_t set = make_set(uid_sid(0), gid_sid(0), {}), out{}, big = set;
    big.ngroups = IDKIT_MAX_GROUPS + 1;
    idkit_whole_credentials_t whole{}, whole_out{}, negative{};
    negative.ngroups = -1;
    idkit_sid_t user = uid_sid(0), group = gid_sid(0);
    credmap_cache_stats_t small{};
    small.size = 8;
    core_sid_acl_t acl = nullptr, acl_out = nullptr;
    core_rolemap_acl_t map_out = nullptr;
    core_sid_acl_create(&acl);
    core_status_t statuses[] = {
        credmap_get_handle(nullptr, &none),
        credmap_svr_get_credentials(none, nullptr, nullptr),
        credmap_lookup_string_credentials(none, nullptr, nullptr),
        credmap_lookup_user_sid(none, nullptr, 0, nullptr),
        credmap_lookup_user_sid_credentials(none, nullptr, nullptr),
        credmap_svr_getpwnam(none, nullptr, nullptr),
        credmap_svr_getpwuid(none, 0, nullptr),
        credmap_svr_getpwsid(none, nullptr, nullptr),
        credmap_svr_getgrnam(none, nullptr, nullptr),
        credmap_svr_getgrgid(none, 0, nullptr),
        credmap_svr_getgrsid(none, nullptr, nullptr),
        credmap_lookup_credentials(none, nullptr, nullptr),
        credmap_lookup_string_credentials_sid(none, nullptr, nullptr),
        credmap_lookup_sid_credentials(none, nullptr, nullptr),
        credmap_lookup_whole_string_credentials(none, nullptr, nullptr),
        credmap_local_to_remote_sid(nullptr, "winhost", &out),
        credmap_local_to_remote_sid(&set, "winhost", &set),
        credmap_local_to_remote_sid(&big, "localhost", &out),
        credmap_sids_local_to_remote("winhost", nullptr, &group),
        credmap_local_to_remote_whole(&whole, "winhost", nullptr),
        credmap_local_to_remote_whole(nullptr, "winhost", &whole_out),
        credmap_local_to_remote_whole(&negative, "winhost", &whole_out),
        credmap_remote_to_local_sid(&set, "winhost", nullptr),
        credmap_remote_to_local_sid(nullptr, "winhost", &out),
        credmap_sids_remote_to_local_pref(nullptr, &user, &group),
        credmap_sids_remote_to_local_pref("winhost", nullptr, &group),
        credmap_local_sid_to_remote_posix(nullptr, "winhost", &creds),
        credmap_sid_acl_remote_to_local("winhost", 3, acl, &acl_out),
        credmap_rolemap_remote_to_local("winhost", 3, nullptr, &map_out),
        credmap_cache_stats(&small),
    };
    for (size_t i = 0; i < std::size(statuses); ++i)
        EXPECT_EQ(statuses[i], CORE_E_BAD_ARGUMENT) << "row " << i;
    EXPECT_EQ(whole_out.groups, nullptr);
    EXPECT_EQ(acl_out, nullptr);
    EXPECT_EQ(out.user.kind, IDKIT_SID_KIND_NOBODY);  // filled with nobody even so
    EXPECT_EQ(creds.uid, IDKIT_ID_NOBODY);
    core_sid_acl_free(acl);
}

}  // namespace
