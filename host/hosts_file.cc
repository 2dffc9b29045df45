// The hosts file of the location broker client.
#include "hosts_file.h"

#include <strings.h>

#include <sstream>
#include <string>

namespace velmo::hosts {

bool find_in_text(std::string_view text, const char *host, velmo::net::Address *out)
{
    std::istringstream lines{std::string(text)};
    std::string line;
    while (std::getline(lines, line)) {
        line = line.substr(0, line.find('#'));
        std::istringstream fields(line);
        std::string name, address;
        unsigned port = 0;
        if (!(fields >> name >> address >> port) || strcasecmp(name.c_str(), host) != 0)
            continue;
        return port > 0 && port < 65536 && velmo::net::parse_address(address, port, out);
    }
    return false;
}

}  // namespace velmo::hosts
