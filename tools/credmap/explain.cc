// What a failure for a host means on the road to its credmap_server, and
// what to try: the statuses alone say what failed, not where nor why.
#include "commands.h"
#include "host/hubd.h"

namespace credmap_tool {

std::string explain_failure(const std::string &host, core_status_t status)
{
    hubd_host_source_t source;
    bool found = hubd_explain_host(host.c_str(), &source) == 0;
    if (status == HUBD_E_HOST_UNKNOWN || !found)
        return found ? "" : source.text;
    std::string at = std::string(source.address) + ":" + std::to_string(source.port);
    std::string fix = source.line != 0 ? "line " + std::to_string(source.line) + " of the hosts file"
                                       : std::string("the address the resolver gives");
    switch (status) {
    case HUBD_E_UNREACHABLE:
        return "the location broker (hubd) of " + host + " at " + at + " does not answer (from " + source.text +
               "): start hubd on " + host + ", or correct " + fix;
    case HUBD_E_PROTOCOL:
        return "what answers at " + at + " is not a hubd this client understands: correct " + fix;
    case HUBD_E_NO_HOSTINFO:
        return "the hubd of " + host + " gives no host information (it runs with --no-hostinfo)";
    case HUBD_E_NOT_REGISTERED:
        return "the hubd of " + host + " has no credmap_server registered and no command to start one: start "
               "credmap_server there with --hubd-socket (its hubd's --socket), or give hubd --start credmap_server=COMMAND";
    case HUBD_E_START_TIMEOUT:
        return "the credmap_server the hubd of " + host + " started was not ready within the hubd's start "
               "time-out (hubd --start-timeout, 10 s by default): see the hubd's log on " + host;
    case HUBD_E_CONNECT_REFUSED:
        return "credmap_server of " + host + " refused the connection on the port its hubd gave: it may have "
               "stopped without unregistering; see the hubd's log on " + host;
    default:
        return "";
    }
}

}  // namespace credmap_tool
