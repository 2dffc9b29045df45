// Printing results as text or as JSON.
#ifndef TOOLS_CREDMAP_OUTPUT_H
#define TOOLS_CREDMAP_OUTPUT_H

#include <string>
#include <utility>
#include <vector>

#include "velmo/credmap.h"

namespace credmap_tool {

// A JSON value written as text: objects keep the order fields were added.
class Json {
public:
    static Json string(const std::string &s);
    static Json number(long long n);
    static Json boolean(bool b);
    static Json null();
    static Json object();
    static Json array();
    Json &add(const std::string &key, Json value);  // for objects
    Json &push(Json value);                         // for arrays
    std::string text() const
    {
        std::string out = text_;
        if (kind_ != 'v')
            out += kind_ == 'o' ? '}' : ']';
        return out;
    }

private:
    Json(char kind, std::string text) : kind_(kind), text_(std::move(text)) {}
    char kind_ = 'v';
    bool empty_ = true;
    std::string text_;
};

// Prints the document of a --json command and a newline; every command
// prints at most one.
void print_json(const Json &doc);
bool json_printed();
// Makes ready for the next command of a shell: no document printed yet,
// and every library message new again.
void reset_json();

// Routes the library's messages (vox_set_sink) so that each distinct warning,
// error or note is printed once: a failed mapping reports its contact
// failure for the process's own credentials and again for the set, and
// --repeat repeats both.  Traces and plain text pass unchanged.
void fold_library_messages();

std::string sid_text(const idkit_sid_t &sid);
Json stats_json(const credmap_cache_stats_t &s);
// The local name of a local SID ("" when it has none).
std::string local_name(const idkit_sid_t &sid, bool group);

}  // namespace credmap_tool

#endif
