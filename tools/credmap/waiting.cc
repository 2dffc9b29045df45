// Says what a command waits for.  The library gives no sign of its
// progress, so the note looks at what this process is connected to (the
// kernel's table of TCP sockets, matched with this process's descriptors)
// and names each peer: the host's location broker at the address its name
// leads to, a server at another port of that address, or a bare address.
#include <arpa/inet.h>
#include <dirent.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <mutex>
#include <set>
#include <sstream>

#include "commands.h"
#include "host/hubd.h"

namespace credmap_tool {

struct WaitNotes::State {
    std::string host;
    hubd_host_source_t source{};
    bool at_once = false;
    std::mutex lock;
    std::condition_variable wake;
    bool stop = false;
};

namespace {

struct Peer {
    std::string address;
    unsigned port = 0;
    bool connecting = false;
};

// The inodes of this process's sockets.
std::set<unsigned long> own_sockets()
{
    std::set<unsigned long> inodes;
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        return inodes;
    while (dirent *e = readdir(dir)) {
        char target[64];
        std::string link = std::string("/proc/self/fd/") + e->d_name;
        ssize_t n = readlink(link.c_str(), target, sizeof target - 1);
        unsigned long inode;
        if (n > 0 && (target[n] = '\0', std::sscanf(target, "socket:[%lu]", &inode) == 1))
            inodes.insert(inode);
    }
    closedir(dir);
    return inodes;
}

// "0200007F:1F07" (IPv4) or 32 hex digits and a port (IPv6), as the
// kernel prints an address: 32-bit words in this machine's byte order.
bool parse_peer(const std::string &text, bool v6, Peer *out)
{
    size_t colon = text.find(':');
    size_t digits = v6 ? 32 : 8;
    if (colon != digits)
        return false;
    uint32_t words[4];
    for (size_t i = 0; i < digits / 8; ++i)
        words[i] = static_cast<uint32_t>(std::stoul(text.substr(i * 8, 8), nullptr, 16));
    char buffer[INET6_ADDRSTRLEN];
    if (inet_ntop(v6 ? AF_INET6 : AF_INET, words, buffer, sizeof buffer) == nullptr)
        return false;
    out->address = buffer;
    out->port = static_cast<unsigned>(std::stoul(text.substr(colon + 1), nullptr, 16));
    return true;
}

// The peers this process is connected or connecting to.
std::vector<Peer> peers()
{
    std::set<unsigned long> mine = own_sockets();
    std::vector<Peer> out;
    for (bool v6 : {false, true}) {
        std::ifstream table(v6 ? "/proc/self/net/tcp6" : "/proc/self/net/tcp");
        std::string line;
        std::getline(table, line);  // the heading
        while (std::getline(table, line)) {
            std::istringstream fields(line);
            std::string slot, local, remote, state, skip;
            unsigned long inode = 0;
            fields >> slot >> local >> remote >> state;
            for (int i = 0; i < 5; ++i)
                fields >> skip;
            fields >> inode;
            Peer p;
            // 01 established, 02 sending the connection request.
            if (mine.count(inode) != 0 && (state == "01" || state == "02") && parse_peer(remote, v6, &p)) {
                p.connecting = state == "02";
                out.push_back(p);
            }
        }
    }
    return out;
}

std::string describe(const WaitNotes::State &s, const Peer &p)
{
    std::string at = p.address + ":" + std::to_string(p.port) + (p.connecting ? " (connecting)" : "");
    bool host_address = s.source.found != 0 && p.address == s.source.address;
    if (host_address && p.port == s.source.port)
        return "the broker of " + s.host + " at " + at;
    if (host_address)
        return "credmap_server of " + s.host + " at " + at;
    return at;
}

std::string waiting_for(const WaitNotes::State &s)
{
    std::string what;
    for (const Peer &p : peers())
        what += (what.empty() ? "" : " and ") + describe(s, p);
    return what;
}

// Prints a note whenever what the command waits for changes: from the
// start with --verbose, else once it has taken two seconds.
void watch(std::shared_ptr<WaitNotes::State> s)
{
    auto start = std::chrono::steady_clock::now();
    auto period = std::chrono::milliseconds(s->at_once ? 20 : 250);
    std::string said;
    std::unique_lock<std::mutex> lock(s->lock);
    while (!s->wake.wait_for(lock, period, [&] { return s->stop; })) {
        auto spent = std::chrono::steady_clock::now() - start;
        if (!s->at_once && spent < std::chrono::seconds(2))
            continue;
        std::string what = waiting_for(*s);
        // Between two connections there is none for a moment: said only
        // when nothing else has been.
        if (what.empty() && said.empty() && spent > std::chrono::seconds(2))
            what = s->host.empty() ? "the operation" : s->host + " (no connection open yet)";
        if (what.empty() || what == said)
            continue;
        std::fprintf(stderr, "credmap: waiting for %s\n", what.c_str());
        said = what;
    }
}

}  // namespace

WaitNotes::WaitNotes(const std::string &host, bool at_once)
{
    if (!at_once && isatty(STDERR_FILENO) == 0)
        return;
    state_ = std::make_shared<State>();
    state_->host = host;
    state_->at_once = at_once;
    if (!host.empty())
        hubd_explain_host(host.c_str(), &state_->source);
    thread_ = std::thread(watch, state_);
}

WaitNotes::~WaitNotes()
{
    if (!thread_.joinable())
        return;
    {
        std::lock_guard<std::mutex> guard(state_->lock);
        state_->stop = true;
    }
    state_->wake.notify_one();
    thread_.join();
}

}  // namespace credmap_tool
