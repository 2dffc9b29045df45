// The hosts file of the location broker client.  Input: the name sought on
// the first line, the file after it.  An address found has a usable port,
// and its text reads back as the same address.
#include <string>

#include "fuzz_support.h"
#include "hosts_file.h"
#include "net.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in{data, size};
    std::string host = fuzz::take_line(&in);
    velmo::net::Address found;
    std::string_view text(reinterpret_cast<const char *>(in.data), in.size);
    if (!velmo::hosts::find_in_text(text, host.c_str(), &found))
        return 0;
    unsigned port = velmo::net::address_port(found);
    fuzz::check(port > 0 && port < 65536, "the port is usable");
    std::string address = velmo::net::address_text(found);
    velmo::net::Address again;
    fuzz::check(velmo::net::parse_address(address, port, &again), "the address text reads back");
    fuzz::check(velmo::net::address_text(again) == address && velmo::net::address_port(again) == port,
                "the address reads back the same");
    return 0;
}
