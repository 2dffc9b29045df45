// Printing results as text or as JSON.
#include "output.h"

#include <cstdio>

namespace credmap_tool {
namespace {

std::string quote(const std::string &s)
{
    std::string out = "\"";
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
    return out + "\"";
}

}  // namespace

Json Json::string(const std::string &s)
{
    Json j;
    j.text_ = quote(s);
    return j;
}

Json Json::number(long long n)
{
    Json j;
    j.text_ = std::to_string(n);
    return j;
}

Json Json::boolean(bool b)
{
    Json j;
    j.text_ = b ? "true" : "false";
    return j;
}

Json Json::null()
{
    Json j;
    j.text_ = "null";
    return j;
}

Json Json::object()
{
    Json j;
    j.kind_ = 'o';
    j.text_ = "{";
    return j;
}

Json Json::array()
{
    Json j;
    j.kind_ = 'a';
    j.text_ = "[";
    return j;
}

Json &Json::add(const std::string &key, Json value)
{
    text_ += (empty_ ? "" : ",") + quote(key) + ":" + value.text();
    empty_ = false;
    return *this;
}

Json &Json::push(Json value)
{
    text_ += (empty_ ? "" : ",") + value.text();
    empty_ = false;
    return *this;
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
