// Private to libvelmohost: the hosts file of the location broker client,
// "NAME ADDRESS PORT" a line, '#' comments, names compared without regard
// to case.
#ifndef HOST_HOSTS_FILE_H
#define HOST_HOSTS_FILE_H

#include <string_view>

#include "net.h"

namespace velmo::hosts {

// Finds `host` in the text of a hosts file.  The first well-formed line that
// names it decides: true with its address when the address and the port
// (1 to 65535) are good, false otherwise.
bool find_in_text(std::string_view text, const char *host, velmo::net::Address *out);

}  // namespace velmo::hosts

#endif
