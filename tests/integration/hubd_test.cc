// The location broker daemon and its client, against real daemons.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <vector>
#include <thread>

#include "host/hubd.h"
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
    for (int i = 0; i < 200 && alive(server); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_FALSE(alive(server));
}

}  // namespace
