// Private to libvelmohost: the hosts file of the location broker client,
// "NAME ADDRESS PORT" a line, '#' comments, names compared without regard
// to case.
#ifndef HOST_HOSTS_FILE_H
#define HOST_HOSTS_FILE_H

#include <string>
#include <string_view>

#include "net.h"

namespace velmo::hosts {

// What the hosts file says about one name.  The first well-formed line that
// names it decides (found, or bad when its port or address is unusable); a
// malformed line that names it is passed over, and reported as bad when no
// later line decides.
struct Finding {
    enum Kind { kNotNamed, kFound, kBad } kind = kNotNamed;
    unsigned line = 0;    // the line that decided or is wrong (from 1)
    std::string problem;  // for kBad: what is wrong with that line
};

Finding examine(std::string_view text, const char *host, velmo::net::Address *out);

// Finds `host` in the text of a hosts file: true with its address when the
// line that decides gives a good address and port (1 to 65535).
bool find_in_text(std::string_view text, const char *host, velmo::net::Address *out);

// Reads the whole file; false with errno's value in *error when it cannot.
bool read_file(const char *path, std::string *text, int *error);

}  // namespace velmo::hosts

#endif
