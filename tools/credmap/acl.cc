// acl and rolemap: an access list or role map in its text form, converted
// for a host in either direction and printed in the same form.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iostream>
#include <sstream>

#include "commands.h"
#include "options.h"
#include "output.h"
#include "velmo/credmap.h"

namespace credmap_tool {
namespace {

struct Request {
    std::string host, file;
    bool to_remote = false;
    int mode = CREDMAP_CONVERT_STRICT;
};

bool parse_request(const std::string &command, const Context &c, Request *r, std::string *error)
{
    if (c.args.size() < 2 || c.args[0].rfind("--", 0) == 0)
        return *error = command + " needs a HOST and a FILE (or - for standard input)", false;
    r->host = c.args[0];
    r->file = c.args.back();
    Options o;
    if (!parse_options({c.args.begin() + 1, c.args.end() - 1}, {"--mode"}, {"--to-remote", "--to-local"}, &o, error))
        return false;
    if (o.flags.size() != 1)
        return *error = command + " needs one of --to-remote and --to-local", false;
    r->to_remote = o.flags.count("--to-remote") != 0;
    auto mode = o.values.find("--mode");
    const char *modes[] = {"strict", "drop", "keep"};
    if (mode != o.values.end()) {
        r->mode = -1;
        for (int i = 0; i < 3; ++i)
            if (mode->second == modes[i])
                r->mode = i;
        if (r->mode < 0)
            return *error = "bad --mode (strict, drop or keep): " + mode->second, false;
        if (r->to_remote && r->mode != CREDMAP_CONVERT_STRICT)
            return *error = "the conversion to the remote host is always strict; --mode is for --to-local", false;
    }
    return true;
}

bool read_text(const std::string &file, std::string *text, std::string *error)
{
    std::ostringstream buffer;
    if (file == "-") {
        buffer << std::cin.rdbuf();
    } else {
        std::ifstream in(file);
        if (!in)
            return *error = file + ": " + std::strerror(errno), false;
        buffer << in.rdbuf();
    }
    *text = buffer.str();
    return true;
}

Json entry_json(const core_sid_acl_entry_t &e)
{
    char line[IDKIT_SID_TEXT_MAX + 64];
    Json j = Json::object();
    j.add("kind", Json::number(e.kind)).add("sid", Json::string(sid_text(e.sid)));
    j.add("rights", Json::number(e.rights)).add("flags", Json::number(e.flags));
    j.add("text", Json::string(core_sid_acl_entry_to_text(&e, line, sizeof line)));
    return j;
}

// Prints what was not converted: entries missing from the result, or (kept)
// user and group entries whose SID did not change.
void report_unconverted(const std::string &command, const std::vector<core_sid_acl_entry_t> &before,
                        const std::vector<core_sid_acl_entry_t> &after)
{
    char line[IDKIT_SID_TEXT_MAX + 64];
    size_t j = 0;
    for (const auto &e : before) {
        bool mapped = e.kind == CORE_ACL_USER || e.kind == CORE_ACL_GROUP;
        bool same_place = j < after.size() && after[j].kind == e.kind && after[j].rights == e.rights;
        if (mapped && !(same_place && !idkit_sid_eq(&after[j].sid, &e.sid)))
            std::fprintf(stderr, "credmap: %s: not converted: %s\n", command.c_str(),
                         core_sid_acl_entry_to_text(&e, line, sizeof line));
        j += same_place;
    }
}

std::vector<core_sid_acl_entry_t> entries_of(core_sid_acl_t acl)
{
    std::vector<core_sid_acl_entry_t> out;
    uint64_t cursor = 0;
    while (const core_sid_acl_entry_t *e = core_sid_acl_next_entry(acl, &cursor, nullptr))
        out.push_back(*e);
    return out;
}

std::vector<core_sid_acl_entry_t> entries_of(const core_rolemap_binding_t &b)
{
    return std::vector<core_sid_acl_entry_t>(b.entries, b.entries + b.nentries);
}

int finish(const std::string &command, const Request &r, core_status_t status, bool json, const Json &body,
           const char *text)
{
    if (json) {
        Json out = Json::object();
        out.add("host", Json::string(r.host)).add("status", Json::number(status));
        out.add("message", Json::string(core_strerror(status)));
        out.add(command == "acl" ? "entries" : "roles", body);
        print_json(out);
    } else if (text != nullptr) {
        std::fputs(text, stdout);
    }
    if (status == CORE_OK)
        return 0;
    fail(command + " " + r.host, status, r.host);
    return 1;
}

}  // namespace

int cmd_acl(const Context &c)
{
    Request r;
    std::string error, text;
    if (!parse_request("acl", c, &r, &error) || !read_text(r.file, &text, &error))
        return bad_usage(error);
    core_text_error_t where{};
    core_sid_acl_t in = nullptr, out = nullptr;
    if (core_status_t s = core_sid_acl_from_text(text.c_str(), &in, &where); s != CORE_OK)
        return s == CORE_E_BAD_ARGUMENT ? bad_usage(r.file + ":" + std::to_string(where.line) + ":" +
                                                    std::to_string(where.column) + ": " + where.message)
                                        : fail("acl " + r.file, s);
    core_status_t status = r.to_remote ? credmap_sid_acl_local_to_remote(r.host.c_str(), in, &out)
                                       : credmap_sid_acl_remote_to_local(r.host.c_str(), r.mode, in, &out);
    Json body = Json::array();
    for (const auto &e : entries_of(out))
        body.push(entry_json(e));
    if (status == CORE_E_INCOMPLETE)
        report_unconverted("acl " + r.host, entries_of(in), entries_of(out));
    char *printed = out != nullptr ? core_sid_acl_to_text(out) : nullptr;
    int exit_status = finish("acl", r, status, c.json, body, printed);
    std::free(printed);
    core_sid_acl_free(in);
    core_sid_acl_free(out);
    return exit_status;
}

int cmd_rolemap(const Context &c)
{
    Request r;
    std::string error, text;
    if (!parse_request("rolemap", c, &r, &error) || !read_text(r.file, &text, &error))
        return bad_usage(error);
    core_text_error_t where{};
    core_rolemap_acl_t in = nullptr, out = nullptr;
    if (core_status_t s = core_rolemap_acl_from_text(text.c_str(), &in, &where); s != CORE_OK)
        return s == CORE_E_BAD_ARGUMENT ? bad_usage(r.file + ":" + std::to_string(where.line) + ":" +
                                                    std::to_string(where.column) + ": " + where.message)
                                        : fail("rolemap " + r.file, s);
    core_status_t status = r.to_remote ? credmap_rolemap_local_to_remote(r.host.c_str(), in, &out)
                                       : credmap_rolemap_remote_to_local(r.host.c_str(), r.mode, in, &out);
    Json body = Json::array();
    uint64_t cursor = 0;
    while (const core_rolemap_binding_t *b = core_rolemap_acl_next_role_binding(out, &cursor)) {
        Json entries = Json::array();
        for (const auto &e : entries_of(*b))
            entries.push(entry_json(e));
        Json role = Json::object();
        role.add("role", Json::string(b->role)).add("entries", entries);
        body.push(role);
    }
    char *printed = out != nullptr ? core_rolemap_acl_to_text(out) : nullptr;
    int exit_status = finish("rolemap", r, status, c.json, body, printed);
    std::free(printed);
    core_rolemap_acl_free(in);
    core_rolemap_acl_free(out);
    return exit_status;
}

}  // namespace credmap_tool
