// A lying server: with --chaos SEED every reply is framed as a proper Sun
// RPC reply to its request, but what it carries, and how it travels, is
// damaged the way a broken or malicious host damages it.  The reply is
// first encoded as usual; its bytes (record mark, RPC header, body) are then
// damaged and written to the connection.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "chaos.h"
#include "daemon.h"
#include "threaded.h"

namespace credmap_server {
namespace {

// Record mark (4) and the accepted-reply header with an empty verifier:
// xid, direction, reply status, verifier flavor and length, accept status.
constexpr size_t kBodyStart = 4 + 24;

// One sequence of choices for the whole server, whichever thread answers.
std::mutex rng_lock;

uint64_t random_word()
{
    static std::mt19937_64 engine(config.chaos_seed);
    std::lock_guard<std::mutex> lock(rng_lock);
    return engine();
}

uint64_t pick(uint64_t n)
{
    return n == 0 ? 0 : random_word() % n;
}

// The bytes svc_sendreply would write for the reply: record mark, RPC
// header, body.  The server then sends nothing itself.
std::string encode_reply(SVCXPRT *xprt, xdrproc_t encode, void *reply)
{
    if (!svc_sendreply(xprt, encode, static_cast<char *>(reply)))
        return "";
    return velmo::daemon::take_reply(xprt);
}

// One record fragment again around a changed reply.
void reframe(std::string *bytes)
{
    uint32_t mark = htonl(0x80000000u | static_cast<uint32_t>(bytes->size() - 4));
    std::memcpy(bytes->data(), &mark, 4);
}

uint32_t hostile_word()
{
    static const uint32_t words[] = {0, 1, 32, 33, 1023, 1024, 65536, 65537, 0x7fffffff, 0x80000000, 0xffffffff};
    return pick(2) ? words[pick(sizeof words / sizeof words[0])] : static_cast<uint32_t>(random_word());
}

std::string random_bytes(size_t n)
{
    std::string out(n, '\0');
    for (char &c : out)
        c = static_cast<char>(random_word());
    return out;
}

// Ways to change the body of a well-framed reply.
void damage_body(std::string *bytes)
{
    size_t body = bytes->size() - kBodyStart;
    switch (pick(5)) {
    case 0:  // counts and lengths: words replaced by hostile values
        for (uint64_t k = 0, n = 1 + pick(4); k < n && body >= 4; ++k) {
            uint32_t word = htonl(hostile_word());
            std::memcpy(bytes->data() + kBodyStart + 4 * pick(body / 4), &word, 4);
        }
        break;
    case 1:  // cut short
        bytes->resize(kBodyStart + pick(body + 1));
        break;
    case 2:  // padded
        *bytes += random_bytes(1 + pick(64));
        break;
    case 3: {  // status 0 with garbage behind it
        bytes->resize(kBodyStart);
        *bytes += std::string(4, '\0') + random_bytes(pick(512));
        break;
    }
    default: {  // a long counted string or a big count pushed in somewhere
        uint32_t length = htonl(pick(2) ? 1024 + static_cast<uint32_t>(pick(4096)) : 33 + static_cast<uint32_t>(pick(200)));
        size_t at = kBodyStart + 4 * pick(body / 4 + 1);
        bytes->insert(at, std::string(reinterpret_cast<const char *>(&length), 4) + random_bytes(pick(2048) & ~3u));
        break;
    }
    }
    reframe(bytes);
}

void write_all(int fd, const char *data, size_t size)
{
    while (size > 0) {
        ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
            pollfd p{fd, POLLOUT, 0};
            poll(&p, 1, 1000);
            continue;
        }
        if (n <= 0)
            return;
        data += n;
        size -= static_cast<size_t>(n);
    }
}

void sleep_ms(unsigned ms)
{
    timespec t{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000};
    while (nanosleep(&t, &t) != 0) {
    }
}

}  // namespace

void chaos_send(SVCXPRT *xprt, xdrproc_t encode, void *reply)
{
    std::string bytes = encode_reply(xprt, encode, reply);
    if (bytes.size() < kBodyStart) {
        velmo::daemon::log("cannot encode a reply to damage");
        return;
    }
    int fd = xprt->xp_fd;
    uint64_t way = pick(100);
    if (way >= 30 && way < 75)
        damage_body(&bytes);
    if (way >= 75 && way < 85) {  // dribbled, a byte a segment
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        for (char &c : bytes)
            write_all(fd, &c, 1);
        return;
    }
    if (way == 85)  // a stall, well short of the call time-out
        sleep_ms(static_cast<unsigned>(100 + pick(400)));
    if (way >= 87) {  // the connection closed or reset part-way
        write_all(fd, bytes.data(), pick(bytes.size()));
        if (way < 94) {
            shutdown(fd, SHUT_RDWR);
        } else {
            sockaddr unspec{};
            unspec.sa_family = AF_UNSPEC;
            connect(fd, &unspec, sizeof unspec);
        }
        return;
    }
    write_all(fd, bytes.data(), bytes.size());
}

}  // namespace credmap_server
