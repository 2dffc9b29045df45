// Local-host test.  Only names are compared: the name asked about is never
// resolved, so that a simulated host on a loopback address of its own, and a
// name that no resolver knows, are simply not this machine.
#include "host/hostq.h"

#include <netdb.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string_view>

namespace {

// This machine's names: the short name, the host name as the system has it,
// and the canonical name the resolver gives for it (empty when none).
struct MachineNames {
    char short_name[256];
    char host_name[256];
    char canonical_name[NI_MAXHOST];
};

void copy_name(char *destination, size_t size, std::string_view source)
{
    size_t length = source.size() < size ? source.size() : size - 1;
    std::memcpy(destination, source.data(), length);
    destination[length] = '\0';
}

MachineNames load_machine_names()
{
    MachineNames names{};
    if (gethostname(names.host_name, sizeof names.host_name) != 0)
        names.host_name[0] = '\0';
    names.host_name[sizeof names.host_name - 1] = '\0';
    std::string_view host(names.host_name);
    copy_name(names.short_name, sizeof names.short_name, host.substr(0, host.find('.')));

    struct addrinfo hints {};
    hints.ai_family = AF_UNSPEC;
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_CANONNAME;
    struct addrinfo *found = nullptr;
    if (names.host_name[0] != '\0' && getaddrinfo(names.host_name, nullptr, &hints, &found) == 0) {
        if (found != nullptr && found->ai_canonname != nullptr)
            copy_name(names.canonical_name, sizeof names.canonical_name, found->ai_canonname);
        freeaddrinfo(found);
    }
    return names;
}

// Looked up once per process; the initialisation of a function-local static
// is thread-safe.
const MachineNames &machine_names()
{
    static const MachineNames names = load_machine_names();
    return names;
}

char ascii_lower(char c)
{
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// Host names compare without regard to letter case, and a name written as
// absolute (one trailing dot) is the same name.
bool same_name(std::string_view name, std::string_view other)
{
    if (name.size() > 1 && name.back() == '.')
        name.remove_suffix(1);
    if (other.size() > 1 && other.back() == '.')
        other.remove_suffix(1);
    if (name.empty() || name.size() != other.size())
        return false;
    for (size_t i = 0; i < name.size(); ++i) {
        if (ascii_lower(name[i]) != ascii_lower(other[i]))
            return false;
    }
    return true;
}

constexpr const char *loopback_names[] = {"localhost", "localhost.localdomain", "127.0.0.1", "::1"};

}  // namespace

extern "C" {

VELMO_API int hostq_is_localhost(const char *name)
{
    if (name == nullptr || name[0] == '\0')
        return 0;
    for (const char *loopback : loopback_names) {
        if (same_name(name, loopback))
            return 1;
    }
    const MachineNames &names = machine_names();
    return same_name(name, names.short_name) || same_name(name, names.host_name) ||
           same_name(name, names.canonical_name);
}
}
