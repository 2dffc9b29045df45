// A private view of this machine's accounts, in a mount namespace.
#include "local_accounts.h"

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace credmap_tool {
namespace {

bool extend(const std::string &system_file, const std::string &copy, const std::string &lines, std::string *error)
{
    std::ifstream in(system_file);
    std::ostringstream text;
    text << in.rdbuf();
    std::ofstream out(copy);
    out << text.str() << lines;
    out.close();
    if (!in || !out)
        return *error = "cannot copy " + system_file + " to " + copy, false;
    if (mount(copy.c_str(), system_file.c_str(), nullptr, MS_BIND, nullptr) != 0)
        return *error = "cannot mount " + copy + " over " + system_file + ": " + std::strerror(errno), false;
    return true;
}

}  // namespace

bool add_local_accounts(const std::string &passwd_lines, const std::string &group_lines, std::string *error)
{
    // The namespace's mounts must not travel back to the machine's.
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0)
        return *error = std::string("cannot make a private mount namespace (root is needed): ") +
                        std::strerror(errno),
               false;
    char dir[] = "/tmp/velmo-accounts-XXXXXX";
    if (mkdtemp(dir) == nullptr)
        return *error = std::string("cannot make a folder in /tmp: ") + std::strerror(errno), false;
    std::string passwd = std::string(dir) + "/passwd", group = std::string(dir) + "/group";
    bool ok = extend("/etc/passwd", passwd, passwd_lines, error) && extend("/etc/group", group, group_lines, error);
    // The mounts keep the copies alive; nothing is left behind.
    unlink(passwd.c_str());
    unlink(group.c_str());
    rmdir(dir);
    return ok;
}

void quincy_accounts(std::string *passwd_lines, std::string *group_lines)
{
    *passwd_lines += "quincy:x:40000:100:Quincy Jones:/home/quincy:/bin/sh\n";
    for (int i = 1; i <= 500; ++i) {
        char line[64];
        std::snprintf(line, sizeof line, "team%03d:x:%d:quincy\n", i, 40000 + i);
        *group_lines += line;
    }
    *group_lines += "engineering:x:40600:quincy\n";
}

}  // namespace credmap_tool
