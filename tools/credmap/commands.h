// The commands of the credmap tool.
#ifndef TOOLS_CREDMAP_COMMANDS_H
#define TOOLS_CREDMAP_COMMANDS_H

#include <string>
#include <vector>

#include "velmo/credmap.h"

namespace credmap_tool {

struct Context {
    bool json = false;
    std::vector<std::string> args;  // after the command name
};

// Each returns the process's exit status: 0 on success, 1 when the library
// answered with a failure (its text on standard error), 2 for bad usage.
int cmd_classify(const Context &c);
int cmd_to_remote(const Context &c);
int cmd_to_local(const Context &c);
int cmd_to_posix(const Context &c);
int cmd_auth(const Context &c);
int cmd_acl(const Context &c);
int cmd_rolemap(const Context &c);
int cmd_stats(const Context &c);
int cmd_lookup(const std::string &which, const Context &c);
int cmd_dump(const Context &c);
int cmd_version(const Context &c);
int cmd_hosts(const Context &c);
int cmd_demo(const Context &c);

// Maps the set for the host and prints it (shared with the demo).
int print_to_remote(const std::string &host, const idkit_sid_credentials_t &local, bool json);
// Maps SIDs the host gave to local ones and prints them.
int print_to_local(const std::string &host, const idkit_sid_credentials_t &remote, bool json);

// The library's cache statistics of this process (stats.cc).
bool read_stats(credmap_cache_stats_t *s);
void print_stats_text(const credmap_cache_stats_t &s);

// Shared by the commands: a failed operation (exit status 1), bad usage
// (exit status 2), a decimal id.
int fail(const std::string &what, core_status_t status);
// A failure whose reason is not a status text (the status goes to JSON).
int fail_because(const std::string &what, const std::string &reason, core_status_t status);
// The last failure fail() reported, as a JSON document: {"error", "status",
// "message"}, for a command that fails before it has a document of its own.
class Json;
Json failure_json();
int bad_usage(const std::string &text);
bool parse_id(const std::string &text, uint32_t *out);

}  // namespace credmap_tool

#endif
