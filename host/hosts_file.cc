// The hosts file of the location broker client.
#include "hosts_file.h"

#include <strings.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <sstream>

namespace velmo::hosts {
namespace {

bool all_digits(const std::string &text)
{
    return !text.empty() && text.find_first_not_of("0123456789") == std::string::npos;
}

// What is wrong with the fields of a line that names the host, or "" when
// its port is a number (the line then decides).
std::string malformed(const std::string &address, const std::string &port)
{
    if (address.empty())
        return "it has no ADDRESS and PORT after the name";
    if (port.empty())
        return "it has no PORT after the address";
    if (!all_digits(port))
        return "its PORT \"" + port + "\" is not a number";
    return "";
}

}  // namespace

Finding examine(std::string_view text, const char *host, velmo::net::Address *out)
{
    std::istringstream lines{std::string(text)};
    std::string line;
    Finding first_malformed;
    for (unsigned number = 1; std::getline(lines, line); ++number) {
        std::istringstream fields(line.substr(0, line.find('#')));
        std::string name, address, port;
        fields >> name >> address >> port;
        if (name.empty() || strcasecmp(name.c_str(), host) != 0)
            continue;
        if (std::string problem = malformed(address, port); !problem.empty()) {
            if (first_malformed.kind == Finding::kNotNamed)
                first_malformed = {Finding::kBad, number, problem};
            continue;
        }
        errno = 0;
        unsigned long value = std::strtoul(port.c_str(), nullptr, 10);
        if (value == 0 || value > 65535 || errno == ERANGE)
            return {Finding::kBad, number, "its PORT " + port + " is out of range (1 to 65535)"};
        if (!velmo::net::parse_address(address, static_cast<unsigned>(value), out))
            return {Finding::kBad, number, "its ADDRESS \"" + address + "\" is not a numeric IPv4 or IPv6 address"};
        return {Finding::kFound, number, ""};
    }
    return first_malformed;
}

bool find_in_text(std::string_view text, const char *host, velmo::net::Address *out)
{
    return examine(text, host, out).kind == Finding::kFound;
}

bool read_file(const char *path, std::string *text, int *error)
{
    std::FILE *file = std::fopen(path, "r");
    if (file == nullptr)
        return *error = errno, false;
    char buffer[4096];
    size_t n;
    while ((n = std::fread(buffer, 1, sizeof buffer, file)) > 0)
        text->append(buffer, n);
    // A directory opens but does not read.
    bool ok = std::ferror(file) == 0;
    *error = ok ? 0 : errno;
    std::fclose(file);
    return ok;
}

}  // namespace velmo::hosts
