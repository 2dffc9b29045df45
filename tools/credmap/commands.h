// The commands of the credmap tool.
#ifndef TOOLS_CREDMAP_COMMANDS_H
#define TOOLS_CREDMAP_COMMANDS_H

#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "velmo/credmap.h"

namespace credmap_tool {

struct Context {
    bool json = false;
    bool verbose = false;
    bool in_shell = false;           // run by the shell command
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
int cmd_check(const Context &c);
int cmd_shell(const Context &c);

// Runs one command line (the words after "credmap"): the global options,
// the command and its arguments; returns its exit status (main.cc).
int run_words(const std::vector<std::string> &words, bool in_shell);
// Forgets the previous command's document and failure (for the shell).
void start_command();
// Ends main: at once when a step of check was given up while the library
// still works on it (its thread cannot be joined), else by returning.
int end_process(int status);

// Maps the set for the host and prints it (shared with the demo).
int print_to_remote(const std::string &host, const idkit_sid_credentials_t &local, bool json);
// Maps SIDs the host gave to local ones and prints them.
int print_to_local(const std::string &host, const idkit_sid_credentials_t &remote, bool json);

// The library's cache statistics of this process (stats.cc).
bool read_stats(credmap_cache_stats_t *s);
void print_stats_text(const credmap_cache_stats_t &s);

// Shared by the commands: a failed operation (exit status 1), bad usage
// (exit status 2), a decimal id.  A failure for a host is followed by what
// it means there and what to try (explain_failure), once per cause.
int fail(const std::string &what, core_status_t status, const std::string &host = "");
// A failure whose reason is not a status text (the status goes to JSON).
int fail_because(const std::string &what, const std::string &reason, core_status_t status);
// The last failure fail() reported, as a JSON document: {"error", "status",
// "message"}, for a command that fails before it has a document of its own.
class Json;
Json failure_json();
int bad_usage(const std::string &text);
// Decimal digits only, at most 4294967295.
bool parse_id(const std::string &text, uint32_t *out);
// For a command that takes only plain arguments, between min and max of
// them: 0, or the exit status of bad usage (an option, too few, too many).
int plain_args(const Context &c, size_t min, size_t max, const std::string &needs);

// What a failure with `status` means for `host` and what to try, in one
// sentence; "" when there is nothing to add to the status text (explain.cc).
std::string explain_failure(const std::string &host, core_status_t status);

// While it lives, says on standard error what the command waits for: after
// two seconds when standard error is a terminal, at once when `at_once`
// (--verbose), never otherwise (waiting.cc).
class WaitNotes {
public:
    WaitNotes(const std::string &host, bool at_once);
    ~WaitNotes();
    WaitNotes(const WaitNotes &) = delete;
    WaitNotes &operator=(const WaitNotes &) = delete;
    struct State;

private:
    std::shared_ptr<State> state_;
    std::thread thread_;
};

}  // namespace credmap_tool

#endif
