// hosts: the hosts file named by VELMO_HOSTS, each host with the class the
// library gives it.
#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "commands.h"
#include "host/hostq.h"
#include "host/hubd.h"
#include "output.h"

namespace credmap_tool {
namespace {

struct Entry {
    std::string name, address;
    unsigned long port = 0;
};

// The lines the location broker client reads: "NAME ADDRESS PORT", '#'
// comments; the first line naming a host (any letter case) is the one used.
// A line that cannot be used is named on standard error (`credmap check
// HOST` says what the client makes of it).
std::vector<Entry> read_hosts(std::istream &in, const char *path)
{
    std::vector<Entry> out;
    unsigned number = 0;
    for (std::string line; std::getline(in, line);) {
        ++number;
        std::istringstream fields(line.substr(0, line.find('#')));
        Entry e;
        std::string port;
        if (!(fields >> e.name))
            continue;  // blank or a comment
        if (!(fields >> e.address >> port) ||
            port.find_first_not_of("0123456789") != std::string::npos || port.size() > 5 ||
            (e.port = std::stoul(port)) == 0 || e.port > 65535) {
            std::fprintf(stderr, "credmap: %s:%u: not usable, a line is NAME ADDRESS PORT (1 to 65535)\n", path,
                         number);
            continue;
        }
        bool seen = false;
        for (const auto &o : out)
            seen = seen || strcasecmp(o.name.c_str(), e.name.c_str()) == 0;
        if (!seen)
            out.push_back(e);
    }
    return out;
}

struct Class {
    const char *key;   // in JSON
    const char *text;  // for people
    std::string os_name;
    core_status_t status = 0;
};

// The library's rule (credmap_classify): the local host; else by the
// operating-system name its location broker reports, "Windows..." being an
// NT host.  A broker that does not answer leaves the host unclassified.
Class classify(const std::string &host)
{
    if (hostq_is_localhost(host.c_str()) != 0)
        return {"local", "local", "", 0};
    hubd_hostinfo_t info{};
    core_status_t status = hubd_hostinfo(host.c_str(), &info);
    if (status != 0)
        return {"unreachable", "unreachable", "", status};
    std::string os = info.os_name != nullptr ? info.os_name : "";
    hubd_hostinfo_free(info);
    if (os.rfind("Windows", 0) == 0)
        return {"nt", "Windows/NT", os, 0};
    return {"my_domain", "in my credentials domain", os, 0};
}

std::string detail(const Class &k)
{
    if (k.status != 0)
        return std::string(" (") + core_strerror(k.status) + ")";
    return k.os_name.empty() ? "" : " (" + k.os_name + ")";
}

}  // namespace

int cmd_hosts(const Context &c)
{
    if (int usage = plain_args(c, 0, 0, "hosts takes no arguments"))
        return usage;
    const char *path = std::getenv("VELMO_HOSTS");
    if (path == nullptr || *path == '\0')
        return fail_because("hosts", "VELMO_HOSTS names no hosts file", CORE_E_BAD_ARGUMENT);
    std::ifstream in(path);
    if (!in)
        return fail_because("hosts", std::string(path) + ": " + std::strerror(errno), CORE_E_SYSTEM);
    Json list = Json::array();
    if (!c.json)
        std::printf("%-28s %-15s %5s  %s\n", "HOST", "ADDRESS", "PORT", "CLASS");
    for (const auto &e : read_hosts(in, path)) {
        Class k = classify(e.name);
        if (!c.json) {
            std::printf("%-28s %-15s %5lu  %s%s\n", e.name.c_str(), e.address.c_str(), e.port, k.text,
                        detail(k).c_str());
            continue;
        }
        Json j = Json::object();
        j.add("name", Json::string(e.name)).add("address", Json::string(e.address));
        j.add("port", Json::number(static_cast<long long>(e.port))).add("class", Json::string(k.key));
        j.add("os_name", k.os_name.empty() ? Json::null() : Json::string(k.os_name));
        j.add("status", Json::number(k.status)).add("message", Json::string(core_strerror(k.status)));
        list.push(j);
    }
    if (c.json)
        print_json(Json::object()
                       .add("status", Json::number(0))
                       .add("message", Json::string(core_strerror(0)))
                       .add("hosts_file", Json::string(path))
                       .add("hosts", list));
    return 0;
}

}  // namespace credmap_tool
