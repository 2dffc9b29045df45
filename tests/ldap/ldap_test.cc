// credmap_server's LDAP account source against a throw-away slapd
// (examples/ldap/run-slapd.sh with the sample domain and malformed.ldif).
// It answers every procedure, for every account and group and for names, ids
// and SIDs nobody has, with the bytes the directory file gives (asked from
// four threads at once); a directory that cannot answer gives status 1104
// within the time limit, and a running server answers again once it can.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <ldap.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "ldap_source.h"
#include "ldif.h"
#include "server.h"
#include "../integration/sim_host.h"
#include "velmo/credmap_prot.h"

namespace {

using namespace credmap_server;

const std::string kBase = "dc=korvantis,dc=example";
const std::string kLdif = VELMO_EXAMPLES_DIR "/ldap/korvantis.ldif";

// The directory server, on a loopback address of this process's own: while
// one test's is stopped no other can take its address and port.
class Slapd {
public:
    Slapd()
    {
        unsigned pid = static_cast<unsigned>(getpid());
        address_ = "127.77." + std::to_string((pid >> 8) & 0xff) + "." + std::to_string(1 + pid % 254);
        // Another program may take the free port between the choice and the bind.
        for (int attempt = 0; attempt < 5 && !ok(); ++attempt) {
            int fd = socket(AF_INET, SOCK_STREAM, 0);
            sockaddr_in a{};
            a.sin_family = AF_INET;
            inet_pton(AF_INET, address_.c_str(), &a.sin_addr);
            socklen_t length = sizeof a;
            if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0)
                getsockname(fd, reinterpret_cast<sockaddr *>(&a), &length);
            close(fd);
            port_ = ntohs(a.sin_port);
            start();
        }
    }
    ~Slapd()
    {
        stop();
        (void)!std::system(("rm -rf '" + dir_ + "'").c_str());
    }
    bool ok() const { return pid_ > 0; }
    std::string uri() const { return "ldap://" + address_ + ":" + std::to_string(port_); }
    const std::string &dir() const { return dir_; }
    void signal(int signo) const { kill(pid_, signo); }
    void stop() { pid_ = pid_ > 0 ? (sim::stop(pid_), -1) : pid_; }

    // Again on the same port and database: true once it answers, which
    // must be this one (it writes its pid file before it listens).
    bool start()
    {
        std::string pid_file = dir_ + "/slapd.pid";
        unlink(pid_file.c_str());
        pid_ = sim::spawn({VELMO_EXAMPLES_DIR "/ldap/run-slapd.sh", dir_, address_, std::to_string(port_), kBase, kLdif,
                      VELMO_MALFORMED_LDIF},
                     dir_ + "/slapd.log");
        for (int i = 0; i < 300 && waitpid(pid_, nullptr, WNOHANG) == 0; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            pid_t written = 0;
            LDAP *ld = nullptr;
            LDAPMessage *result = nullptr;
            int version = LDAP_VERSION3;
            timeval limit{1, 0};
            bool answers = (std::ifstream(pid_file) >> written) && written == pid_ &&
                           ldap_initialize(&ld, uri().c_str()) == LDAP_SUCCESS &&
                           ldap_set_option(ld, LDAP_OPT_PROTOCOL_VERSION, &version) == LDAP_SUCCESS &&
                           ldap_search_ext_s(ld, kBase.c_str(), LDAP_SCOPE_BASE, "(objectClass=*)", nullptr, 0,
                                             nullptr, nullptr, &limit, 1, &result) == LDAP_SUCCESS;
            ldap_msgfree(result);
            if (ld != nullptr)
                ldap_unbind_ext_s(ld, nullptr, nullptr);
            if (answers)
                return true;
        }
        stop();
        return false;
    }

private:
    std::string dir_ = [] {
        char folder[] = "/tmp/velmo-slapd-XXXXXX";
        return std::string(mkdtemp(folder));
    }();
    std::string address_;
    unsigned port_ = 0;
    pid_t pid_ = -1;
};

bool slapd_installed()
{
    return access("/usr/sbin/slapd", X_OK) == 0 && access("/usr/sbin/slapadd", X_OK) == 0;
}

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

struct Query {
    std::string what;
    unsigned proc;
    std::string request;
};

std::string call(const Query &q)
{
    Capture c{};
    c.xprt.xp_ops = &kOps;
    c.xprt.xp_p1 = &c;
    c.request = q.request;
    svc_req r{};
    r.rq_prog = CREDMAP_PROG, r.rq_vers = CREDMAP_VERS, r.rq_proc = q.proc, r.rq_xprt = &c.xprt;
    dispatch(&r, &c.xprt);
    return c.reply;
}

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

// The sample domain's, then accounts nobody has: names, ids and SIDs of
// neither source (the entries malformed.ldif adds to the LDAP directory
// among them), and credentials that mix them with the sample domain's.
std::vector<Query> queries(const Directory &sample)
{
    std::vector<Query> q;
    Directory unknown;
    std::string error;
    EXPECT_TRUE(parse_directory(R"(domain KORVANTIS S-1-5-21-3623811015-3361044348-30300820
group nothing  9999 4242
group BadGroup 1902 4294967294
group Staff    1202 21202
user  ghost    9998 4243 nothing groups=Staff,nothing
user  Broken   1900 21900 Staff
user  NoUid    1901 21901 nothing groups=BadGroup
user  Evil     1903 21903 nothing
)",
                                "unknown", &unknown, &error))
        << error;
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

// What getpwnam answers: its status, the user's and the primary group's names.
struct Passwd {
    int32_t status = -1;
    std::string user, group;
};

Passwd getpwnam(const std::string &name)
{
    std::vector<Query> q;
    add(&q, name, CREDMAP_PROC_SVR_GETPWNAM, xdr_credmap_lookup_user_sid_credentials_req_t, {kHdr, text(name)});
    std::string reply = call(q[0]);
    credmap_svr_getpwnam_reply_t body{};
    rpc_msg msg{};
    msg.acpted_rply.ar_results = {reinterpret_cast<char *>(&body), (xdrproc_t)xdr_credmap_svr_getpwnam_reply_t};
    XDR x;
    xdrmem_create(&x, reply.data(), static_cast<u_int>(reply.size()), XDR_DECODE);
    Passwd p;
    if (xdr_replymsg(&x, &msg) && (p.status = body.hdr.status) == 0)
        p.user = body.pw.user.name, p.group = body.pw.group.name;
    xdr_free((xdrproc_t)xdr_credmap_svr_getpwnam_reply_t, reinterpret_cast<char *>(&body));
    return p;
}


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
    }

    void SetUp() override
    {
        if (!slapd_installed())
            GTEST_SKIP() << "slapd is not installed (scripts/setup installs it)";
        static Slapd directory;  // one for the tests of this program
        slapd = &directory;
        ASSERT_TRUE(slapd->ok()) << "slapd did not start; see " << slapd->dir();
    }

    LdapOptions options(const std::vector<std::string> &attributes = {}) const
    {
        LdapOptions o;
        o.uri = slapd->uri();
        o.base = kBase;
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
            expected.push_back(call(q));
        {
            Serving serving(o);
            std::vector<std::thread> threads;
            for (size_t t = 0; t < 4; ++t)
                threads.emplace_back([&, t] {
                    for (size_t i = t; i < table.size(); i += 4)
                        answered[i] = call(table[i]);
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

    Slapd *slapd = nullptr;
};

TEST(LdifOfTheSampleDomain, IsKeptInStepWithTheDirectoryFile)
{
    Directory d;
    std::string error, ldif;
    ASSERT_TRUE(load_directory(VELMO_ACCOUNTS_PATH, &d, &error)) << error;
    ASSERT_TRUE(directory_ldif(d, kBase, &ldif, &error)) << error;
    std::stringstream kept;
    kept << std::ifstream(kLdif).rdbuf();
    EXPECT_TRUE(kept.str() == ldif) << "examples/ldap/korvantis.ldif is out of date: write it again with\n"
                                       "  credmap_server --accounts examples/korvantis.accounts --print-ldif --base "
                                    << kBase;
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
    const std::string admin = "cn=admin," + kBase;
    const struct {
        const char *what;
        std::function<void(LdapOptions *)> change;
        int32_t status;
    } cases[] = {
        {"wrong password", [&](LdapOptions *o) { o->bind_dn = admin, o->password = "nope"; }, 1104},
        {"StartTLS the server does not offer", [](LdapOptions *o) { o->starttls = true; }, 1104},
        {"base that does not exist", [](LdapOptions *o) { o->base = "dc=elsewhere,dc=example"; }, 1104},
        {"nothing listening", [](LdapOptions *o) { o->uri = "ldap://127.0.0.1:9"; }, 1104},
        {"base entry without a SID", [](LdapOptions *o) { o->base = "ou=Users," + kBase; }, 1104},
        {"right password", [&](LdapOptions *o) { o->bind_dn = admin, o->password = "credmap-test"; }, 0},
    };
    std::vector<Query> contact;
    add(&contact, "contact", CREDMAP_PROC_CONTACT, xdr_credmap_contact_req_t, {kHdr, CREDMAP_CONTACT_WORD});
    std::string contacted = call(contact[0]);
    for (const auto &c : cases) {
        LdapOptions o = options();
        o.timeout_seconds = 1;
        c.change(&o);
        Serving serving(o);
        auto start = Clock::now();
        EXPECT_EQ(getpwnam("alice").status, c.status) << c.what;
        EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(1500)) << c.what;
        EXPECT_EQ(call(contact[0]), contacted) << c.what;
    }
}

// Away when the source starts, then back, stopped, back, stalled and back:
// one source throughout, and the log says what happened.
TEST_F(LdapSourceTest, StatusWithinTheTimeLimitWhileAwayAnswersOnceBack)
{
#if defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "time limits are not measured under ThreadSanitizer";
#endif
    auto expect_outage = [](const char *what) {
        for (const char *name : {"alice", "quincy"}) {
            auto start = Clock::now();
            EXPECT_EQ(getpwnam(name).status, 1104) << what << ": " << name;
            EXPECT_LT(Clock::now() - start, std::chrono::milliseconds(2500)) << what << ": " << name;
        }
    };
    auto answers = [] {
        for (int i = 0; i < 100 && getpwnam("alice").user != "KORVANTIS\\Alice"; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        return getpwnam("alice").user == "KORVANTIS\\Alice";
    };
    LdapOptions o = options();
    o.timeout_seconds = 1;
    slapd->stop();
    testing::internal::CaptureStderr();
    {
        Serving serving(o);
        expect_outage("not yet started");
        ASSERT_TRUE(slapd->start());
        EXPECT_TRUE(answers()) << "started";
        slapd->stop();
        expect_outage("stopped");
        ASSERT_TRUE(slapd->start());
        EXPECT_TRUE(answers()) << "started again";
        slapd->signal(SIGSTOP);
        expect_outage("stalled");
        slapd->signal(SIGCONT);
        EXPECT_TRUE(answers()) << "going on";
    }
    std::string log = testing::internal::GetCapturedStderr();
    for (const char *line : {"cannot be reached or did not answer", "answers again", "took longer than the time limit"})
        EXPECT_NE(log.find(line), std::string::npos) << line << "\nnot in:\n" << log;
}

// Entries that cannot make accounts answer as unknown ones (above) and are
// logged, escaped; a user whose primary group is nowhere gets nobody's.
TEST_F(LdapSourceTest, MalformedEntriesAreSkippedAndLoggedEscaped)
{
    testing::internal::CaptureStderr();
    {
        Serving serving(options());
        Passwd stray = getpwnam("stray");
        EXPECT_EQ(stray.user, "KORVANTIS\\Stray");
        EXPECT_EQ(stray.group, "nobody");
        for (const auto &q : queries(config.directory))
            call(q);
    }
    std::string log = testing::internal::GetCapturedStderr();
    for (const char *line : {"skipping the directory entry cn=Broken,ou=Users,dc=korvantis,dc=example: no "
                             "well-formed objectSid",
                             "skipping the directory entry cn=NoUid,ou=Users,dc=korvantis,dc=example: no uidNumber",
                             "skipping the directory entry cn=BadGroup,ou=Groups,dc=korvantis,dc=example: no "
                             "gidNumber of 32 bits",
                             "skipping the directory entry cn=Evil\\x0aName,ou=Users",
                             "the directory entry cn=Stray,ou=Users,dc=korvantis,dc=example: its primary group"})
        EXPECT_NE(log.find(line), std::string::npos) << line << "\nnot in:\n" << log;
    for (char c : log)
        ASSERT_TRUE(c == '\n' || (c >= 0x20 && c < 0x7f)) << "a raw byte " << int(c) << " in the log:\n" << log;
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
        o.base = kBase;
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
