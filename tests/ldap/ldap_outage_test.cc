// credmap_server on an LDAP directory that is not there at its start, goes
// away, comes back and stalls: the server starts and registers all the
// same, answers status 1104 within its time limit while the directory
// cannot answer, and answers again once it can, without a restart.
// Entries that cannot make accounts are skipped and logged, escaped.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <csignal>
#include <fstream>
#include <functional>
#include <sstream>
#include <thread>

#include "sim_host.h"
#include "slapd.h"
#include "velmo/credmap.h"

namespace {

using Clock = std::chrono::steady_clock;
constexpr int kTimeLimit = 2;  // --ldap-timeout

// A Windows host whose credmap_server answers from the sample domain in a
// throw-away slapd (with the entries of malformed.ldif).
struct Deployment {
    ldaptest::Slapd slapd{{ldaptest::example("korvantis.ldif"), VELMO_MALFORMED_LDIF}};
    sim::Network net;
    pid_t server = -1;
    std::string log;

    explicit Deployment(bool directory_up)
    {
        signal(SIGPIPE, SIG_IGN);
        if (!slapd.ok())
            return;
        if (!directory_up)
            slapd.stop();
        sim::Host &host = net.add("winhost", sim::no_server());
        log = net.dir() + "/server.log";
        std::ofstream(net.dir() + "/password") << "credmap-test\n";
        // clang-format off
        std::vector<std::string> argv = {sim::server_path(), "--ldap", slapd.uri(), "--base", ldaptest::kBase,
            "--bind-dn", "cn=admin," + ldaptest::kBase, "--password-file", net.dir() + "/password",
            "--ldap-timeout", std::to_string(kTimeLimit), "--address", host.address,
            "--port-file", net.dir() + "/server.port", "--hubd-socket", host.socket};
        // clang-format on
        server = fork();
        if (server == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            int out = open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
            dup2(out, STDERR_FILENO);
            std::vector<char *> args;
            for (auto &a : argv)
                args.push_back(a.data());
            args.push_back(nullptr);
            execv(args[0], args.data());
            _exit(127);
        }
        // It writes its port once it listens and the hubd took its registration.
        for (int i = 0; i < 500 && !std::ifstream(net.dir() + "/server.port").good(); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }

    ~Deployment()
    {
        if (server > 0) {
            kill(server, SIGTERM);
            waitpid(server, nullptr, 0);
        }
    }

    std::string logged() const
    {
        std::ifstream in(log);
        std::stringstream text;
        text << in.rdbuf();
        return text.str();
    }
};

struct Answer {
    core_status_t status = -1;
    std::string user, group;
    double seconds = 0;
};

Answer getpwnam(const char *name)
{
    Answer a;
    auto start = Clock::now();
    credmap_handle_t *h = nullptr;
    a.status = credmap_get_handle("winhost", &h);
    idkit_passwd_sid_t pw{};
    if (a.status == 0 && (a.status = credmap_svr_getpwnam(h, name, &pw)) == 0) {
        a.user = pw.user.name;
        a.group = pw.group.name;
    }
    if (h != nullptr)
        credmap_free_handle(h);
    a.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    return a;
}

bool eventually(const std::function<bool()> &condition)
{
    for (int i = 0; i < 100; ++i) {
        if (condition())
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return false;
}

bool alice_answered()
{
    Answer a = getpwnam("alice");
    return a.status == 0 && a.user == "KORVANTIS\\Alice";
}

// The status while the directory cannot answer, in time; answers again
// once it can.
void expect_outage(const char *what)
{
    for (const char *name : {"alice", "quincy"}) {
        Answer a = getpwnam(name);
        EXPECT_EQ(a.status, CORE_E_DIRECTORY_UNREACHABLE) << what << ": " << name;
        EXPECT_LT(a.seconds, kTimeLimit + 1.5) << what << ": " << name;
    }
}

class LdapDirectoryOutage : public testing::Test {
protected:
    void SetUp() override
    {
        if (!ldaptest::slapd_installed())
            GTEST_SKIP() << "slapd is not installed (scripts/setup installs it)";
    }
};

// Away at the server's start (which registers all the same), then back,
// stopped, back, stalled and back: one server throughout.
TEST_F(LdapDirectoryOutage, StatusWithinTheTimeLimitWhileAwayAnswersOnceBack)
{
    Deployment d(false);
    ASSERT_GT(d.server, 0);
    expect_outage("not yet started");
    ASSERT_TRUE(d.slapd.start());
    EXPECT_TRUE(eventually(alice_answered)) << "started";
    d.slapd.stop();
    expect_outage("stopped");
    ASSERT_TRUE(d.slapd.start());
    EXPECT_TRUE(eventually(alice_answered)) << "started again";
    d.slapd.pause();
    expect_outage("stalled");
    d.slapd.resume();
    EXPECT_TRUE(eventually(alice_answered)) << "going on";
    std::string log = d.logged();
    for (const char *line : {"cannot be reached or did not answer", "answers again", "took longer than the time limit"})
        EXPECT_NE(log.find(line), std::string::npos) << line << "\nnot in:\n" << log;
}

TEST_F(LdapDirectoryOutage, MalformedEntriesAreSkippedAndLoggedEscaped)
{
    Deployment d(true);
    ASSERT_GT(d.server, 0);
    for (const char *name : {"broken", "nouid"})
        EXPECT_EQ(getpwnam(name).user, "nobody") << name;
    Answer stray = getpwnam("stray");
    EXPECT_EQ(stray.user, "KORVANTIS\\Stray");
    EXPECT_EQ(stray.group, "nobody");
    credmap_handle_t *h = nullptr;
    ASSERT_EQ(credmap_get_handle("winhost", &h), 0);
    idkit_group_sid_t group{};
    EXPECT_EQ(credmap_svr_getgrnam(h, "badgroup", &group), 0);
    EXPECT_STREQ(group.name, "nobody");
    // The entry with a line break in its DN, found by its SID.
    idkit_sid_t evil{};
    idkit_sid_from_str("S-1-5-21-3623811015-3361044348-30300820-1903", &evil);
    idkit_passwd_sid_t pw{};
    EXPECT_EQ(credmap_svr_getpwsid(h, &evil, &pw), 0);
    EXPECT_STREQ(pw.user.name, "nobody");
    credmap_free_handle(h);

    std::string log = d.logged();
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

}  // namespace
