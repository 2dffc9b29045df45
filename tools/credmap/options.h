// Options of the credmap commands and the identities they name.
#ifndef TOOLS_CREDMAP_OPTIONS_H
#define TOOLS_CREDMAP_OPTIONS_H

#include <map>
#include <set>
#include <string>
#include <vector>

#include "host/idkit.h"

namespace credmap_tool {

// The options after HOST: "--name VALUE" pairs and bare flags.
struct Options {
    std::map<std::string, std::string> values;
    std::set<std::string> flags;
};

bool parse_options(const std::vector<std::string> &args, const std::set<std::string> &valued,
                   const std::set<std::string> &flags, Options *out, std::string *error);

// Splits "a,b,c" (an empty text gives no item).
std::vector<std::string> split(const std::string &text);

// The parts of a SID set, whichever record holds it.
struct Set {
    idkit_sid_t user{}, group{};
    std::vector<idkit_sid_t> groups;
};

Set set_of(const idkit_sid_credentials_t &s);
Set set_of(const idkit_whole_credentials_t &s);

// A UNIX identity from --uid, --gid and --groups (at most max_groups);
// false when none is given (the process's own is meant; *error empty) or
// when the options are wrong (*error says why).
bool unix_identity(const Options &o, size_t max_groups, Set *set, std::string *error);

// The fixed-size set of --uid, --gid and --groups, or this process's own:
// 0, 1 when the own credentials cannot be read, 2 for bad options (the
// message printed either way).
int fixed_set(const Options &o, idkit_sid_credentials_t *set);

}  // namespace credmap_tool

#endif
