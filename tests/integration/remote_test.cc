// The remote operations against a real credmap_server on loopback.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstring>
#include <thread>

#include "messages.h"
#include "sim_host.h"
#include "tls_impl.h"
#include "velmo/credmap.h"

namespace {

std::string text(const idkit_sid_t &sid)
{
    char buffer[IDKIT_SID_TEXT_MAX];
    return idkit_sid_to_str(&sid, buffer);
}

const char kDomainSid[] = "S-1-5-21-3623811015-3361044348-30300820";

idkit_sid_t sid(const std::string &s)
{
    idkit_sid_t out{};
    EXPECT_EQ(idkit_sid_from_str(s.c_str(), &out), 0) << s;
    return out;
}

// A handle for one host of a fresh network, released at the end.
struct Session {
    explicit Session(const sim::HostOptions &options = {}) : host(net.add("winhost", options))
    {
        EXPECT_EQ(credmap_get_handle("winhost", &handle), 0);
    }
    ~Session()
    {
        if (handle != nullptr)
            credmap_free_handle(handle);
    }
    sim::Network net;
    const sim::Host &host;
    credmap_handle_t *handle = nullptr;
};

TEST(RemoteOperations, CopyAndInPlaceDelivery)
{
    Session s;
    idkit_credentials_t creds{};
    ASSERT_EQ(credmap_svr_get_credentials(s.handle, "ALICE", &creds), 0);
    EXPECT_EQ(creds.uid, 21104u);
    EXPECT_EQ(creds.gid, 20513u);
    EXPECT_EQ(creds.ngroups, 3);

    char alice[] = "alice", staff[] = "staff", eng[] = "engineering", ghost[] = "ghost";
    idkit_string_credentials_t names{};
    names.user = alice;
    names.group = staff;
    names.ngroups = 2;
    names.groups[0] = eng;
    names.groups[1] = ghost;
    ASSERT_EQ(credmap_lookup_string_credentials(s.handle, &names, &creds), 0);
    EXPECT_EQ(creds.gid, 21202u);
    EXPECT_EQ(creds.groups[0], 21201u);
    EXPECT_EQ(creds.groups[1], IDKIT_ID_NOBODY);

    idkit_sid_credentials_t sids{};
    ASSERT_EQ(credmap_lookup_string_credentials_sid(s.handle, &names, &sids), 0);
    EXPECT_EQ(text(sids.user), std::string(kDomainSid) + "-1104");
    EXPECT_EQ(text(sids.groups[0]), std::string(kDomainSid) + "-1201");
    EXPECT_EQ(sids.groups[1].kind, IDKIT_SID_KIND_NOBODY);

    char sid_text[1024];
    ASSERT_EQ(credmap_lookup_user_sid(s.handle, "korvantis\\grace", 0, sid_text), 0);
    EXPECT_STREQ(sid_text, (std::string(kDomainSid) + "-1110").c_str());
    ASSERT_EQ(credmap_lookup_domain_sid(s.handle, "KORVANTIS", 0, sid_text), 0);
    EXPECT_STREQ(sid_text, kDomainSid);
}

TEST(RemoteOperations, HandedOverResultsAndTheirRelease)
{
    Session s;
    credmap_user_sid_credentials_t oscar{};
    ASSERT_EQ(credmap_lookup_user_sid_credentials(s.handle, "oscar", &oscar), 0);
    EXPECT_STREQ(oscar.user.name, "KORVANTIS\\Oscar");
    // More groups than a fixed record holds come through whole.
    ASSERT_EQ(oscar.ngroups, 36u);
    EXPECT_STREQ(oscar.groups[35].name, "KORVANTIS\\Project30");
    credmap_lookup_user_sid_credentials_free(s.handle, &oscar);
    EXPECT_EQ(oscar.groups, nullptr);
    EXPECT_EQ(oscar.user.name, nullptr);

    idkit_credentials_t creds{};
    creds.uid = 21105;
    creds.gid = 21203;
    creds.ngroups = 1;
    creds.groups[0] = 21202;
    idkit_string_credentials_t names{};
    ASSERT_EQ(credmap_lookup_credentials(s.handle, &creds, &names), 0);
    EXPECT_STREQ(names.user, "KORVANTIS\\BOB");
    EXPECT_STREQ(names.groups[0], "KORVANTIS\\Staff");
    credmap_lookup_credentials_free(s.handle, &names);
    EXPECT_EQ(names.user, nullptr);

    idkit_sid_credentials_t sids{};
    sids.user = sid(std::string(kDomainSid) + "-1106");
    sids.group = sid(std::string(kDomainSid) + "-1201");
    ASSERT_EQ(credmap_lookup_sid_credentials(s.handle, &sids, &names), 0);
    EXPECT_STREQ(names.user, "KORVANTIS\\carol");
    EXPECT_STREQ(names.group, "KORVANTIS\\Engineering");
    credmap_lookup_sid_credentials_free(s.handle, &names);
    // Releasing a cleared record frees nothing.
    credmap_lookup_sid_credentials_free(s.handle, &names);
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
    auto *tls = credmap_tls_get();
    EXPECT_EQ(pw.user.name, tls->pw_text[0]);
    EXPECT_EQ(credmap_initialized(), 1);

    ASSERT_EQ(credmap_svr_getpwuid(s.handle, 21104, &pw), 0);
    EXPECT_STREQ(pw.user.name, "KORVANTIS\\Alice");
    idkit_sid_t judy = sid(std::string(kDomainSid) + "-1113");
    ASSERT_EQ(credmap_svr_getpwsid(s.handle, &judy, &pw), 0);
    EXPECT_STREQ(pw.user.name, "KORVANTIS\\Judy");

    idkit_group_sid_t gr, first;
    ASSERT_EQ(credmap_svr_getgrgid(s.handle, 21204, &gr), 0);
    EXPECT_STREQ(gr.name, "KORVANTIS\\Sales");
    idkit_sid_t support = sid(std::string(kDomainSid) + "-1205");
    ASSERT_EQ(credmap_svr_getgrsid(s.handle, &support, &gr), 0);
    EXPECT_STREQ(gr.name, "KORVANTIS\\Support");

    ASSERT_EQ(credmap_svr_getgrnam(s.handle, "engineering", &first), 0);
    std::string other;
    std::thread([&] {
        credmap_handle_t *h = nullptr;
        idkit_group_sid_t g;
        if (credmap_get_handle("winhost", &h) == 0 && credmap_svr_getgrnam(h, "finance", &g) == 0)
            other = g.name;
        if (h != nullptr)
            credmap_free_handle(h);
    }).join();
    EXPECT_EQ(other, "KORVANTIS\\Finance");
    EXPECT_STREQ(first.name, "KORVANTIS\\Engineering");  // another thread's call leaves it alone
    ASSERT_EQ(credmap_svr_getgrnam(s.handle, "auditors", &gr), 0);
    EXPECT_STREQ(first.name, "KORVANTIS\\Auditors");  // this thread's next call replaces it

    // Unknown names are answered with nobody.
    ASSERT_EQ(credmap_svr_getpwnam(s.handle, "nosuchuser", &pw), 0);
    EXPECT_EQ(pw.user.sid.kind, IDKIT_SID_KIND_NOBODY);
}

TEST(RemoteOperations, WholeCredentialsAreDeepCopied)
{
    Session s;
    std::vector<std::string> group_names = {"Engineering", "Staff", "Finance"};
    for (int i = 1; i <= 30; ++i)
        group_names.push_back("project" + std::string(i < 10 ? "0" : "") + std::to_string(i));
    std::vector<char *> groups;
    for (auto &g : group_names)
        groups.push_back(g.data());
    char user[] = "oscar", group[] = "engineering";
    idkit_whole_string_credentials_t names{user, group, groups.size(), groups.data()};
    idkit_whole_credentials_t whole{};
    ASSERT_EQ(credmap_lookup_whole_string_credentials(s.handle, &names, &whole), 0);
    EXPECT_EQ(text(whole.user), std::string(kDomainSid) + "-1115");
    ASSERT_EQ(whole.ngroups, 33);
    EXPECT_EQ(text(whole.groups[32]), std::string(kDomainSid) + "-1330");
    idkit_free_whole_credentials(&whole);
}

TEST(RemoteOperations, NtSidsAreNotSentToAServerThatRefusesThem)
{
    Session s(sim::server_args({"--no-nt"}));
    Messages messages;
    idkit_sid_t nt = sid(std::string(kDomainSid) + "-1104");
    idkit_passwd_sid_t pw;
    std::memset(&pw, 0x5a, sizeof pw);
    EXPECT_EQ(credmap_svr_getpwsid(s.handle, &nt, &pw), CORE_E_NT_SID_UNSUPPORTED);
    EXPECT_EQ(pw.user.name, nullptr);  // cleared
    idkit_group_sid_t gr;
    EXPECT_EQ(credmap_svr_getgrsid(s.handle, &nt, &gr), CORE_E_NT_SID_UNSUPPORTED);

    idkit_sid_credentials_t sids{};
    sids.user = nt;
    idkit_string_credentials_t names;
    std::memset(&names, 0x5a, sizeof names);
    EXPECT_EQ(credmap_lookup_sid_credentials(s.handle, &sids, &names), CORE_E_NT_SID_UNSUPPORTED);
    EXPECT_EQ(names.ngroups, 0x5a5a5a5au);  // untouched

    auto all = messages.all();
    ASSERT_EQ(all.size(), 3u);
    EXPECT_EQ(all[0].text, "\"NT\"-type SID is not supported by credmap_server\n");
    EXPECT_EQ(all[0].facility, "credmap/clnt");
    // Nothing was sent: the server saw the contact only.  A local SID goes.
    EXPECT_EQ(s.net.requests(s.host).size(), 1u);
    idkit_sid_t local{};
    idkit_uid_to_sid(&local, 0);
    EXPECT_EQ(credmap_svr_getpwsid(s.handle, &local, &pw), 0);
    EXPECT_EQ(s.net.requests(s.host).size(), 2u);
}

TEST(RemoteOperations, ServerStatusesAndMissingProcedures)
{
    Session s(sim::server_args({"--no-proc", "21", "--no-proc", "13", "--proc-status", "23=1063", "--refuse", "bob"}));
    Messages messages;
    idkit_credentials_t creds{};
    idkit_string_credentials_t names{};
    EXPECT_EQ(credmap_lookup_credentials(s.handle, &creds, &names), CORE_E_UNSUPPORTED);
    idkit_passwd_sid_t pw;
    EXPECT_EQ(credmap_svr_getpwnam(s.handle, "alice", &pw), CORE_E_UNSUPPORTED);
    EXPECT_TRUE(messages.all().empty());

    idkit_sid_credentials_t sids{};
    idkit_uid_to_sid(&sids.user, 0);
    std::memset(&names, 0x5a, sizeof names);
    EXPECT_EQ(credmap_lookup_sid_credentials(s.handle, &sids, &names), CORE_E_CREDS_REFUSED);
    EXPECT_EQ(names.user, nullptr);  // cleared on a server status
    credmap_lookup_sid_credentials_free(s.handle, &names);

    char bob[] = "bob", users[] = "Domain Users";
    idkit_string_credentials_t request{};
    request.user = bob;
    request.group = users;
    idkit_sid_credentials_t before{};
    before.ngroups = 7;
    idkit_sid_credentials_t out = before;
    EXPECT_EQ(credmap_lookup_string_credentials_sid(s.handle, &request, &out), CORE_E_CREDS_REFUSED);
    EXPECT_EQ(out.ngroups, 7u);  // a copy form leaves its record on a status
    // The handle stays usable after every one of these.
    EXPECT_EQ(credmap_svr_get_credentials(s.handle, "alice", &creds), 0);
}

TEST(RemoteOperations, RepliesWithTooManyGroupsFailCleanly)
{
    Session s(sim::server_args({"--too-many-groups"}));
    Messages messages;
    char alice[] = "alice", staff[] = "staff";
    idkit_string_credentials_t names{};
    names.user = alice;
    names.group = staff;
    idkit_sid_credentials_t sids{};
    EXPECT_EQ(credmap_lookup_string_credentials_sid(s.handle, &names, &sids), CORE_E_RPC_FAILED);
    idkit_credentials_t creds{};
    idkit_string_credentials_t out{};
    EXPECT_EQ(credmap_lookup_credentials(s.handle, &creds, &out), CORE_E_RPC_FAILED);
    EXPECT_EQ(out.user, nullptr);
    auto texts = messages.texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0].rfind("credmap_lookup_string_credentials_sid call failed", 0), 0u) << texts[0];
    EXPECT_EQ(texts[1].rfind("credmap_lookup_credentials call failed", 0), 0u) << texts[1];
}

TEST(RemoteOperations, KilledServerGivesAStatusNotAHang)
{
    Session s;
    Messages messages;
    pid_t server = s.net.server_pid(s.host);
    ASSERT_GT(server, 0);
    kill(server, SIGKILL);
    idkit_credentials_t creds{};
    idkit_string_credentials_t names{};
    time_t start = time(nullptr);
    EXPECT_EQ(credmap_lookup_credentials(s.handle, &creds, &names), CORE_E_RPC_FAILED);
    EXPECT_EQ(credmap_svr_get_credentials(s.handle, "alice", &creds), CORE_E_RPC_FAILED);
    EXPECT_LT(time(nullptr) - start, CREDMAP_CALL_TIMEOUT);
    auto texts = messages.texts();
    ASSERT_EQ(texts.size(), 2u);
    EXPECT_EQ(texts[0].rfind("credmap_lookup_credentials call failed: ", 0), 0u) << texts[0];
    EXPECT_EQ(texts[1].rfind("credmap_svr_get_credentials call failed: ", 0), 0u) << texts[1];
}

TEST(RemoteOperations, VersionLine)
{
    char line[VOX_LINE_MAX];
    int n = libvelmocredmap_sprintf_verid(line);
    EXPECT_GT(n, 33);
    EXPECT_EQ(std::string(line).rfind("libvelmocredmap                   ", 0), 0u) << line;
    EXPECT_EQ(line[n - 1], '\n');
    EXPECT_NE(std::string(line).find(" ("), std::string::npos);
    ASSERT_NE(libvelmocredmap_notices(), nullptr);
    EXPECT_NE(libvelmocredmap_notices()[0], nullptr);
}

}  // namespace
