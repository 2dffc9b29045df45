// The LDAP account source answers as the directory file does: every
// procedure, for every account and group of the sample domain and for names,
// ids and SIDs nobody has, gets byte-identical replies from credmap_server's
// dispatch on either source (the LDAP one asked from several threads at
// once).  A directory that cannot answer gives status 1104.
#include <gtest/gtest.h>

#include <csignal>
#include <fstream>
#include <functional>
#include <memory>
#include <sstream>
#include <thread>

#include "ldap_source.h"
#include "ldif.h"
#include "server.h"
#include "slapd.h"
#include "velmo/credmap_prot.h"

namespace {

using namespace credmap_server;

// ---- credmap_server's dispatch on a request, the reply's bytes kept ----

struct Capture {
    SVCXPRT xprt;
    std::string request, reply;
};

Capture &of(SVCXPRT *xprt)
{
    return *static_cast<Capture *>(xprt->xp_p1);
}

const struct __rpc_svcxprt::xp_ops kOps = {
    [](SVCXPRT *, rpc_msg *) -> bool_t { return FALSE; },
    [](SVCXPRT *) { return XPRT_IDLE; },
    [](SVCXPRT *xprt, xdrproc_t routine, void *args) -> bool_t {
        XDR x;
        xdrmem_create(&x, of(xprt).request.data(), static_cast<u_int>(of(xprt).request.size()), XDR_DECODE);
        return routine(&x, args, 0);
    },
    [](SVCXPRT *xprt, rpc_msg *msg) -> bool_t {
        thread_local std::string buffer(4 << 20, '\0');
        msg->rm_xid = 1;
        XDR x;
        xdrmem_create(&x, buffer.data(), static_cast<u_int>(buffer.size()), XDR_ENCODE);
        bool_t ok = xdr_replymsg(&x, msg);
        of(xprt).reply.append(buffer, 0, xdr_getpos(&x));
        return ok;
    },
    [](SVCXPRT *, xdrproc_t routine, void *args) -> bool_t { return xdr_free(routine, args), TRUE; },
    [](SVCXPRT *) {}};

std::string call(unsigned proc, const std::string &request)
{
    Capture c{};
    c.xprt.xp_ops = &kOps;
    c.xprt.xp_p1 = &c;
    c.request = request;
    svc_req r{};
    r.rq_prog = CREDMAP_PROG;
    r.rq_vers = CREDMAP_VERS;
    r.rq_proc = proc;
    r.rq_xprt = &c.xprt;
    dispatch(&r, &c.xprt);
    return c.reply;
}

// The status of a reply to procedure 13.
int32_t getpwnam_status(const std::string &reply)
{
    credmap_svr_getpwnam_reply_t body{};
    rpc_msg msg{};
    msg.acpted_rply.ar_results = {reinterpret_cast<char *>(&body), (xdrproc_t)xdr_credmap_svr_getpwnam_reply_t};
    XDR x;
    xdrmem_create(&x, const_cast<char *>(reply.data()), static_cast<u_int>(reply.size()), XDR_DECODE);
    int32_t status = xdr_replymsg(&x, &msg) ? body.hdr.status : -1;
    xdr_free((xdrproc_t)xdr_credmap_svr_getpwnam_reply_t, reinterpret_cast<char *>(&body));
    return status;
}

// ---- The requests ----

struct Query {
    std::string what;
    unsigned proc;
    std::string request;
};

const credmap_hdr_req_t kHdr{1700000000, 1};

template<typename T>
void add(std::vector<Query> *q, const std::string &what, unsigned proc, bool_t (*routine)(XDR *, T *), T request)
{
    std::string buffer(64 << 10, '\0');
    XDR x;
    xdrmem_create(&x, buffer.data(), static_cast<u_int>(buffer.size()), XDR_ENCODE);
    EXPECT_TRUE(routine(&x, &request)) << what;
    q->push_back({what, proc, buffer.substr(0, xdr_getpos(&x))});
}

char *text(const std::string &s)
{
    return const_cast<char *>(s.c_str());
}

// The requests that name one account, in the ways a request may write it.
void ask_by_name(const std::string &domain, const std::string &name, bool user, std::vector<Query> *q)
{
    for (const std::string &n : {name, domain + "\\" + name, "korvantis/" + name, "OTHER\\" + name}) {
        credmap_lookup_user_sid_credentials_req_t by_name{kHdr, text(n)};
        add(q, "user SID of " + n, CREDMAP_PROC_LOOKUP_USER_SID, xdr_credmap_lookup_user_sid_req_t, {kHdr, text(n), 0});
        if (!user) {
            add(q, "getgrnam " + n, CREDMAP_PROC_SVR_GETGRNAM, xdr_credmap_lookup_user_sid_credentials_req_t, by_name);
            continue;
        }
        add(q, "credentials of " + n, CREDMAP_PROC_SVR_GET_CREDENTIALS, xdr_credmap_svr_get_credentials_req_t,
            {kHdr, text(n)});
        add(q, "user SID credentials of " + n, CREDMAP_PROC_LOOKUP_USER_SID_CREDENTIALS,
            xdr_credmap_lookup_user_sid_credentials_req_t, by_name);
        add(q, "getpwnam " + n, CREDMAP_PROC_SVR_GETPWNAM, xdr_credmap_lookup_user_sid_credentials_req_t, by_name);
    }
}

void ask_by_id(uint32_t id, const idkit_sid_t &sid, bool user, std::vector<Query> *q)
{
    char sid_text[IDKIT_SID_TEXT_MAX];
    std::string what = std::to_string(id) + " " + idkit_sid_to_str(&sid, sid_text);
    if (user) {
        add(q, "getpwuid " + what, CREDMAP_PROC_SVR_GETPWUID, xdr_credmap_svr_getpwuid_req_t, {kHdr, id});
        add(q, "getpwsid " + what, CREDMAP_PROC_SVR_GETPWSID, xdr_credmap_svr_getpwsid_req_t, {kHdr, sid});
    } else {
        add(q, "getgrgid " + what, CREDMAP_PROC_SVR_GETGRGID, xdr_credmap_svr_getgrgid_req_t, {kHdr, id});
        add(q, "getgrsid " + what, CREDMAP_PROC_SVR_GETGRSID, xdr_credmap_svr_getpwsid_req_t, {kHdr, sid});
    }
}

// The credential requests of a user, by names, ids and SIDs, with its
// primary group and all its groups (at most a record's worth but in the
// whole credentials).
void ask_credentials(const Directory &d, const User &u, std::vector<Query> *q)
{
    const Group &primary = d.groups[u.primary];
    idkit_string_credentials_t names{};
    idkit_credentials_t ids{};
    idkit_sid_credentials_t sids{};
    names.user = text(u.name), names.group = text(primary.name);
    ids.uid = u.uid, ids.gid = primary.gid;
    sids.user = u.sid, sids.group = primary.sid;
    std::vector<char *> all;
    for (size_t g : u.groups) {
        all.push_back(text(d.groups[g].name));
        if (names.ngroups == IDKIT_MAX_GROUPS)
            continue;
        names.groups[names.ngroups++] = all.back();
        ids.groups[ids.ngroups++] = d.groups[g].gid;
        sids.groups[sids.ngroups++] = d.groups[g].sid;
    }
    const std::string &w = u.name;
    add(q, "string credentials of " + w, CREDMAP_PROC_LOOKUP_STRING_CREDENTIALS,
        xdr_credmap_lookup_string_credentials_req_t, {kHdr, names});
    add(q, "SIDs of the string credentials of " + w, CREDMAP_PROC_LOOKUP_STRING_CREDENTIALS_SID,
        xdr_credmap_lookup_string_credentials_sid_req_t, {kHdr, CREDMAP_REQUEST_WORD, names});
    add(q, "whole credentials of " + w, CREDMAP_PROC_LOOKUP_WHOLE_STRING_CREDENTIALS,
        xdr_credmap_lookup_whole_string_credentials_req_t,
        {kHdr, CREDMAP_REQUEST_WORD, {names.user, names.group, all.size(), all.data()}});
    add(q, "credentials by ids of " + w, CREDMAP_PROC_LOOKUP_CREDENTIALS, xdr_credmap_lookup_credentials_req_t,
        {kHdr, CREDMAP_REQUEST_WORD, ids});
    add(q, "credentials by SIDs of " + w, CREDMAP_PROC_LOOKUP_SID_CREDENTIALS, xdr_credmap_lookup_sid_credentials_req_t,
        {kHdr, CREDMAP_REQUEST_WORD, sids});
}

// Accounts nobody has: names, ids and SIDs of neither source (the entries
// malformed.ldif adds to the LDAP directory among them), and credentials
// that mix them with the sample domain's.
const char kUnknown[] = R"(domain KORVANTIS S-1-5-21-3623811015-3361044348-30300820
group nothing  9999 4242
group BadGroup 1902 4294967294
group Staff    1202 21202
user  ghost    9998 4243 nothing groups=Staff,nothing
user  Broken   1900 21900 Staff
user  NoUid    1901 21901 nothing groups=BadGroup
)";

// Every procedure for every account and group of the directory.
void ask_all(const Directory &d, std::vector<Query> *q)
{
    for (const auto &u : d.users) {
        ask_by_name(d.domain, u.name, true, q);
        ask_by_id(u.uid, u.sid, true, q);
        ask_credentials(d, u, q);
    }
    for (const auto &g : d.groups) {
        ask_by_name(d.domain, g.name, false, q);
        ask_by_id(g.gid, g.sid, false, q);
    }
}

std::vector<Query> queries(const Directory &sample)
{
    std::vector<Query> q;
    Directory unknown;
    std::string error;
    EXPECT_TRUE(parse_directory(kUnknown, "unknown", &unknown, &error)) << error;
    ask_all(sample, &q);
    ask_all(unknown, &q);
    idkit_sid_t local;
    idkit_uid_to_sid(&local, 0);
    for (bool user : {true, false}) {
        ask_by_name("KORVANTIS", "", user, &q);
        for (const auto &sid : {IDKIT_SID_NOBODY, local})
            ask_by_id(IDKIT_ID_NOBODY, sid, user, &q);
    }
    for (const char *domain : {"", "KORVANTIS", "korvantis", "OTHER"})
        add(&q, std::string("domain SID of ") + domain, CREDMAP_PROC_LOOKUP_DOMAIN_SID,
            xdr_credmap_lookup_user_sid_req_t, {kHdr, text(domain), 0});
    add(&q, "contact", CREDMAP_PROC_CONTACT, xdr_credmap_contact_req_t, {kHdr, CREDMAP_CONTACT_WORD});
    return q;
}

// ---- The directory server, one for the tests of this program ----

// The server answers from an LDAP source while this lives.
struct Serving {
    LdapSourcePtr ldap;
    AccountSource source;
    explicit Serving(const LdapOptions &o)
    {
        std::string error;
        ldap = make_ldap_source(o, &error);
        EXPECT_NE(ldap, nullptr) << error;
        if (ldap != nullptr)
            source = account_source(ldap.get()), config.source = &source;
    }
    ~Serving() { config.source = nullptr; }
};

class LdapSourceTest : public testing::Test {
protected:
    static void SetUpTestSuite()
    {
        signal(SIGPIPE, SIG_IGN);
        std::string error;
        ASSERT_TRUE(load_directory(VELMO_ACCOUNTS_PATH, &config.directory, &error)) << error;
        if (ldaptest::slapd_installed())
            slapd = std::make_unique<ldaptest::Slapd>(
                std::vector<std::string>{ldaptest::example("korvantis.ldif"), VELMO_MALFORMED_LDIF});
    }
    static void TearDownTestSuite() { slapd.reset(); }

    void SetUp() override
    {
        if (!ldaptest::slapd_installed())
            GTEST_SKIP() << "slapd is not installed (scripts/setup installs it)";
        ASSERT_TRUE(slapd->ok()) << "slapd did not start; see " << slapd->dir();
    }

    static LdapOptions options(const std::vector<std::string> &attributes = {})
    {
        LdapOptions o;
        o.uri = slapd->uri();
        o.base = ldaptest::kBase;
        o.timeout_seconds = 3;
        std::string error;
        for (const auto &a : attributes)
            EXPECT_TRUE(parse_attribute(a, &o, &error)) << error;
        return o;
    }

    // Every query's reply from the directory file, then from the LDAP
    // directory (four threads asking at once), which must be the same bytes.
    static void expect_same_answers(const LdapOptions &o)
    {
        std::vector<Query> table = queries(config.directory);
        std::vector<std::string> expected, answered(table.size());
        for (const auto &q : table)
            expected.push_back(call(q.proc, q.request));
        {
            Serving serving(o);
            std::vector<std::thread> threads;
            for (size_t t = 0; t < 4; ++t)
                threads.emplace_back([&, t] {
                    for (size_t i = t; i < table.size(); i += 4)
                        answered[i] = call(table[i].proc, table[i].request);
                });
            for (auto &t : threads)
                t.join();
        }
        size_t different = 0;
        for (size_t i = 0; i < table.size(); ++i)
            if (answered[i] != expected[i] && ++different <= 10)
                ADD_FAILURE() << table[i].what << ": the LDAP directory answers otherwise";
        EXPECT_EQ(different, 0u) << "of " << table.size() << " queries";
    }

    static std::unique_ptr<ldaptest::Slapd> slapd;
};

std::unique_ptr<ldaptest::Slapd> LdapSourceTest::slapd;

TEST(LdifOfTheSampleDomain, IsKeptInStepWithTheDirectoryFile)
{
    Directory d;
    std::string error, ldif;
    ASSERT_TRUE(load_directory(VELMO_ACCOUNTS_PATH, &d, &error)) << error;
    ASSERT_TRUE(directory_ldif(d, ldaptest::kBase, &ldif, &error)) << error;
    std::ifstream in(ldaptest::example("korvantis.ldif"));
    std::stringstream kept;
    kept << in.rdbuf();
    EXPECT_TRUE(kept.str() == ldif) << "examples/ldap/korvantis.ldif is out of date: write it again with\n"
                                       "  credmap_server --accounts examples/korvantis.accounts --print-ldif --base "
                                    << ldaptest::kBase;
}

TEST_F(LdapSourceTest, AnswersEveryQueryAsTheDirectoryFile)
{
    expect_same_answers(options());
}

// The same directory read through the names RFC 2307 gives its accounts,
// membership by user name, the primary group by gid.
TEST_F(LdapSourceTest, AnswersAlikeThroughOtherAttributes)
{
    expect_same_answers(
        options({"user-name=uid", "group-name=cn", "primary-group-id=", "member=", "member-uid=memberUid"}));
}

// A directory that cannot answer gives status 1104 within the time limit,
// and the contact is answered as usual.
TEST_F(LdapSourceTest, DirectoryThatCannotAnswerGivesTheStatus)
{
    const std::string admin = "cn=admin," + ldaptest::kBase;
    const struct {
        const char *what;
        std::function<void(LdapOptions *)> change;
        int32_t status;
    } cases[] = {
        {"wrong password", [&](LdapOptions *o) { o->bind_dn = admin, o->password = "nope"; }, 1104},
        {"StartTLS the server does not offer", [](LdapOptions *o) { o->starttls = true; }, 1104},
        {"base that does not exist", [](LdapOptions *o) { o->base = "dc=elsewhere,dc=example"; }, 1104},
        {"nothing listening", [](LdapOptions *o) { o->uri = "ldap://127.0.0.1:9"; }, 1104},
        {"base entry without a SID", [](LdapOptions *o) { o->base = "ou=Users," + ldaptest::kBase; }, 1104},
        {"right password", [&](LdapOptions *o) { o->bind_dn = admin, o->password = "credmap-test"; }, 0},
    };
    std::vector<Query> q;
    add(&q, "alice", CREDMAP_PROC_SVR_GETPWNAM, xdr_credmap_lookup_user_sid_credentials_req_t, {kHdr, text("alice")});
    add(&q, "contact", CREDMAP_PROC_CONTACT, xdr_credmap_contact_req_t, {kHdr, CREDMAP_CONTACT_WORD});
    std::string contacted = call(q[1].proc, q[1].request);
    for (const auto &c : cases) {
        LdapOptions o = options();
        o.timeout_seconds = 1;
        c.change(&o);
        Serving serving(o);
        auto start = Clock::now();
        EXPECT_EQ(getpwnam_status(call(q[0].proc, q[0].request)), c.status) << c.what;
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500)) << c.what;
        EXPECT_EQ(call(q[1].proc, q[1].request), contacted) << c.what;
    }
}

TEST(LdapSourceOptions, WrongOptionsAreRefusedAtStart)
{
    const std::vector<std::function<void(LdapOptions *)>> cases = {
        [](LdapOptions *o) { o->attributes["user-name"] = ""; },
        [](LdapOptions *o) { o->attributes["uid"] = "uid)(x=*"; },
        [](LdapOptions *o) { o->uri = "gopher://x"; },
        [](LdapOptions *o) { o->domain_sid = "S-1-22-1-5"; },
        [](LdapOptions *o) { o->base = ""; },
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        LdapOptions o;
        o.uri = "ldap://127.0.0.1";
        o.base = ldaptest::kBase;
        std::string error;
        EXPECT_NE(make_ldap_source(o, &error), nullptr) << error;
        cases[i](&o);
        EXPECT_EQ(make_ldap_source(o, &error), nullptr) << "case " << i;
    }
    LdapOptions o;
    std::string error;
    EXPECT_FALSE(parse_attribute("shoe-size=x", &o, &error));
}

}  // namespace
