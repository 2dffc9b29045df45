// The commands of the credmap tool, over the library's exported interface.
#include "commands.h"

#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <set>

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

// Where a failed lookup of one key stands in the results.
Json failed_json(const std::string &key, core_status_t status)
{
    Json j = Json::object();
    j.add("query", Json::string(key)).add("status", Json::number(status));
    return j.add("message", Json::string(core_strerror(status)));
}

// The library's dump of the caches (to standard output), as lines.
std::vector<std::string> dump_lines()
{
    std::fflush(stdout);
    FILE *capture = std::tmpfile();
    if (capture == nullptr)
        return {};
    int saved = dup(STDOUT_FILENO);
    if (saved < 0 || dup2(fileno(capture), STDOUT_FILENO) < 0) {
        if (saved >= 0)
            close(saved);
        std::fclose(capture);
        return {};
    }
    credmap_dump_cache();
    std::fflush(stdout);
    dup2(saved, STDOUT_FILENO);
    close(saved);
    std::rewind(capture);
    std::vector<std::string> lines;
    char line[4096];
    while (std::fgets(line, sizeof line, capture) != nullptr)
        lines.emplace_back(line, std::strcspn(line, "\n"));
    std::fclose(capture);
    return lines;
}

// The last failure reported, for failure_json, and the explanations
// printed for the command so far (each once).
struct Failure {
    std::string what, reason, hint;
    core_status_t status = 0;
} last;
std::set<std::string> explained;

}  // namespace

void start_command()
{
    last = Failure{};
    explained.clear();
    reset_json();
}

int fail(const std::string &what, core_status_t status, const std::string &host)
{
    std::fprintf(stderr, "credmap: %s: %s (status %d)\n", what.c_str(), core_strerror(status), status);
    last = {what, core_strerror(status), host.empty() ? "" : explain_failure(host, status), status};
    if (!last.hint.empty() && explained.insert(last.hint).second)
        std::fprintf(stderr, "credmap: %s: %s\n", host.c_str(), last.hint.c_str());
    return 1;
}

int fail_because(const std::string &what, const std::string &reason, core_status_t status)
{
    std::fprintf(stderr, "credmap: %s: %s\n", what.c_str(), reason.c_str());
    last = {what, reason, "", status};
    return 1;
}

Json failure_json()
{
    // A failure that went unrecorded is still a failure.
    core_status_t status = last.status != 0 ? last.status : CORE_E_FAILURE;
    Json j = Json::object();
    j.add("error", Json::string(last.what)).add("status", Json::number(status));
    j.add("message", Json::string(last.reason.empty() ? core_strerror(status) : last.reason));
    if (!last.hint.empty())
        j.add("hint", Json::string(last.hint));
    return j;
}

int bad_usage(const std::string &text)
{
    std::fprintf(stderr, "credmap: %s (see credmap --help)\n", text.c_str());
    last = {"usage", text, "", CORE_E_BAD_ARGUMENT};
    return 2;
}

bool parse_id(const std::string &text, uint32_t *out)
{
    // strtoull alone would take blanks, a sign or a 0x prefix.
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
    if (v > 0xffffffffull)
        return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

int plain_args(const Context &c, size_t min, size_t max, const std::string &needs)
{
    std::string name = needs.substr(0, needs.find(' '));
    for (const auto &arg : c.args)
        if (arg.rfind("--", 0) == 0)
            return bad_usage("unknown option " + arg.substr(0, arg.find('=')) + " for " + name);
    if (c.args.size() < min)
        return bad_usage(needs);
    if (c.args.size() > max)
        return bad_usage("unexpected argument \"" + c.args[max] + "\" for " + name);
    return 0;
}

int cmd_classify(const Context &c)
{
    if (int usage = plain_args(c, 1, 1, "classify needs one HOST"))
        return usage;
    const std::string &host = c.args[0];
    bool local = hostq_is_localhost(host.c_str()) != 0;
    hubd_hostinfo_t info{};
    if (!local) {
        core_status_t status = hubd_hostinfo(host.c_str(), &info);
        if (status != 0)
            return fail("classify " + host, status, host);
    }
    // The library's rule: a host whose system's name begins with "Windows"
    // has its credentials mapped; every other host takes them as they are.
    bool windows = info.os_name != nullptr && std::strncmp(info.os_name, "Windows", 7) == 0;
    std::string os = info.os_name != nullptr ? info.os_name : "";
    if (c.json) {
        Json out = Json::object();
        out.add("host", Json::string(host)).add("status", Json::number(0));
        out.add("message", Json::string(core_strerror(0))).add("local", Json::boolean(local));
        out.add("os_name", os.empty() ? Json::null() : Json::string(os));
        out.add("nt", Json::boolean(windows)).add("mapped", Json::boolean(windows));
        print_json(out);
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

// The document of a look-up: the status of its last failure (0 when none)
// and one result per key.
Json lookup_json(const std::string &host, core_status_t status, const Json &results)
{
    Json out = Json::object();
    out.add("host", Json::string(host)).add("status", Json::number(status));
    return out.add("message", Json::string(core_strerror(status))).add("results", results);
}

int cmd_lookup(const std::string &which, const Context &c)
{
    if (int usage = plain_args(c, 2, SIZE_MAX, which + " needs a HOST and at least one key"))
        return usage;
    const std::string &host = c.args[0];
    bool numeric = which == "getpwuid" || which == "getgrgid";
    uint32_t id = 0;
    for (size_t i = 1; numeric && i < c.args.size(); ++i)
        if (!parse_id(c.args[i], &id))
            return bad_usage("not a numeric id (decimal digits, at most 4294967295): " + c.args[i]);
    credmap_handle_t *handle = nullptr;
    core_status_t status = credmap_get_handle(host.c_str(), &handle);
    Json results = Json::array();
    if (status != 0) {
        for (size_t i = 1; i < c.args.size(); ++i)
            results.push(failed_json(c.args[i], status));
        int failed = fail(which + " " + host, status, host);
        if (c.json)
            print_json(lookup_json(host, status, results).add("hint", Json::string(explain_failure(host, status))));
        return failed;
    }
    // Every key is looked up; the exit status is 1 when any failed.
    int exit_status = 0;
    core_status_t last_failure = 0;
    for (size_t i = 1; i < c.args.size(); ++i) {
        const std::string &key = c.args[i];
        if (numeric)
            parse_id(key, &id);
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
            last_failure = status;
            results.push(failed_json(key, status));
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
        print_json(lookup_json(host, last_failure, results));
    return exit_status;
}

// As JSON, each table of the dump with its entries as the dump words them.
// A dump of its own runs in a fresh process, whose caches are empty.
int cmd_dump(const Context &c)
{
    if (int usage = plain_args(c, 0, 0, "dump takes no arguments"))
        return usage;
    if (!c.in_shell)
        std::fputs("credmap: dump: a fresh process has empty caches; to see what mappings leave in them, run the\n"
                   "mappings and dump in one process: credmap shell (see credmap shell --help)\n",
                   stderr);
    if (!c.json) {
        credmap_dump_cache();
        return 0;
    }
    Json tables = Json::array(), entries = Json::array();
    std::string name;
    auto close_table = [&] {
        if (!name.empty())
            tables.push(Json::object().add("table", Json::string(name)).add("entries", entries));
    };
    for (const auto &line : dump_lines()) {
        if (line.empty() || line.rfind("---", 0) == 0)
            continue;
        if (line.rfind("    ", 0) != 0) {
            close_table();
            name = line;
            entries = Json::array();
        } else if (line != "    Empty") {
            entries.push(Json::string(line.substr(4)));
        }
    }
    close_table();
    Json out = Json::object();
    out.add("status", Json::number(0)).add("message", Json::string(core_strerror(0)));
    print_json(out.add("tables", tables));
    return 0;
}

int cmd_version(const Context &c)
{
    if (int usage = plain_args(c, 0, 0, "version takes no arguments"))
        return usage;
    char line[VOX_LINE_MAX];
    int n = libvelmocredmap_sprintf_verid(line);
    while (n > 0 && line[n - 1] == '\n')
        line[--n] = '\0';
    if (c.json)
        print_json(Json::object()
                       .add("status", Json::number(0))
                       .add("message", Json::string(core_strerror(0)))
                       .add("tool", Json::string("credmap"))
                       .add("version", Json::string(VELMO_TOOL_VERSION))
                       .add("library", Json::string(line)));
    else
        std::printf("credmap %s\n%s\n", VELMO_TOOL_VERSION, line);
    return 0;
}

}  // namespace credmap_tool
