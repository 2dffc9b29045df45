// The library's cache statistics, as text or JSON.
#include <cstdio>

#include "commands.h"
#include "output.h"
#include "velmo/credmap.h"

namespace credmap_tool {

Json stats_json(const credmap_cache_stats_t &s)
{
    Json tables = Json::array();
    for (const auto &t : s.tables) {
        Json j = Json::object();
        j.add("table", Json::string(t.name)).add("entries", Json::number(static_cast<long long>(t.entries)));
        j.add("bytes", Json::number(static_cast<long long>(t.bytes)));
        j.add("lookups", Json::number(static_cast<long long>(t.lookups)));
        j.add("hits", Json::number(static_cast<long long>(t.hits)));
        j.add("misses", Json::number(static_cast<long long>(t.misses)));
        j.add("expired", Json::number(static_cast<long long>(t.expired)));
        j.add("entered", Json::number(static_cast<long long>(t.entered)));
        tables.push(j);
    }
    Json failures = Json::array();
    for (const auto &f : s.failures)
        if (f.count != 0) {
            Json j = Json::object();
            j.add("status", Json::number(f.status)).add("count", Json::number(static_cast<long long>(f.count)));
            failures.push(j);
        }
    Json out = Json::object();
    out.add("tables", tables).add("exchanges", Json::number(static_cast<long long>(s.exchanges)));
    out.add("exchanges_failed", Json::number(static_cast<long long>(s.exchanges_failed)));
    out.add("failures", failures).add("wait_us", Json::number(static_cast<long long>(s.wait_ns / 1000)));
    out.add("ttl_seconds", Json::number(s.ttl_seconds));
    return out;
}

void print_stats_text(const credmap_cache_stats_t &s)
{
    std::printf("%-22s %8s %10s %9s %9s %9s %8s %8s\n", "cache", "entries", "bytes", "lookups", "hits", "misses",
                "expired", "entered");
    for (const auto &t : s.tables)
        std::printf("%-22s %8llu %10llu %9llu %9llu %9llu %8llu %8llu\n", t.name,
                    static_cast<unsigned long long>(t.entries), static_cast<unsigned long long>(t.bytes),
                    static_cast<unsigned long long>(t.lookups), static_cast<unsigned long long>(t.hits),
                    static_cast<unsigned long long>(t.misses), static_cast<unsigned long long>(t.expired),
                    static_cast<unsigned long long>(t.entered));
    std::printf("server exchanges: %llu, %llu failed, %.3f ms waiting", static_cast<unsigned long long>(s.exchanges),
                static_cast<unsigned long long>(s.exchanges_failed), static_cast<double>(s.wait_ns) / 1e6);
    for (const auto &f : s.failures)
        if (f.count != 0)
            std::printf("%s%llu x %s", &f == s.failures ? "; " : ", ", static_cast<unsigned long long>(f.count),
                        f.status == 0 ? "other statuses" : core_strerror(f.status));
    std::printf("\nentries expire after: %s\n",
                s.ttl_seconds == 0 ? "never" : (std::to_string(s.ttl_seconds) + " s").c_str());
}

bool read_stats(credmap_cache_stats_t *s)
{
    *s = credmap_cache_stats_t{};
    s->size = sizeof *s;
    return credmap_cache_stats(s) == 0;
}

int cmd_stats(const Context &c)
{
    if (int usage = plain_args(c, 0, 0, "stats takes no arguments"))
        return usage;
    if (!c.in_shell)
        std::fputs("credmap: stats: a fresh process has mapped nothing yet; run mappings and stats in one\n"
                   "process: credmap shell (see credmap shell --help)\n",
                   stderr);
    credmap_cache_stats_t s;
    if (!read_stats(&s))
        return fail("stats", CORE_E_FAILURE);
    if (c.json)
        print_json(stats_json(s).add("status", Json::number(0)).add("message", Json::string(core_strerror(0))));
    else
        print_stats_text(s);
    return 0;
}

}  // namespace credmap_tool
