// The mapping commands: to-remote (fixed-size or whole credentials) and
// to-local, each repeatable in one process to show what the cache saves.
#include <chrono>
#include <cstdio>

#include "commands.h"
#include "host/rpk.h"
#include "options.h"
#include "output.h"
#include "velmo/credmap.h"

namespace credmap_tool {
namespace {

bool parse_sid(const Options &o, const std::string &opt, idkit_sid_t *out, std::string *error)
{
    auto it = o.values.find(opt);
    if (it == o.values.end())
        return *error = opt + " is needed", false;
    if (idkit_sid_from_str(it->second.c_str(), out) != 0)
        return *error = "not a SID (S-1-..., nobody or dontcare): " + it->second + " (" + opt + ")", false;
    return true;
}

// One mapping of a repeated command: its status, the RPC requests the
// process sent for it (to location brokers and servers) and its duration.
struct Run {
    core_status_t status;
    unsigned long requests;
    long long microseconds;
};

template<typename Map>
std::vector<Run> repeat(unsigned times, Map map)
{
    std::vector<Run> runs;
    for (unsigned i = 0; i < times; ++i) {
        unsigned long before = rpk_calls_made();
        auto start = std::chrono::steady_clock::now();
        core_status_t status = map();
        auto spent = std::chrono::steady_clock::now() - start;
        runs.push_back({status, rpk_calls_made() - before,
                        std::chrono::duration_cast<std::chrono::microseconds>(spent).count()});
    }
    return runs;
}

bool parse_repeat(const Options &o, unsigned *times, std::string *error)
{
    *times = 1;
    auto it = o.values.find("--repeat");
    uint32_t n;
    if (it == o.values.end())
        return true;
    if (!parse_id(it->second, &n) || n == 0 || n > 1000000)
        return *error = "bad --repeat (1 to 1000000): " + it->second, false;
    *times = n;
    return true;
}

struct Row {
    std::string label;
    idkit_sid_t local, remote;
    bool group;
};

// Rows of a mapped set; a part the answer does not hold shows as nobody.
std::vector<Row> rows(const Set &local, const Set &remote)
{
    std::vector<Row> out = {{"user", local.user, remote.user, false}, {"group", local.group, remote.group, true}};
    size_t n = std::max(local.groups.size(), remote.groups.size());
    for (size_t i = 0; i < n; ++i)
        out.push_back({"groups[" + std::to_string(i) + "]", i < local.groups.size() ? local.groups[i] : IDKIT_SID_NOBODY,
                       i < remote.groups.size() ? remote.groups[i] : IDKIT_SID_NOBODY, true});
    return out;
}

Json row_json(const Row &r)
{
    Json j = Json::object();
    j.add("local", Json::string(sid_text(r.local)));
    std::string name = local_name(r.local, r.group);
    j.add("local_name", name.empty() ? Json::null() : Json::string(name));
    j.add("remote", Json::string(sid_text(r.remote)));
    return j;
}

std::string local_text(const Row &r)
{
    std::string name = local_name(r.local, r.group);
    return sid_text(r.local) + (name.empty() ? "" : " (" + name + ")");
}

// Prints the last mapping's result, and with --repeat every run's figures.
// How a mapping command prints: per-run figures (--repeat), the direction,
// JSON, the cache statistics afterwards (--stats).
struct Show {
    bool runs = false;
    bool to_local = false;
    bool json = false;
    bool stats = false;
};

Show show_of(const Options &o, bool to_local, bool json)
{
    return {o.values.count("--repeat") != 0, to_local, json, o.flags.count("--stats") != 0};
}

int report(const std::string &command, const std::string &host, const Set &local, const Set &remote,
           const std::vector<Run> &runs, const Show &show)
{
    bool show_runs = show.runs, to_local = show.to_local, json = show.json;
    credmap_cache_stats_t stats;
    bool have_stats = show.stats && read_stats(&stats);
    core_status_t status = runs.back().status;
    for (const Run &r : runs)
        if (r.status != 0)
            status = r.status;
    auto all = rows(local, remote);
    if (json) {
        Json out = Json::object();
        out.add("host", Json::string(host)).add("status", Json::number(status));
        out.add("message", Json::string(core_strerror(status)));
        if (status != 0)
            out.add("hint", Json::string(explain_failure(host, status)));
        if (status == 0) {
            out.add("user", row_json(all[0])).add("group", row_json(all[1]));
            Json groups = Json::array();
            for (size_t i = 2; i < all.size(); ++i)
                groups.push(row_json(all[i]));
            out.add("groups", groups);
        }
        if (show_runs) {
            Json list = Json::array();
            for (const Run &r : runs) {
                Json run = Json::object();
                run.add("status", Json::number(r.status));
                run.add("requests", Json::number(static_cast<long long>(r.requests)));
                run.add("microseconds", Json::number(r.microseconds));
                list.push(run);
            }
            out.add("runs", list);
        }
        if (have_stats)
            out.add("stats", stats_json(stats));
        print_json(out);
    } else if (status == 0) {
        std::string remote_title = "remote (" + host + ")";
        const char *format = "%-11s %-44s %s\n";
        if (to_local)
            std::printf(format, "", remote_title.c_str(), "local");
        else
            std::printf(format, "", "local", remote_title.c_str());
        for (const Row &r : all) {
            std::string left = to_local ? sid_text(r.remote) : local_text(r);
            std::string right = to_local ? local_text(r) : sid_text(r.remote);
            std::printf(format, r.label.c_str(), left.c_str(), right.c_str());
        }
    }
    if (show_runs && !json)
        for (size_t i = 0; i < runs.size(); ++i)
            std::printf("mapping %zu: %lu requests, %lld us%s\n", i + 1, runs[i].requests, runs[i].microseconds,
                        runs[i].status == 0 ? "" : " (failed)");
    if (have_stats && !json) {
        std::printf("\n");
        print_stats_text(stats);
    }
    return status == 0 ? 0 : fail(command + " " + host, status, host);
}

int to_remote_whole(const std::string &host, const Options &o, unsigned times, bool json)
{
    Set given;
    std::string error;
    idkit_whole_credentials_t local{};
    if (unix_identity(o, IDKIT_WHOLE_MAX_GROUPS, &given, &error)) {
        local.user = given.user;
        local.group = given.group;
        local.ngroups = static_cast<int32_t>(given.groups.size());
        local.groups = given.groups.data();
    } else if (!error.empty()) {
        return bad_usage(error);
    } else if (core_status_t s = idkit_get_complete_whole_credentials(&local); s != 0) {
        return fail("own credentials", s);
    }
    idkit_whole_credentials_t remote{};
    auto runs = repeat(times, [&] {
        idkit_free_whole_credentials(&remote);
        return credmap_local_to_remote_whole(&local, host.c_str(), &remote);
    });
    int exit_status = report("to-remote", host, set_of(local), set_of(remote), runs, show_of(o, false, json));
    idkit_free_whole_credentials(&remote);
    if (local.groups != given.groups.data())
        idkit_free_whole_credentials(&local);
    return exit_status;
}

}  // namespace

int print_to_remote(const std::string &host, const idkit_sid_credentials_t &local, bool json)
{
    idkit_sid_credentials_t remote{};
    auto runs = repeat(1, [&] { return credmap_local_to_remote_sid(&local, host.c_str(), &remote); });
    return report("to-remote", host, set_of(local), set_of(remote), runs, Show{false, false, json, false});
}

int print_to_local(const std::string &host, const idkit_sid_credentials_t &remote, bool json)
{
    idkit_sid_credentials_t local{};
    auto runs = repeat(1, [&] { return credmap_remote_to_local_sid(&remote, host.c_str(), &local); });
    return report("to-local", host, set_of(local), set_of(remote), runs, Show{false, true, json, false});
}

int cmd_to_remote(const Context &c)
{
    if (c.args.empty() || c.args[0].rfind("--", 0) == 0)
        return bad_usage("to-remote needs a HOST");
    Options o;
    std::string error;
    unsigned times;
    if (!parse_options({c.args.begin() + 1, c.args.end()}, {"--uid", "--gid", "--groups", "--repeat"}, {"--whole", "--stats"},
                       &o, &error) ||
        !parse_repeat(o, &times, &error))
        return bad_usage(error);
    const std::string &host = c.args[0];
    if (o.flags.count("--whole") != 0)
        return to_remote_whole(host, o, times, c.json);
    idkit_sid_credentials_t local;
    if (int status = fixed_set(o, &local))
        return status;
    idkit_sid_credentials_t remote{};
    auto runs = repeat(times, [&] { return credmap_local_to_remote_sid(&local, host.c_str(), &remote); });
    return report("to-remote", host, set_of(local), set_of(remote), runs, show_of(o, false, c.json));
}

int cmd_to_local(const Context &c)
{
    if (c.args.empty() || c.args[0].rfind("--", 0) == 0)
        return bad_usage("to-local needs a HOST");
    Options o;
    std::string error;
    unsigned times;
    idkit_sid_credentials_t remote{};
    if (!parse_options({c.args.begin() + 1, c.args.end()}, {"--user", "--group", "--groups", "--repeat"}, {"--stats"}, &o,
                       &error) ||
        !parse_repeat(o, &times, &error) || !parse_sid(o, "--user", &remote.user, &error) ||
        !parse_sid(o, "--group", &remote.group, &error))
        return bad_usage(error);
    auto groups = o.values.find("--groups");
    for (const auto &item : groups == o.values.end() ? std::vector<std::string>{} : split(groups->second)) {
        if (remote.ngroups == IDKIT_MAX_GROUPS)
            return bad_usage("too many --groups (at most 32)");
        if (idkit_sid_from_str(item.c_str(), &remote.groups[remote.ngroups++]) != 0)
            return bad_usage("not a SID (S-1-..., nobody or dontcare): " + item + " (--groups)");
    }
    const std::string &host = c.args[0];
    idkit_sid_credentials_t local{};
    auto runs = repeat(times, [&] { return credmap_remote_to_local_sid(&remote, host.c_str(), &local); });
    return report("to-local", host, set_of(local), set_of(remote), runs, show_of(o, true, c.json));
}

}  // namespace credmap_tool
