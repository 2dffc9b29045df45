// Server handles against real hubd and credmap_server daemons on loopback.
#include <dirent.h>
#include <dlfcn.h>
#include <malloc.h>
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <csignal>
#include <sstream>

#include "host/exc.h"
#include "host/mem.h"
#include "host/rpk.h"
#include "messages.h"
#include "sim_host.h"
#include "velmo/credmap.h"

// Test doubles at the service boundary: the library calls these through the
// dynamic linker, so the definitions here take the place of the services'.
// By default they forward to the real services and count allocations.
namespace {
std::atomic<int> raise_in_broker{0};
std::atomic<long> live_allocations{0};
}  // namespace

extern "C" core_status_t hubd_connect_to_server(const char *host, const hubd_server_id_t *id, hubd_conn_t *conn,
                                                const core_uuid_t *object, int flags, const char *name)
{
    using Fn = core_status_t (*)(const char *, const hubd_server_id_t *, hubd_conn_t *, const core_uuid_t *, int,
                                 const char *);
    static Fn real = reinterpret_cast<Fn>(dlsym(RTLD_NEXT, "hubd_connect_to_server"));
    if (int code = raise_in_broker.load())
        exc_raise(code);
    return real(host, id, conn, object, flags, name);
}

extern "C" void *mem_malloc(size_t size)
{
    void *p = malloc(size == 0 ? 1 : size);
    if (p != nullptr)
        ++live_allocations;
    return p;
}

extern "C" void mem_free(void *p)
{
    if (p != nullptr)
        --live_allocations;
    free(p);
}

namespace {

int open_descriptors()
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (readdir(d) != nullptr)
        ++n;
    closedir(d);
    return n;
}

// Splits the "PROC UNIQUIFIER SEQNO" lines of a request log.
struct Request {
    unsigned proc;
    long long uniquifier;
    unsigned long long seqno;
};

std::vector<Request> parse(const std::vector<std::string> &lines)
{
    std::vector<Request> out;
    for (const auto &line : lines) {
        Request r{};
        std::istringstream(line) >> r.proc >> r.uniquifier >> r.seqno;
        out.push_back(r);
    }
    return out;
}

TEST(ServerHandle, ContactsTheServerAndReadsItsAttributes)
{
    sim::Network net;
    const sim::Host &host = net.add("winhost");
    credmap_handle_t *h = nullptr;
    // Host names are looked up without regard to case.
    ASSERT_EQ(credmap_get_handle("WinHost", &h), 0);
    ASSERT_NE(h, nullptr);
    unsigned attributes = 0;
    EXPECT_EQ(credmap_get_attribute(h, &attributes), 0);
    EXPECT_EQ(attributes, unsigned(CREDMAP_ATTR_NT_SID));
    EXPECT_EQ(h->conn.timeout.tv_sec, CREDMAP_CALL_TIMEOUT);

    unsigned untouched = 99;
    EXPECT_EQ(credmap_get_attribute(nullptr, &untouched), CORE_E_BAD_ARGUMENT);
    EXPECT_EQ(untouched, 99u);

    idkit_passwd_sid_t pw;
    ASSERT_EQ(credmap_svr_getpwnam(h, "alice", &pw), 0);
    credmap_free_handle(h);

    // The contact carries 0, the first request after it 1, both with the
    // stamp of the connection.
    auto requests = parse(net.requests(host));
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].proc, 1u);
    EXPECT_EQ(requests[0].seqno, 0u);
    EXPECT_EQ(requests[1].proc, unsigned(CREDMAP_PROC_SVR_GETPWNAM));
    EXPECT_EQ(requests[1].seqno, 1u);
    EXPECT_EQ(requests[0].uniquifier, requests[1].uniquifier);
}

TEST(ServerHandle, ReleaseOfAHandleWithoutAuthentication)
{
    sim::Network net;
    net.add("winhost");
    long before = live_allocations.load();
    int fds = open_descriptors();
    credmap_handle_t *h = nullptr;
    ASSERT_EQ(credmap_get_handle("winhost", &h), 0);
    auth_destroy(h->conn.clnt->cl_auth);
    h->conn.clnt->cl_auth = nullptr;
    credmap_free_handle(h);
    EXPECT_EQ(live_allocations.load(), before);
    EXPECT_EQ(open_descriptors(), fds);
}

TEST(ServerHandle, ResetContactIsRetriedOnANewConnection)
{
    sim::Network net;
    const sim::Host &host = net.add("winhost", sim::server_args({"--reset-contact=2"}));
    Messages messages;
    credmap_handle_t *h = nullptr;
    ASSERT_EQ(credmap_get_handle("winhost", &h), 0);
    credmap_exit(h);
    credmap_free_handle(h);
    // Three contacts on three connections, numbered on; then the exit.
    auto requests = parse(net.requests(host));
    ASSERT_EQ(requests.size(), 4u);
    for (unsigned i = 0; i < 3; ++i) {
        EXPECT_EQ(requests[i].proc, 1u);
        EXPECT_EQ(requests[i].seqno, i);
    }
    EXPECT_NE(requests[0].uniquifier, requests[1].uniquifier);
    EXPECT_EQ(requests[3].proc, unsigned(CREDMAP_PROC_EXIT));
    EXPECT_EQ(requests[3].seqno, 3u);
    EXPECT_TRUE(messages.all().empty());
}

TEST(ServerHandle, ResetOnEveryContactGivesUpAfterFourAttempts)
{
    sim::Network net;
    const sim::Host &host = net.add("winhost", sim::server_args({"--reset-contact"}));
    Messages messages;
    credmap_handle_t *h = reinterpret_cast<credmap_handle_t *>(1);
    EXPECT_EQ(credmap_get_handle("winhost", &h), CORE_E_FAILURE);
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(parse(net.requests(host)).size(), 4u);
    auto all = messages.all();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].text, "Timed out trying to start credmap_server:winhost\n");
    EXPECT_EQ(all[1].text, "See hubd or credmap error logs on host winhost\n");
    for (const auto &m : all) {
        EXPECT_EQ(m.severity, VOX_ERROR);
        EXPECT_EQ(m.facility, "credmap/clnt");
    }
}

// Takes four contact time-outs of fifteen seconds: about a minute.
TEST(ServerHandle, ContactThatIsNeverAnsweredIsTriedFourTimes)
{
    sim::Network net;
    const sim::Host &host = net.add("winhost", sim::server_args({"--ignore-contact"}));
    Messages messages;
    credmap_handle_t *h = nullptr;
    time_t start = time(nullptr);
    EXPECT_EQ(credmap_get_handle("winhost", &h), CORE_E_FAILURE);
    EXPECT_GE(time(nullptr) - start, 4 * CREDMAP_CALL_TIMEOUT - 2);
    EXPECT_EQ(h, nullptr);
    auto requests = parse(net.requests(host));
    ASSERT_EQ(requests.size(), 4u);
    for (unsigned i = 0; i < 4; ++i)
        EXPECT_EQ(requests[i].seqno, i);
    EXPECT_EQ(messages.texts(), (std::vector<std::string>{"Timed out trying to start credmap_server:winhost\n",
                                                          "See hubd or credmap error logs on host winhost\n"}));
}

TEST(ServerHandle, FailuresThatAreNotRetried)
{
    sim::Network net;
    net.add("noserver", sim::no_server());
    net.add_unreachable("deadhost");
    const sim::Host &refusing = net.add("refusing", sim::server_args({"--proc-status", "1=1063"}));
    struct Case {
        const char *host;
        core_status_t status;
    } cases[] = {
        {"no-such-host.invalid", HUBD_E_HOST_UNKNOWN},
        {"deadhost", HUBD_E_UNREACHABLE},
        {"noserver", HUBD_E_NOT_REGISTERED},
        {"refusing", CORE_E_CREDS_REFUSED},
    };
    for (const auto &c : cases) {
        Messages messages;
        credmap_handle_t *h = reinterpret_cast<credmap_handle_t *>(1);
        EXPECT_EQ(credmap_get_handle(c.host, &h), c.status) << c.host;
        EXPECT_EQ(h, nullptr);
        auto all = messages.all();
        ASSERT_EQ(all.size(), 1u) << c.host;
        EXPECT_EQ(all[0].text, std::string("Unable to contact credmap svr:") + c.host + "\n");
        EXPECT_EQ(all[0].severity, VOX_ERROR);
        EXPECT_STRNE(core_strerror(c.status), "unknown status");
    }
    // A status in the contact reply is final: one contact only.
    EXPECT_EQ(parse(net.requests(refusing)).size(), 1u);
}

TEST(ServerHandle, ExceptionInTheLocationBrokerReleasesTheHandle)
{
    sim::Network net;
    net.add("winhost");
    long before = live_allocations.load();
    int fds = open_descriptors();
    exc_frame_t outer;
    volatile int caught = 0;
    int code = exc_cleanup_start(&outer, 0);
    if (code == 0) {
        raise_in_broker = 77;
        credmap_handle_t *h = nullptr;
        credmap_get_handle("winhost", &h);
        exc_cleanup_rls(&outer);
    } else {
        caught = code;
    }
    raise_in_broker = 0;
    EXPECT_EQ(caught, 77);
    EXPECT_EQ(live_allocations.load(), before);
    EXPECT_EQ(open_descriptors(), fds);
    EXPECT_EQ(exc_inhibit_depth(), 0);
}

TEST(ServerHandle, ThousandCyclesLeaveDescriptorsAndHeapAsTheyWere)
{
    sim::Network net;
    net.add("winhost");
    net.add("noserver", sim::no_server());
    net.add_unreachable("deadhost");
    Messages quiet;
    const char *hosts[] = {"winhost", "noserver", "deadhost", "winhost"};
    auto cycle = [&](int i) {
        credmap_handle_t *h = nullptr;
        if (credmap_get_handle(hosts[i % 4], &h) == 0)
            credmap_free_handle(h);
    };
    for (int i = 0; i < 20; ++i)
        cycle(i);
    int fds = open_descriptors();
    long allocations = live_allocations.load();
    size_t heap = mallinfo2().uordblks;
    for (int i = 0; i < 1000; ++i)
        cycle(i);
    EXPECT_EQ(open_descriptors(), fds);
    EXPECT_EQ(live_allocations.load(), allocations);
    // Under the sanitizers the heap is theirs and the leak check stands in.
#if !defined(__SANITIZE_ADDRESS__)
    EXPECT_LT(mallinfo2().uordblks, heap + 64 * 1024);
#else
    (void)heap;
#endif
}

}  // namespace

namespace {

// The RPC calls of one handle with one request: the locate (when the
// server's location is not remembered), the contact and the request.
unsigned long calls_for_one_request(const char *host)
{
    unsigned long before = rpk_calls_made();
    credmap_handle_t *h = nullptr;
    idkit_passwd_sid_t pw;
    EXPECT_EQ(credmap_get_handle(host, &h), 0);
    EXPECT_EQ(credmap_svr_getpwnam(h, "Alice", &pw), 0);
    credmap_free_handle(h);
    return rpk_calls_made() - before;
}

TEST(ServerHandle, RememberedLocationIsUsedAndAMovedServerFoundAgain)
{
    sim::Network net;
    const sim::Host &host = net.add("winhost");
    Messages messages;
    EXPECT_EQ(calls_for_one_request("winhost"), 3u);
    EXPECT_EQ(calls_for_one_request("winhost"), 2u);
    setenv("VELMO_LOCATION_CACHE", "0", 1);
    EXPECT_EQ(calls_for_one_request("winhost"), 3u);
    unsetenv("VELMO_LOCATION_CACHE");
    // The server dies; its hubd starts it again, on another port.
    pid_t server = net.server_pid(host);
    ASSERT_GT(server, 0);
    kill(server, SIGKILL);
    for (int i = 0; i < 200 && kill(server, 0) == 0; ++i)
        usleep(10000);
    // Refused where it was: located again within the same call.
    EXPECT_EQ(calls_for_one_request("winhost"), 3u);
    EXPECT_NE(net.server_pid(host), server);
    EXPECT_TRUE(messages.all().empty());
}

}  // namespace

namespace {

// One request on a handle of its own; its status.
core_status_t one_request(const char *host)
{
    credmap_handle_t *h = nullptr;
    idkit_passwd_sid_t pw;
    core_status_t s = credmap_get_handle(host, &h);
    if (s == 0)
        s = credmap_svr_getpwnam(h, "Alice", &pw);
    credmap_free_handle(h);
    return s;
}

TEST(ServerHandle, ServerAnswersOthersWhileOneClientStallsOrWaits)
{
    sim::Network net;
    net.add("slowhost", sim::server_args({"--delay", "3000"}));
    Messages quiet;
    // A client that sent half a request and went quiet.
    credmap_handle_t *h = nullptr;
    ASSERT_EQ(credmap_get_handle("slowhost", &h), 0);
    sockaddr_storage server{};
    socklen_t length = sizeof server;
    getpeername(h->conn.sock, reinterpret_cast<sockaddr *>(&server), &length);
    credmap_free_handle(h);
    int stalled = socket(server.ss_family, SOCK_STREAM, 0);
    ASSERT_EQ(connect(stalled, reinterpret_cast<sockaddr *>(&server), length), 0);
    const unsigned char half[] = {0x80, 0, 0, 100, 1, 2, 3, 4};
    ASSERT_EQ(write(stalled, half, sizeof half), ssize_t(sizeof half));

    // Three clients at once, their contact and request each answered after
    // three seconds: together in about six seconds, not eighteen.
    auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> clients;
    std::atomic<int> failed{0};
    for (int i = 0; i < 3; ++i)
        clients.emplace_back([&] { failed += one_request("slowhost") != 0; });
    for (auto &c : clients)
        c.join();
    EXPECT_EQ(failed.load(), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(12));
    close(stalled);
}

}  // namespace
