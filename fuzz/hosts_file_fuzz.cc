// The hosts file of the location broker client, after the name sought on the first line.  An address found has a
// usable port, and its text reads back as the same address.
#include <string>

#include "fuzz_support.h"
#include "hosts_file.h"
#include "net.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    std::string_view input(reinterpret_cast<const char *>(data), size);
    size_t end = std::min(input.find('\n'), size);
    std::string host(input.substr(0, end));
    velmo::net::Address found, again;
    if (!velmo::hosts::find_in_text(input.substr(std::min(end + 1, size)), host.c_str(), &found))
        return 0;
    unsigned port = velmo::net::address_port(found);
    fuzz::check(port > 0 && port < 65536, "the port is usable");
    std::string address = velmo::net::address_text(found);
    fuzz::check(velmo::net::parse_address(address, port, &again), "the address text reads back");
    fuzz::check(velmo::net::address_text(again) == address && velmo::net::address_port(again) == port,
                "the address reads back the same");
    return 0;
}
