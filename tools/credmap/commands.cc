// The commands of the credmap tool, over the library's exported interface.
#include "commands.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "host/hostq.h"
#include "host/hubd.h"
#include "host/vox.h"
#include "output.h"
#include "velmo/credmap.h"

namespace credmap_tool {
namespace {

Json passwd_json(const std::string &key, const idkit_passwd_sid_t &pw)
{
    Json j = Json::object();
    j.add("query", Json::string(key));
    j.add("name", Json::string(pw.user.name ? pw.user.name : ""));
    j.add("sid", Json::string(sid_text(pw.user.sid)));
    j.add("uid", Json::number(static_cast<long long>(pw.user.id)));
    j.add("group", Json::string(pw.group.name ? pw.group.name : ""));
    j.add("group_sid", Json::string(sid_text(pw.group.sid)));
    j.add("gid", Json::number(static_cast<long long>(pw.group.id)));
    j.add("gecos", Json::string(pw.gecos ? pw.gecos : ""));
    j.add("home", Json::string(pw.home ? pw.home : ""));
    return j;
}

Json group_json(const std::string &key, const idkit_group_sid_t &gr)
{
    Json j = Json::object();
    j.add("query", Json::string(key));
    j.add("name", Json::string(gr.name ? gr.name : ""));
    j.add("sid", Json::string(sid_text(gr.sid)));
    j.add("gid", Json::number(static_cast<long long>(gr.id)));
    return j;
}

}  // namespace

int fail(const std::string &what, core_status_t status)
{
    std::fprintf(stderr, "credmap: %s: %s (status %d)\n", what.c_str(), core_strerror(status), status);
    return 1;
}

int bad_usage(const std::string &text)
{
    std::fprintf(stderr, "credmap: %s (see credmap --help)\n", text.c_str());
    return 2;
}

bool parse_id(const std::string &text, uint32_t *out)
{
    char *end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(text.c_str(), &end, 10);
    if (text.empty() || text[0] == '-' || errno != 0 || *end != '\0' || v > 0xffffffffull)
        return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

int cmd_classify(const Context &c)
{
    if (c.args.size() != 1)
        return bad_usage("classify needs one HOST");
    const std::string &host = c.args[0];
    bool local = hostq_is_localhost(host.c_str()) != 0;
    hubd_hostinfo_t info{};
    if (!local) {
        core_status_t status = hubd_hostinfo(host.c_str(), &info);
        if (status != 0)
            return fail("classify " + host, status);
    }
    // The library's rule: a host whose system's name begins with "Windows"
    // has its credentials mapped; every other host takes them as they are.
    bool windows = info.os_name != nullptr && std::strncmp(info.os_name, "Windows", 7) == 0;
    std::string os = info.os_name != nullptr ? info.os_name : "";
    if (c.json) {
        Json out = Json::object();
        out.add("host", Json::string(host)).add("local", Json::boolean(local));
        out.add("os_name", os.empty() ? Json::null() : Json::string(os));
        out.add("nt", Json::boolean(windows)).add("mapped", Json::boolean(windows));
        std::printf("%s\n", out.text().c_str());
    } else if (local) {
        std::printf("%s: the local host; credentials are taken as they are\n", host.c_str());
    } else {
        std::printf("%s: %s; %s\n", host.c_str(), os.empty() ? "no operating-system name" : os.c_str(),
                    windows ? "an NT host, credentials are mapped through its credmap_server"
                            : "in my credentials domain, credentials are taken as they are");
    }
    hubd_hostinfo_free(info);
    return 0;
}

int cmd_lookup(const std::string &which, const Context &c)
{
    if (c.args.size() < 2)
        return bad_usage(which + " needs a HOST and at least one key");
    credmap_handle_t *handle = nullptr;
    core_status_t status = credmap_get_handle(c.args[0].c_str(), &handle);
    if (status != 0)
        return fail(which + " " + c.args[0], status);
    Json results = Json::array();
    int exit_status = 0;
    for (size_t i = 1; i < c.args.size(); ++i) {
        const std::string &key = c.args[i];
        uint32_t id = 0;
        bool numeric = which == "getpwuid" || which == "getgrgid";
        if (numeric && !parse_id(key, &id)) {
            exit_status = bad_usage("not a numeric id: " + key);
            continue;
        }
        idkit_passwd_sid_t pw{};
        idkit_group_sid_t gr{};
        if (which == "getpwnam")
            status = credmap_svr_getpwnam(handle, key.c_str(), &pw);
        else if (which == "getpwuid")
            status = credmap_svr_getpwuid(handle, id, &pw);
        else if (which == "getgrnam")
            status = credmap_svr_getgrnam(handle, key.c_str(), &gr);
        else
            status = credmap_svr_getgrgid(handle, id, &gr);
        if (status != 0) {
            exit_status = fail(which + " " + key, status);
            continue;
        }
        bool user = which.rfind("getpw", 0) == 0;
        if (c.json)
            results.push(user ? passwd_json(key, pw) : group_json(key, gr));
        else if (user)
            std::printf("%s: %s %s uid=%llu group=%s gid=%llu gecos=\"%s\" home=%s\n", key.c_str(), pw.user.name,
                        sid_text(pw.user.sid).c_str(), static_cast<unsigned long long>(pw.user.id), pw.group.name,
                        static_cast<unsigned long long>(pw.group.id), pw.gecos, pw.home);
        else
            std::printf("%s: %s %s gid=%llu\n", key.c_str(), gr.name, sid_text(gr.sid).c_str(),
                        static_cast<unsigned long long>(gr.id));
    }
    credmap_free_handle(handle);
    if (c.json)
        std::printf("%s\n", results.text().c_str());
    return exit_status;
}

int cmd_dump(const Context &)
{
    credmap_dump_cache();
    return 0;
}

int cmd_version(const Context &)
{
    char line[VOX_LINE_MAX];
    libvelmocredmap_sprintf_verid(line);
    std::fputs(line, stdout);
    return 0;
}

}  // namespace credmap_tool
