// Printing results as text or as JSON.
#include "output.h"

#include <cstdio>
#include <mutex>
#include <set>

#include "host/vox.h"

namespace credmap_tool {
namespace {

bool printed = false;

// The lines the folding sink has printed, and the lock its callers share
// (the library may print from any thread).
std::mutex fold_lock;
std::set<std::string> fold_seen;

const char *severity_word(int severity)
{
    switch (severity) {
    case VOX_WARNING:
        return "warning";
    case VOX_ERROR:
        return "error";
    case VOX_WARNING_NOTE:
    case VOX_ERROR_NOTE:
        return "note";
    case VOX_TRACE:
        return "trace";
    default:
        return "info";
    }
}

// Writes the line as the message service would ("facility: severity:
// text"), unless it is a warning, error or note already printed.
void fold_sink(int severity, const char *facility, const char *text, void *)
{
    std::string line = text;
    if (line.empty() || line.back() != '\n')
        line += '\n';
    if (severity != VOX_PLAIN)
        line = std::string(facility) + ": " + severity_word(severity) + ": " + line;
    bool foldable = severity >= VOX_WARNING && severity <= VOX_ERROR_NOTE;
    std::lock_guard<std::mutex> guard(fold_lock);
    if (foldable && !fold_seen.insert(line).second)
        return;
    std::fputs(line.c_str(), stderr);
}

std::string quote(const std::string &s)
{
    std::string out(1, '"');
    for (unsigned char c : s) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    out += '"';
    return out;
}

}  // namespace

Json Json::string(const std::string &s)
{
    return Json('v', quote(s));
}

Json Json::number(long long n)
{
    return Json('v', std::to_string(n));
}

Json Json::boolean(bool b)
{
    return Json('v', b ? std::string("true") : std::string("false"));
}

Json Json::null()
{
    return Json('v', std::string("null"));
}

Json Json::object()
{
    return Json('o', std::string(1, '{'));
}

Json Json::array()
{
    return Json('a', std::string(1, '['));
}

Json &Json::add(const std::string &key, Json value)
{
    // Appended piece by piece (a chain of + trips a false warning of g++ 12).
    if (!empty_)
        text_ += ',';
    text_ += quote(key);
    text_ += ':';
    text_ += value.text();
    empty_ = false;
    return *this;
}

Json &Json::push(Json value)
{
    if (!empty_)
        text_ += ',';
    text_ += value.text();
    empty_ = false;
    return *this;
}

void print_json(const Json &doc)
{
    std::printf("%s\n", doc.text().c_str());
    printed = true;
}

bool json_printed()
{
    return printed;
}

void reset_json()
{
    printed = false;
    std::lock_guard<std::mutex> guard(fold_lock);
    fold_seen.clear();
}

void fold_library_messages()
{
    vox_set_sink(fold_sink, nullptr);
}

std::string sid_text(const idkit_sid_t &sid)
{
    char buffer[IDKIT_SID_TEXT_MAX];
    return idkit_sid_to_str(&sid, buffer);
}

std::string local_name(const idkit_sid_t &sid, bool group)
{
    if (group) {
        idkit_group_sid_t *g = idkit_getgrsid(&sid);
        return g != nullptr && g->name != nullptr ? g->name : "";
    }
    idkit_passwd_sid_t *p = idkit_getpwsid(&sid);
    return p != nullptr && p->user.name != nullptr ? p->user.name : "";
}

}  // namespace credmap_tool
