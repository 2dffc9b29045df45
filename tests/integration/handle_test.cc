// Server handles against real hubd and credmap_server daemons on loopback.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <filesystem>
#include <thread>

#include "host/exc.h"
#include "host/mem.h"
#include "host/rpk.h"
#include "messages.h"
#include "sim_host.h"
#include "velmo/credmap.h"

// Stand-ins the dynamic linker finds before the services': they count allocations and can make the broker raise.
static std::atomic<int> raise_in_broker{0};
static std::atomic<long> live_allocations{0};

extern "C" core_status_t hubd_connect_to_server(const char *host, const hubd_server_id_t *id, hubd_conn_t *conn,
                                                const core_uuid_t *object, int flags, const char *name)
{
    static auto real = reinterpret_cast<decltype(&hubd_connect_to_server)>(dlsym(RTLD_NEXT, "hubd_connect_to_server"));
    if (int code = raise_in_broker.load())
        exc_raise(code);
    return real(host, id, conn, object, flags, name);
}

extern "C" void *mem_malloc(size_t size)
{
    void *p = malloc(size == 0 ? 1 : size);
    live_allocations += p != nullptr;
    return p;
}

extern "C" void mem_free(void *p)
{
    live_allocations -= p != nullptr;
    free(p);
}

namespace {

long open_descriptors()
{
    return std::distance(std::filesystem::directory_iterator("/proc/self/fd"), std::filesystem::directory_iterator());
}

// One request on a handle of its own; the RPC calls it took (locate unless remembered, contact, request).
unsigned long one_request(const char *host)
{
    unsigned long before = rpk_calls_made();
    credmap_handle_t *h = nullptr;
    idkit_passwd_sid_t pw;
    EXPECT_EQ(credmap_get_handle(host, &h), 0);
    EXPECT_EQ(credmap_svr_getpwnam(h, "Alice", &pw), 0);
    credmap_free_handle(h);
    return rpk_calls_made() - before;
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
    auto requests = net.requests(host);
    ASSERT_EQ(requests.size(), 4u);
    for (size_t i = 0; i < 4; ++i)
        EXPECT_EQ(requests[i].substr(requests[i].rfind(' ') + 1), std::to_string(i));
    EXPECT_EQ(messages.texts(), (std::vector<std::string>{"Timed out trying to start credmap_server:winhost\n",
                                                          "See hubd or credmap error logs on host winhost\n"}));
}

TEST(ServerHandle, ThousandCyclesAndAnExceptionLeaveDescriptorsAndHeapAsTheyWere)
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
    long fds = open_descriptors(), allocations = live_allocations.load();
    size_t heap = mallinfo2().uordblks;
    for (int i = 0; i < 1000; ++i)
        cycle(i);
    // An exception raised in the location broker while a handle is got releases the handle.
    exc_frame_t outer;
    volatile int caught = exc_cleanup_start(&outer, 0);
    if (caught == 0) {
        raise_in_broker = 77;
        credmap_handle_t *h = nullptr;
        credmap_get_handle("winhost", &h);
        exc_cleanup_rls(&outer);
    }
    raise_in_broker = 0;
    EXPECT_EQ(caught, 77);
    EXPECT_EQ(exc_inhibit_depth(), 0);
    EXPECT_EQ(open_descriptors(), fds);
    EXPECT_EQ(live_allocations.load(), allocations);
    EXPECT_LT(mallinfo2().uordblks, heap + 64 * 1024);
}

TEST(ServerHandle, RememberedLocationIsUsedAndAMovedServerFoundAgain)
{
    sim::Network net;
    const sim::Host &host = net.add("winhost");
    Messages messages;
    EXPECT_EQ(one_request("winhost"), 3u);
    EXPECT_EQ(one_request("winhost"), 2u);
    setenv("VELMO_LOCATION_CACHE", "0", 1);
    EXPECT_EQ(one_request("winhost"), 3u);
    unsetenv("VELMO_LOCATION_CACHE");
    // The server dies; its hubd starts it again, on another port.
    pid_t server = net.server_pid(host);
    ASSERT_GT(server, 0);
    kill(server, SIGKILL);
    for (int i = 0; i < 200 && kill(server, 0) == 0; ++i)
        usleep(10000);
    // Refused where it was: located again within the same call.
    EXPECT_EQ(one_request("winhost"), 3u);
    EXPECT_NE(net.server_pid(host), server);
    EXPECT_TRUE(messages.all().empty());
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
    // Three clients, each contact and request answered after three seconds: together in about six, not eighteen.
    auto start = std::chrono::steady_clock::now();
    std::thread clients[] = {std::thread(one_request, "slowhost"), std::thread(one_request, "slowhost"),
                             std::thread(one_request, "slowhost")};
    for (auto &c : clients)
        c.join();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(12));
    close(stalled);
}

}  // namespace
