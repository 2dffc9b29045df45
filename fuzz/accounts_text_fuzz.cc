// The account directory's text.  A directory that parses lets the server find
// every account it lists: by name, by qualified name, by id and by SID.
#include <strings.h>

#include "accounts.h"
#include "fuzz_support.h"

using namespace credmap_server;

template<typename Account>
static void named(const Account *found, const std::string &name, const char *what)
{
    fuzz::check(found != nullptr && strcasecmp(found->name.c_str(), name.c_str()) == 0, what);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Directory d;
    std::string error;
    if (!parse_directory(std::string_view(reinterpret_cast<const char *>(data), size), "fuzz", &d, &error)) {
        fuzz::check(error.rfind("fuzz:", 0) == 0, "an error names the file");
        return 0;
    }
    for (const User &u : d.users) {
        named(find_user(d, u.name.c_str()), u.name, "a user is found by name");
        named(find_user(d, qualified(d, u.name).c_str()), u.name, "a user is found by qualified name");
        fuzz::check(find_user_by_uid(d, u.uid) && find_user_by_sid(d, u.sid), "a user is found by uid and by SID");
        fuzz::check(u.primary < d.groups.size(), "a user's primary group exists");
        for (size_t g : u.groups)
            fuzz::check(g < d.groups.size(), "a user's groups exist");
    }
    for (const Group &g : d.groups) {
        named(find_group(d, g.name.c_str()), g.name, "a group is found by name");
        named(find_group(d, qualified(d, g.name).c_str()), g.name, "a group is found by qualified name");
        fuzz::check(find_group_by_gid(d, g.gid) && find_group_by_sid(d, g.sid), "a group is found by gid and by SID");
    }
    return 0;
}
