// The location broker daemon and its client, against real daemons.
#include <arpa/inet.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <regex>
#include <thread>

#include "host/hubd.h"
#include "hubd_prot.h"
#include "registration.h"
#include "sids.h"
#include "sim_host.h"
#include "velmo/credmap.h"

namespace {

sockaddr_in hubd_address(const sim::Host &host)
{
    sockaddr_in a{AF_INET, htons(static_cast<uint16_t>(host.hubd_port)), {}, {}};
    inet_pton(AF_INET, host.address.c_str(), &a.sin_addr);
    return a;
}

int connect_raw(const sim::Host &host)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = hubd_address(host);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    return fd;
}

std::string read_file(const std::string &path)
{
    std::ifstream in(path);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

size_t count(const std::string &text, const std::string &pattern)
{
    std::regex re(pattern);
    return std::distance(std::sregex_iterator(text.begin(), text.end(), re), std::sregex_iterator());
}

TEST(Hubd, SurvivesClientsThatMisbehaveAndStopsTheServersItStarted)
{
    sim::Network net;
    sim::HostOptions options;
    options.hubd_args = {"--idle-timeout", "1"};
    const sim::Host &host = net.add("winhost", options);
    // A server that never says it listens, and ignores SIGTERM.
    options = sim::no_server();
    options.hubd_args = {"--start", "credmap_server=sh -c 'trap \"\" TERM; exec sleep 30'", "--start-timeout", "1"};
    sim::Host &deaf = net.add("deaf", options);
    // Garbage, a record that claims a megabyte and never comes, a half request, a connection dropped at once.
    char noise[4096];
    for (size_t i = 0; i < sizeof noise; ++i)
        noise[i] = static_cast<char>(i * 7919);
    uint32_t mark = htonl(0x80000000u | (1u << 20));
    int garbage = connect_raw(host), stalled = connect_raw(host), half = connect_raw(host);
    ASSERT_EQ(write(garbage, noise, sizeof noise), static_cast<ssize_t>(sizeof noise));
    ASSERT_EQ(write(stalled, &mark, sizeof mark), 4);
    ASSERT_EQ(write(stalled, "abc", 3), 3);
    ASSERT_EQ(write(half, noise, 2), 2);
    close(connect_raw(host));
    auto start = std::chrono::steady_clock::now();
    credmap_handle_t *h = nullptr;
    for (int i = 0; i < 3; ++i) {
        hubd_hostinfo_t info;
        ASSERT_EQ(hubd_hostinfo("winhost", &info), 0);
        hubd_hostinfo_free(info);
        ASSERT_EQ(credmap_get_handle("winhost", &h), 0);
        credmap_free_handle(h);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    // A connection that stays silent is closed after the idle time-out.
    timeval wait{5, 0};
    setsockopt(half, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    char byte;
    EXPECT_EQ(read(half, &byte, 1), 0);
    for (int fd : {garbage, stalled, half})
        close(fd);

    // A hubd stops cleanly once its servers have stopped; one that ignores SIGTERM is killed after ten seconds.
    EXPECT_EQ(credmap_get_handle("deaf", &h), HUBD_E_START_TIMEOUT);
    pid_t server = net.server_pid(host);
    int status = net.stop_hubd(host);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_NE(read_file(host.log).find("(pid " + std::to_string(server) + ") stopped"), std::string::npos);
    EXPECT_NE(kill(server, 0), 0);
    kill(deaf.hubd_pid, SIGTERM);
    ASSERT_EQ(waitpid(deaf.hubd_pid, &status, 0), deaf.hubd_pid);
    deaf.hubd_pid = -1;
    EXPECT_NE(read_file(deaf.log).find("stopped by signal 9"), std::string::npos) << read_file(deaf.log);
}

// A location broker, serving until the test ends, that answers every request with its xid and then `words`: a broken
// or hostile hubd.  Returns the line of a hosts file that names it `host`.
TEST(Hubd, ServersThatRegisterThemselvesAndWithdrawWhenStopped)
{
    sim::Network net;
    sim::HostOptions options;
    options.on_demand = false;
    const sim::Host &host = net.add("winhost", options);
    credmap_handle_t *h = nullptr;
    ASSERT_EQ(credmap_get_handle("winhost", &h), 0);
    credmap_free_handle(h);
    kill(host.server_pid, SIGTERM);
    waitpid(host.server_pid, nullptr, 0);
    EXPECT_EQ(credmap_get_handle("winhost", &h), HUBD_E_NOT_REGISTERED);
}

std::string fake_broker(const std::string &host, std::vector<uint32_t> words)
{
    int listener = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    socklen_t length = sizeof a;
    bind(listener, reinterpret_cast<sockaddr *>(&a), length);
    listen(listener, 8);
    getsockname(listener, reinterpret_cast<sockaddr *>(&a), &length);
    words.insert(words.begin(), {htonl(0x80000000u | static_cast<uint32_t>(4 * words.size() + 4)), 0});
    std::thread([listener, words]() mutable {
        for (int fd; (fd = accept(listener, nullptr, nullptr)) >= 0; close(fd)) {
            uint32_t head[2];
            if (read(fd, head, sizeof head) != sizeof head)
                continue;
            words[1] = head[1];
            (void)!write(fd, words.data(), 4 * words.size());
        }
    }).detach();
    return host + " 127.0.0.1 " + std::to_string(ntohs(a.sin_port)) + "\n";
}

TEST(HubdClient, BrokenBrokerAnswersGiveAStatus)
{
    // Host information with an operating-system name of 4 GB, a server at port 0, a reply that stops half-way.
    std::string path = testing::TempDir() + "velmo-fake-hosts";
    std::ofstream(path) << fake_broker("huge", {htonl(1), 0, 0, 0, 0, 0, 0xffffffffu})
                        << fake_broker("zero", {htonl(1), 0, 0, 0, 0, 0, 0}) << fake_broker("cut", {htonl(1)});
    setenv("VELMO_HOSTS", path.c_str(), 1);
    auto start = std::chrono::steady_clock::now();
    hubd_hostinfo_t info;
    EXPECT_EQ(hubd_hostinfo("huge", &info), HUBD_E_PROTOCOL);
    EXPECT_EQ(info.os_name, nullptr);
    hubd_server_id_t id{CREDMAP_PROG, CREDMAP_VERS, 1};
    hubd_conn_t conn{};
    conn.sock = -1;
    EXPECT_EQ(hubd_connect_to_server("zero", &id, &conn, &CORE_UUID_NULL, 0, "credmap_server"), HUBD_E_PROTOCOL);
    EXPECT_EQ(conn.sock, -1);
    EXPECT_NE(hubd_hostinfo("cut", &info), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
    unsetenv("VELMO_HOSTS");
    unlink(path.c_str());
}

enum class Via { tcp, local };
enum class Op { add, withdraw, locate };

// A registration or withdrawal of `name` (port *port) as a server sends it, or a locate over TCP (the port found in
// *port), which starts only the servers the hubd starts itself; hubd's status, -1 when the call failed.
int ask_hubd(const sim::Host &host, Via via, Op op, const std::string &name, unsigned *port)
{
    char *text = const_cast<char *>(name.c_str());
    if (op != Op::locate) {
        int fd = via == Via::tcp ? connect_raw(host) : velmo::daemon::connect_local(host.socket);
        int status = velmo::daemon::send_registration(fd, op == Op::add, {text, CREDMAP_PROG, CREDMAP_VERS, *port, 0});
        close(fd);
        return status;
    }
    sockaddr_in address = hubd_address(host);
    int sock = RPC_ANYSOCK;
    CLIENT *clnt = clnttcp_create(&address, HUBD_PROG, HUBD_VERS, &sock, 0, 0);
    hubd_locate_args args{text, CREDMAP_PROG, CREDMAP_VERS, 1};
    hubd_locate_res res{-1, 0};
    clnt_call(clnt, HUBDPROC_LOCATE, (xdrproc_t)xdr_hubd_locate_args, reinterpret_cast<char *>(&args),
              (xdrproc_t)xdr_hubd_locate_res, reinterpret_cast<char *>(&res), (timeval{5, 0}));
    clnt_destroy(clnt);
    *port = res.port;
    return res.status;
}

// ask_hubd as user `uid`: another user than root asks from a child process, which ends once it has the answer.
int ask_hubd_as(uid_t uid, const sim::Host &host, Via via, Op op, const std::string &name, unsigned *port)
{
    static auto *answer =
        static_cast<int *>(mmap(nullptr, sizeof(int), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0));
    if (uid == 0)
        return ask_hubd(host, via, op, name, port);
    *answer = -2;
    pid_t pid = fork();
    if (pid == 0) {
        if (setgroups(0, nullptr) == 0 && setresgid(uid, uid, uid) == 0 && setresuid(uid, uid, uid) == 0)
            *answer = ask_hubd(host, via, op, name, port);
        _exit(0);
    }
    waitpid(pid, nullptr, 0);
    return *answer;
}

constexpr uid_t kDaemonUser = 1, kBinUser = 2, kNobody = 65534;

// Who may register, replace, withdraw and find what, and how; the rows run in order, on the same registrations.
TEST(HubdRegistrations, OnlyLocalAllowedOwnersChangeThem)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "acting as other users needs root";
    sim::Network net;
    sim::HostOptions options;
    options.hubd_args = {"--allow-register", "nobody", "--allow-register", "1"};
    const sim::Host &host = net.add("winhost", options);
    struct Case {
        const char *what;
        Via via;
        uid_t uid;
        Op op;
        std::string name;
        unsigned port;  // registered, or expected from a locate
        int status;
    };
    const Case cases[] = {
        {"over TCP, even from root", Via::tcp, 0, Op::add, "mapper", 4001, HUBD_E_NOT_PERMITTED},
        {"a user the hubd does not allow", Via::local, kBinUser, Op::add, "mapper", 4001, HUBD_E_NOT_PERMITTED},
        {"a name the hubd starts, even root", Via::local, 0, Op::add, "credmap_server", 4001, HUBD_E_NOT_PERMITTED},
        {"an empty name", Via::local, kNobody, Op::add, "", 4001, CORE_E_BAD_ARGUMENT},
        {"a control byte", Via::local, kNobody, Op::add, "bad\x01name", 4001, CORE_E_BAD_ARGUMENT},
        {"a byte beyond ASCII", Via::local, kNobody, Op::add, "caf\xc3\xa9", 4001, CORE_E_BAD_ARGUMENT},
        {"port 0", Via::local, kNobody, Op::add, "mapper", 0, CORE_E_BAD_ARGUMENT},
        {"a name of 64 characters", Via::local, 0, Op::add, std::string(64, 'n'), 4001, 0},
        {"a name of 65 characters", Via::local, 0, Op::add, std::string(65, 'n'), 4001, -1},
        {"an allowed user", Via::local, kNobody, Op::add, "mapper", 4001, 0},
        {"another allowed user replaces it", Via::local, kDaemonUser, Op::add, "mapper", 4002, HUBD_E_NOT_PERMITTED},
        {"another allowed user withdraws it", Via::local, kDaemonUser, Op::withdraw, "mapper", 0, HUBD_E_NOT_PERMITTED},
        {"the owner registers again", Via::local, kNobody, Op::add, "mapper", 4003, 0},
        {"root replaces it", Via::local, 0, Op::add, "mapper", 4004, 0},
        {"root's registration is found", Via::tcp, 0, Op::locate, "mapper", 4004, 0},
        {"the former owner withdraws it", Via::local, kNobody, Op::withdraw, "mapper", 0, HUBD_E_NOT_PERMITTED},
        {"root withdraws it", Via::local, 0, Op::withdraw, "mapper", 0, 0},
        {"nothing left to withdraw", Via::local, 0, Op::withdraw, "mapper", 0, HUBD_E_NOT_REGISTERED},
        {"an allowed user registers anew", Via::local, kNobody, Op::add, "mapper", 4005, 0},
        {"the owner withdraws it", Via::local, kNobody, Op::withdraw, "mapper", 0, 0},
        // Every process that registered has ended: a locate drops the registration, another user may take the name.
        {"the owner registers once more", Via::local, kNobody, Op::add, "mapper", 4006, 0},
        {"a gone process's registration is dropped", Via::tcp, 0, Op::locate, "mapper", 0, HUBD_E_NOT_REGISTERED},
        {"another allowed user takes the name", Via::local, kDaemonUser, Op::add, "mapper", 4007, 0},
    };
    size_t refusals = 1;  // and the seventeenth registration below
    for (const Case &c : cases) {
        unsigned port = c.op == Op::locate ? 0 : c.port;
        EXPECT_EQ(ask_hubd_as(c.uid, host, c.via, c.op, c.name, &port), c.status) << c.what;
        EXPECT_EQ(port, c.port) << c.what;
        refusals += c.status == HUBD_E_NOT_PERMITTED || c.status == CORE_E_BAD_ARGUMENT;
    }
    // A user holds at most 16 registrations (uid 1 holds one).
    for (unsigned i = 1, port = 5001; i <= 16; ++i, ++port)
        EXPECT_EQ(ask_hubd_as(kDaemonUser, host, Via::local, Op::add, "extra" + std::to_string(i), &port),
                  i < 16 ? 0 : HUBD_E_TOO_MANY);
    // nobody's own credmap_server would take the place of the one the hubd started: refused, it stops at once, and the
    // registration stays.  (A build tree that other users may not enter cannot show this.)
    std::string as_nobody =
        "timeout 10 setpriv --reuid=65534 --regid=65534 --clear-groups '" + sim::server_path() + "'";
    if (system((as_nobody + " --help >/dev/null 2>&1").c_str()) == 0) {
        unsigned port = 0, again = 0;
        EXPECT_EQ(ask_hubd(host, Via::tcp, Op::locate, "credmap_server", &port), 0);
        pid_t server = net.server_pid(host);
        int status = system((as_nobody + " --accounts '" + sim::accounts_path() + "' --address " + host.address +
                             " --hubd-socket '" + host.socket + "' 2>>'" + host.log + "'")
                                .c_str());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "the impostor was not refused: " << status;
        EXPECT_EQ(ask_hubd(host, Via::tcp, Op::locate, "credmap_server", &again), 0);
        EXPECT_EQ(again, port);
        EXPECT_EQ(net.server_pid(host), server);
        ++refusals;
    }
    // Every refusal is logged with the caller; nothing from the network is logged raw.
    std::string log = read_file(host.log);
    EXPECT_EQ(count(log, "\\]: refused the"), refusals) << log;
    EXPECT_EQ(count(log, "from uid 2 pid"), 1u) << log;
    EXPECT_EQ(count(log, "from 127\\.0\\.0\\.[0-9]+ port [0-9]+: registrations are taken only over"), 1u) << log;
    EXPECT_EQ(count(log, R"("bad\\x01name"|"caf\\xc3\\xa9")"), 2u) << log;
    EXPECT_EQ(count(log, "[^\n -~]"), 0u) << log;
}

}  // namespace
