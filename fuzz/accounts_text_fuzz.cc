// The account directory's text.  A directory that parses must let the
// server find every account it lists: by name, by its qualified name, by id
// and by SID.
#include <strings.h>

#include <string>
#include <string_view>

#include "accounts.h"
#include "fuzz_support.h"

namespace {

using namespace credmap_server;

template<typename Account>
void same_name(const Account *found, const Account &account, const char *what)
{
    fuzz::check(found != nullptr && strcasecmp(found->name.c_str(), account.name.c_str()) == 0, what);
}

void check_findable(const Directory &d)
{
    for (const User &u : d.users) {
        same_name(find_user(d, u.name.c_str()), u, "a user is found by name");
        same_name(find_user(d, qualified(d, u.name).c_str()), u, "a user is found by qualified name");
        fuzz::check(find_user_by_uid(d, u.uid) != nullptr, "a user is found by uid");
        fuzz::check(find_user_by_sid(d, u.sid) != nullptr, "a user is found by SID");
        fuzz::check(u.primary < d.groups.size(), "a user's primary group exists");
        for (size_t g : u.groups)
            fuzz::check(g < d.groups.size(), "a user's groups exist");
    }
    for (const Group &g : d.groups) {
        same_name(find_group(d, g.name.c_str()), g, "a group is found by name");
        same_name(find_group(d, qualified(d, g.name).c_str()), g, "a group is found by qualified name");
        fuzz::check(find_group_by_gid(d, g.gid) != nullptr, "a group is found by gid");
        fuzz::check(find_group_by_sid(d, g.sid) != nullptr, "a group is found by SID");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    Directory d;
    std::string error;
    if (parse_directory(std::string_view(reinterpret_cast<const char *>(data), size), "fuzz", &d, &error))
        check_findable(d);
    else
        fuzz::check(error.rfind("fuzz:", 0) == 0, "an error names the file");
    return 0;
}
