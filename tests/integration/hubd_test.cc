// The location broker daemon and its client, against real daemons.
#include <arpa/inet.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>
#include <vector>
#include <thread>

#include "host/hubd.h"
#include "hubd_prot.h"
#include "registration.h"
#include "sids.h"
#include "sim_host.h"
#include "velmo/credmap.h"

namespace {

int connect_raw(const sim::Host &host)
{
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(host.hubd_port));
    inet_pton(AF_INET, host.address.c_str(), &a.sin_addr);
    EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    return fd;
}

bool alive(pid_t pid)
{
    return pid > 0 && kill(pid, 0) == 0;
}

std::string read_file(const std::string &path)
{
    std::ostringstream text;
    text << std::ifstream(path).rdbuf();
    return text.str();
}

size_t count_lines(const std::string &text, const std::string &part)
{
    size_t n = 0;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        n += line.find(part) != std::string::npos;
    return n;
}

TEST(Hubd, ReportsTheHostItIsToldOf)
{
    sim::Network net;
    net.add("winhost");
    net.add("unixhost", sim::os("Linux"));
    net.add("bare", sim::os(""));
    sim::HostOptions silent;
    silent.hostinfo = false;
    net.add("silent", silent);

    hubd_hostinfo_t info;
    ASSERT_EQ(hubd_hostinfo("WINHOST", &info), 0);
    EXPECT_STREQ(info.os_name, "Windows Server 2022");
    EXPECT_STREQ(info.host_name, "winhost");
    EXPECT_STREQ(info.address, "127.0.0.2");
    EXPECT_NE(info.os_release, nullptr);
    hubd_hostinfo_free(info);

    ASSERT_EQ(hubd_hostinfo("unixhost", &info), 0);
    EXPECT_STREQ(info.os_name, "Linux");
    hubd_hostinfo_free(info);
    // An empty operating-system name is reported as none.
    ASSERT_EQ(hubd_hostinfo("bare", &info), 0);
    EXPECT_EQ(info.os_name, nullptr);
    hubd_hostinfo_free(info);

    EXPECT_EQ(hubd_hostinfo("silent", &info), HUBD_E_NO_HOSTINFO);
    EXPECT_EQ(info.os_name, nullptr);
    EXPECT_EQ(hubd_hostinfo("no-such-host.invalid", &info), HUBD_E_HOST_UNKNOWN);
    EXPECT_EQ(hubd_hostinfo(nullptr, &info), CORE_E_BAD_ARGUMENT);
}

TEST(Hubd, SurvivesClientsThatMisbehave)
{
    sim::Network net;
    sim::HostOptions options;
    options.hubd_args = {"--idle-timeout", "1"};
    const sim::Host &host = net.add("winhost", options);
    // Garbage, a record that claims a megabyte and never comes, a half
    // request left open, and a connection dropped at once.
    int garbage = connect_raw(host);
    char noise[4096];
    for (size_t i = 0; i < sizeof noise; ++i)
        noise[i] = static_cast<char>(i * 7919);
    ASSERT_EQ(write(garbage, noise, sizeof noise), static_cast<ssize_t>(sizeof noise));
    int stalled = connect_raw(host);
    uint32_t mark = htonl(0x80000000u | (1u << 20));
    ASSERT_EQ(write(stalled, &mark, sizeof mark), 4);
    ASSERT_EQ(write(stalled, "abc", 3), 3);
    int half = connect_raw(host);
    ASSERT_EQ(write(half, noise, 2), 2);
    close(connect_raw(host));

    auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 3; ++i) {
        hubd_hostinfo_t info;
        ASSERT_EQ(hubd_hostinfo("winhost", &info), 0);
        hubd_hostinfo_free(info);
        credmap_handle_t *h = nullptr;
        ASSERT_EQ(credmap_get_handle("winhost", &h), 0);
        credmap_free_handle(h);
    }
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_TRUE(alive(host.hubd_pid));
    // A connection that stays silent is closed after the idle time-out.
    timeval wait{5, 0};
    setsockopt(half, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    char byte;
    EXPECT_EQ(read(half, &byte, 1), 0);
    close(garbage);
    close(stalled);
    close(half);
}

TEST(Hubd, ServersThatRegisterThemselves)
{
    sim::Network net;
    sim::HostOptions options;
    options.on_demand = false;
    const sim::Host &host = net.add("winhost", options);
    credmap_handle_t *h = nullptr;
    ASSERT_EQ(credmap_get_handle("winhost", &h), 0);
    credmap_free_handle(h);
    // A server that stops withdraws its registration.
    kill(host.server_pid, SIGTERM);
    waitpid(host.server_pid, nullptr, 0);
    EXPECT_EQ(credmap_get_handle("winhost", &h), HUBD_E_NOT_REGISTERED);
}

TEST(Hubd, StartFailuresHaveTheirOwnStatus)
{
    sim::Network net;
    // Servers that cannot start, or start and never say they listen.
    auto starting = [](const std::string &command, const std::string &timeout) {
        sim::HostOptions o = sim::no_server();
        o.hubd_args = {"--start", "credmap_server=" + command, "--start-timeout", timeout};
        return o;
    };
    const sim::Host &failing = net.add("failing", starting("/bin/false", "5"));
    const sim::Host &silent = net.add("silent", starting("sleep 30", "1"));
    credmap_handle_t *h = nullptr;
    EXPECT_EQ(credmap_get_handle("failing", &h), HUBD_E_NOT_REGISTERED);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(credmap_get_handle("silent", &h), HUBD_E_START_TIMEOUT);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(4));
    // The hubd stays well and stops cleanly after either.
    for (const sim::Host *host : {&failing, &silent}) {
        int status = net.stop_hubd(*host);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
}

// A location broker that answers each request with the reply `reply` makes
// from the request's xid: a stand-in for a broken or hostile hubd.
class FakeBroker {
public:
    explicit FakeBroker(std::function<std::vector<uint32_t>(uint32_t xid)> reply) : reply_(std::move(reply))
    {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        inet_pton(AF_INET, "127.0.0.1", &a.sin_addr);
        bind(listener_, reinterpret_cast<sockaddr *>(&a), sizeof a);
        listen(listener_, 8);
        socklen_t len = sizeof a;
        getsockname(listener_, reinterpret_cast<sockaddr *>(&a), &len);
        port_ = ntohs(a.sin_port);
        thread_ = std::thread([this] { serve(); });
    }
    ~FakeBroker()
    {
        shutdown(listener_, SHUT_RDWR);
        close(listener_);
        thread_.join();
    }
    unsigned port() const { return port_; }

private:
    void serve()
    {
        for (int fd; (fd = accept(listener_, nullptr, nullptr)) >= 0; close(fd)) {
            uint32_t head[2];
            if (read(fd, head, sizeof head) != sizeof head)
                continue;
            std::vector<uint32_t> words = reply_(head[1]);
            uint32_t mark = htonl(0x80000000u | static_cast<uint32_t>(words.size() * 4));
            (void)!write(fd, &mark, sizeof mark);
            (void)!write(fd, words.data(), words.size() * 4);
        }
    }
    std::function<std::vector<uint32_t>(uint32_t)> reply_;
    int listener_;
    unsigned port_;
    std::thread thread_;
};

// An accepted RPC reply header (xid, reply, accepted, no verifier, success).
std::vector<uint32_t> accepted(uint32_t xid, std::vector<uint32_t> body)
{
    std::vector<uint32_t> words = {xid, htonl(1), 0, 0, 0, 0};
    words.insert(words.end(), body.begin(), body.end());
    return words;
}

TEST(HubdClient, BrokenBrokerAnswersGiveAStatus)
{
    // Host information whose operating-system name claims 4 GB; a locate
    // answer naming port 0; a reply that stops half-way.
    FakeBroker huge([](uint32_t xid) { return accepted(xid, {0, 0xffffffffu}); });
    FakeBroker port_zero([](uint32_t xid) { return accepted(xid, {0, 0}); });
    FakeBroker cut([](uint32_t xid) { return std::vector<uint32_t>{xid, htonl(1)}; });
    char path[] = "/tmp/velmo-fake-hosts-XXXXXX";
    int fd = mkstemp(path);
    std::string hosts = "huge 127.0.0.1 " + std::to_string(huge.port()) + "\nzero 127.0.0.1 " +
                        std::to_string(port_zero.port()) + "\ncut 127.0.0.1 " + std::to_string(cut.port()) + "\n";
    ASSERT_EQ(write(fd, hosts.data(), hosts.size()), static_cast<ssize_t>(hosts.size()));
    close(fd);
    setenv("VELMO_HOSTS", path, 1);

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
    unlink(path);
}

// ---- Registrations ----

enum class Via { tcp, local };
enum class Op { add, withdraw, locate };

// One request to the host's hubd: a registration or withdrawal of `name`
// for the credmap program (port `port`), sent as a server sends it, or a
// locate of it that starts nothing.  Returns hubd's status (the port
// located in *port), -1 when the call failed.
int ask_hubd(const sim::Host &host, Via via, Op op, const std::string &name, unsigned *port)
{
    int fd = via == Via::tcp ? connect_raw(host) : velmo::daemon::connect_local(host.socket);
    if (fd < 0)
        return -1;
    int status = -1;
    if (op != Op::locate) {
        hubd_register_args args{const_cast<char *>(name.c_str()), CREDMAP_PROG, CREDMAP_VERS, *port, 0};
        status = velmo::daemon::send_registration(fd, op == Op::add, args);
    } else {
        sockaddr_storage peer{};
        socklen_t length = sizeof peer;
        getpeername(fd, reinterpret_cast<sockaddr *>(&peer), &length);
        netbuf raddr{length, length, &peer};
        CLIENT *clnt = clnt_vc_create(fd, &raddr, HUBD_PROG, HUBD_VERS, 0, 0);
        hubd_locate_args args{const_cast<char *>(name.c_str()), CREDMAP_PROG, CREDMAP_VERS, 0};
        hubd_locate_res res{};
        timeval timeout{5, 0};
        if (clnt != nullptr && clnt_call(clnt, HUBDPROC_LOCATE, (xdrproc_t)xdr_hubd_locate_args,
                                         reinterpret_cast<char *>(&args), (xdrproc_t)xdr_hubd_locate_res,
                                         reinterpret_cast<char *>(&res), timeout) == RPC_SUCCESS)
            status = res.status, *port = res.port;
        if (clnt != nullptr)
            clnt_destroy(clnt);
    }
    close(fd);
    return status;
}

// ask_hubd as user `uid`: root asks from this process, another user from a
// child process that has become that user and ends once it has the answer.
int ask_hubd_as(uid_t uid, const sim::Host &host, Via via, Op op, const std::string &name, unsigned *port)
{
    if (uid == 0)
        return ask_hubd(host, via, op, name, port);
    int answer[2];
    if (pipe(answer) != 0)
        return -1;
    pid_t pid = fork();
    if (pid == 0) {
        int status = -2;
        if (setgroups(0, nullptr) == 0 && setresgid(uid, uid, uid) == 0 && setresuid(uid, uid, uid) == 0)
            status = ask_hubd(host, via, op, name, port);
        (void)!write(answer[1], &status, sizeof status);
        _exit(0);
    }
    close(answer[1]);
    int status = -1;
    if (read(answer[0], &status, sizeof status) != sizeof status)
        status = -1;
    close(answer[0]);
    waitpid(pid, nullptr, 0);
    return status;
}

constexpr uid_t kDaemonUser = 1, kBinUser = 2, kNobody = 65534;

// Who may register, replace, withdraw and find what, over which transport:
// one hubd that starts credmap_server itself and lets nobody and uid 1
// register besides root.  The rows run in order, on the same registrations.
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
        {"an allowed user", Via::local, kNobody, Op::add, "mapper", 4001, 0},
        {"another allowed user replaces it", Via::local, kDaemonUser, Op::add, "mapper", 4002, HUBD_E_NOT_PERMITTED},
        {"another allowed user withdraws it", Via::local, kDaemonUser, Op::withdraw, "mapper", 0, HUBD_E_NOT_PERMITTED},
        {"a withdrawal over TCP", Via::tcp, 0, Op::withdraw, "mapper", 0, HUBD_E_NOT_PERMITTED},
        {"the owner registers again", Via::local, kNobody, Op::add, "mapper", 4003, 0},
        {"root replaces it", Via::local, 0, Op::add, "mapper", 4004, 0},
        {"root's registration is found", Via::tcp, 0, Op::locate, "mapper", 4004, 0},
        {"the former owner withdraws it", Via::local, kNobody, Op::withdraw, "mapper", 0, HUBD_E_NOT_PERMITTED},
        {"root withdraws it", Via::local, 0, Op::withdraw, "mapper", 0, 0},
        {"nothing left to withdraw", Via::local, 0, Op::withdraw, "mapper", 0, HUBD_E_NOT_REGISTERED},
        {"the name the hubd starts stays", Via::local, 0, Op::withdraw, "credmap_server", 0, HUBD_E_NOT_PERMITTED},
        {"an allowed user registers anew", Via::local, kNobody, Op::add, "mapper", 4005, 0},
        {"the owner withdraws it", Via::local, kNobody, Op::withdraw, "mapper", 0, 0},
        // Every process that registered here has ended by now: the next
        // locate drops the registration, and another user may take the name.
        {"the owner registers once more", Via::local, kNobody, Op::add, "mapper", 4006, 0},
        {"a gone process's registration is dropped", Via::tcp, 0, Op::locate, "mapper", 0, HUBD_E_NOT_REGISTERED},
        {"another allowed user takes the name", Via::local, kDaemonUser, Op::add, "mapper", 4007, 0},
    };
    size_t refusals = 0;
    for (const Case &c : cases) {
        unsigned port = c.op == Op::locate ? 0 : c.port;
        EXPECT_EQ(ask_hubd_as(c.uid, host, c.via, c.op, c.name, &port), c.status) << c.what;
        if (c.op == Op::locate) {
            EXPECT_EQ(port, c.port) << c.what;
        }
        refusals += c.status == HUBD_E_NOT_PERMITTED || c.status == CORE_E_BAD_ARGUMENT;
    }
    // A user holds at most 16 registrations (uid 1 holds one).
    for (int i = 1; i <= 16; ++i) {
        unsigned port = 5000 + i;
        EXPECT_EQ(ask_hubd_as(kDaemonUser, host, Via::local, Op::add, "extra" + std::to_string(i), &port),
                  i < 16 ? 0 : HUBD_E_TOO_MANY)
            << i;
    }
    ++refusals;

    // Every refusal is logged with the caller; nothing from the network is
    // logged raw.
    std::string log = read_file(host.log);
    EXPECT_EQ(count_lines(log, "]: refused the"), refusals) << log;
    EXPECT_EQ(count_lines(log, "only over the local socket"), 2u) << log;
    EXPECT_TRUE(std::regex_search(log, std::regex("from 127\\.0\\.0\\.[0-9]+ port [0-9]+: registrations are")))
        << log;
    EXPECT_NE(log.find("\"bad\\x01name\""), std::string::npos) << log;
    EXPECT_NE(log.find("\"caf\\xc3\\xa9\""), std::string::npos) << log;
    EXPECT_EQ(std::count_if(log.begin(), log.end(),
                            [](char c) { return (c < 0x20 && c != '\n') || static_cast<unsigned char>(c) >= 0x7f; }),
              0);
}

// A user other than root, and anyone over TCP, tries to put a server of
// its own in the place of the one the hubd started: the mapping stays.
TEST(HubdRegistrations, NoTakeOverOfTheMappingServer)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "acting as another user needs root";
    setenv("VELMO_LOCATION_CACHE", "0", 1);
    sim::Network net;
    const sim::Host &host = net.add("winhost");
    auto map_root = [] {
        credmap_cache_flush(nullptr);
        idkit_sid_credentials_t local = sim::make_set(sim::uid_sid(0), sim::gid_sid(0), {}), remote{};
        EXPECT_EQ(credmap_local_to_remote_sid(&local, "winhost", &remote), 0);
        return sim::text(remote.user) + " " + sim::text(remote.group);
    };
    const std::string mapped = map_root();
    ASSERT_EQ(mapped, sim::kDomain + "1116 " + sim::kDomain + "1220");
    pid_t server = net.server_pid(host);

    // The impostor serves a domain of its own, as nobody; refused, it stops
    // at once (taken, it would serve until the time-out).
    std::string accounts = net.dir() + "/impostor.accounts";
    std::string domain = read_file(sim::accounts_path());
    domain.replace(domain.find("S-1-5-21-3623811015"), 19, "S-1-5-21-1111111111");
    std::ofstream(accounts) << domain;
    std::string as_nobody = "timeout 10 setpriv --reuid=65534 --regid=65534 --clear-groups '" + sim::server_path() + "'";
    // A build tree under a folder only root may enter (root's home) cannot
    // be run by another user at all: nothing to show there.
    if (system((as_nobody + " --help >/dev/null 2>&1").c_str()) != 0)
        GTEST_SKIP() << "uid 65534 cannot run " << sim::server_path() << " (a folder above it is closed to others)";
    std::string impostor = as_nobody + " --accounts '" + accounts + "' --address " + host.address +
                           " --hubd-socket '" + host.socket + "' 2>>'" + host.log + "'";
    int status = system(impostor.c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 1) << "the impostor was not refused: " << status;
    unsigned port = 4000;
    EXPECT_EQ(ask_hubd(host, Via::tcp, Op::add, "credmap_server", &port), HUBD_E_NOT_PERMITTED);
    EXPECT_EQ(ask_hubd(host, Via::tcp, Op::withdraw, "credmap_server", &port), HUBD_E_NOT_PERMITTED);

    EXPECT_EQ(map_root(), mapped);
    EXPECT_EQ(net.server_pid(host), server);
    std::string log = read_file(host.log);
    EXPECT_EQ(count_lines(log, "]: refused the"), 3u) << log;
    EXPECT_EQ(count_lines(log, "from uid 65534"), 1u) << log;
    unsetenv("VELMO_LOCATION_CACHE");
}

TEST(Hubd, StopsTheServersItStarted)
{
    sim::Network net;
    const sim::Host &host = net.add("winhost");
    credmap_handle_t *h = nullptr;
    ASSERT_EQ(credmap_get_handle("winhost", &h), 0);
    credmap_free_handle(h);
    pid_t server = net.server_pid(host);
    ASSERT_GT(server, 0);
    int status = net.stop_hubd(host);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    // The hubd waited for it before it exited.
    EXPECT_NE(read_file(host.log).find("(pid " + std::to_string(server) + ") stopped"), std::string::npos);
    for (int i = 0; i < 200 && alive(server); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(alive(server));
}

}  // namespace
