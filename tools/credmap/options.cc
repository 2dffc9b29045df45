// Options of the credmap commands and the identities they name.
#include "options.h"

#include <pwd.h>

#include "commands.h"
#include "velmo/credmap.h"

namespace credmap_tool {

bool parse_options(const std::vector<std::string> &args, const std::set<std::string> &valued,
                   const std::set<std::string> &flags, Options *out, std::string *error)
{
    for (size_t i = 0; i < args.size(); ++i) {
        if (args[i].rfind("--", 0) != 0)
            return *error = "unexpected argument \"" + args[i] + "\"", false;
        // "--opt=value" is "--opt value".
        size_t eq = args[i].find('=');
        std::string opt = args[i].substr(0, eq);
        if (flags.count(opt) != 0) {
            if (eq != std::string::npos)
                return *error = opt + " takes no value", false;
            out->flags.insert(opt);
        } else if (valued.count(opt) == 0) {
            return *error = "unknown option " + opt, false;
        } else if (eq != std::string::npos) {
            out->values[opt] = args[i].substr(eq + 1);
        } else if (i + 1 >= args.size() || args[i + 1].rfind("--", 0) == 0) {
            // No value starts with "--": that is the next option.
            return *error = "missing value for " + opt, false;
        } else {
            out->values[opt] = args[++i];
        }
    }
    return true;
}

std::vector<std::string> split(const std::string &text)
{
    std::vector<std::string> items;
    for (size_t start = 0; start < text.size();) {
        size_t comma = text.find(',', start);
        if (comma == std::string::npos)
            comma = text.size();
        items.push_back(text.substr(start, comma - start));
        start = comma + 1;
    }
    if (!text.empty() && text.back() == ',')
        items.emplace_back();
    return items;
}

Set set_of(const idkit_sid_credentials_t &s)
{
    uint32_t n = s.ngroups < IDKIT_MAX_GROUPS ? s.ngroups : IDKIT_MAX_GROUPS;
    return {s.user, s.group, std::vector<idkit_sid_t>(s.groups, s.groups + n)};
}

Set set_of(const idkit_whole_credentials_t &s)
{
    size_t n = s.groups != nullptr && s.ngroups > 0 ? size_t(s.ngroups) : 0;
    return {s.user, s.group, std::vector<idkit_sid_t>(s.groups, s.groups + n)};
}

bool unix_identity(const Options &o, size_t max_groups, Set *set, std::string *error)
{
    auto uid = o.values.find("--uid");
    if (uid == o.values.end()) {
        if (o.values.count("--gid") != 0 || o.values.count("--groups") != 0)
            *error = "--uid is needed with --gid or --groups";
        return false;
    }
    uint32_t id;
    if (!parse_id(uid->second, &id))
        return *error = "bad --uid (a decimal id): " + uid->second, false;
    idkit_uid_to_sid(&set->user, id);
    auto gid = o.values.find("--gid");
    if (gid != o.values.end()) {
        if (!parse_id(gid->second, &id))
            return *error = "bad --gid (a decimal id): " + gid->second, false;
    } else {
        struct passwd *pw = getpwuid(idkit_sid_to_uid(&set->user));
        if (pw == nullptr)
            return *error = "no local account for uid " + uid->second + "; give --gid", false;
        id = pw->pw_gid;
    }
    idkit_gid_to_sid(&set->group, id);
    auto groups = o.values.find("--groups");
    for (const auto &item : groups == o.values.end() ? std::vector<std::string>{} : split(groups->second)) {
        if (!parse_id(item, &id) || set->groups.size() == max_groups)
            return *error = "bad --groups (at most " + std::to_string(max_groups) +
                            " decimal ids, comma-separated): " + groups->second,
                   false;
        set->groups.emplace_back();
        idkit_gid_to_sid(&set->groups.back(), id);
    }
    return true;
}

int fixed_set(const Options &o, idkit_sid_credentials_t *set)
{
    *set = idkit_sid_credentials_t{};
    Set given;
    std::string error;
    if (unix_identity(o, IDKIT_MAX_GROUPS, &given, &error)) {
        set->user = given.user;
        set->group = given.group;
        for (const auto &g : given.groups)
            set->groups[set->ngroups++] = g;
        return 0;
    }
    if (!error.empty())
        return bad_usage(error);
    core_status_t s = idkit_get_sid_credentials(set);
    return s == 0 ? 0 : fail("own credentials", s);
}

}  // namespace credmap_tool
