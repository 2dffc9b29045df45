// Reading and searching the account directory.
#include "accounts.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <strings.h>

namespace credmap_server {
namespace {

// Splits a line into words; double quotes group words, '#' starts a comment
// outside quotes.
bool split(const std::string &line, std::vector<std::string> *words)
{
    std::string word;
    bool quoted = false, in_word = false;
    for (char c : line) {
        if (c == '"') {
            quoted = !quoted;
            in_word = true;
        } else if (!quoted && c == '#') {
            break;
        } else if (!quoted && (c == ' ' || c == '\t' || c == '\r')) {
            if (in_word)
                words->push_back(word);
            word.clear();
            in_word = false;
        } else {
            word += c;
            in_word = true;
        }
    }
    if (in_word)
        words->push_back(word);
    return !quoted;
}

bool parse_u32(const std::string &text, uint32_t *out)
{
    if (text.empty() || text.size() > 10 || text.find_first_not_of("0123456789") != std::string::npos)
        return false;
    unsigned long long v = std::strtoull(text.c_str(), nullptr, 10);
    if (v > 0xffffffffull)
        return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

size_t group_index(const Directory &d, const std::string &name, bool *found)
{
    for (size_t i = 0; i < d.groups.size(); ++i)
        if (strcasecmp(d.groups[i].name.c_str(), name.c_str()) == 0)
            return *found = true, i;
    return *found = false, 0;
}

// Splits "key=value" option words of a user line.
bool user_options(Directory *d, User *u, const std::vector<std::string> &words, size_t from, std::string *why)
{
    for (size_t i = from; i < words.size(); ++i) {
        const std::string &w = words[i];
        size_t eq = w.find('=');
        std::string key = w.substr(0, eq), value = eq == std::string::npos ? "" : w.substr(eq + 1);
        if (key == "groups") {
            size_t start = 0;
            while (start <= value.size() && !value.empty()) {
                size_t comma = value.find(',', start);
                std::string g = value.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
                bool found;
                size_t index = group_index(*d, g, &found);
                if (!found)
                    return *why = "unknown group " + g, false;
                u->groups.push_back(index);
                if (comma == std::string::npos)
                    break;
                start = comma + 1;
            }
        } else if (key == "gecos") {
            u->gecos = value;
        } else if (key == "home") {
            u->home = value;
        } else if (key == "refused" && eq == std::string::npos) {
            u->refused = true;
        } else {
            return *why = "unknown field " + w, false;
        }
    }
    return true;
}

bool parse_line(Directory *d, const std::vector<std::string> &w, std::string *why)
{
    if (w[0] == "domain") {
        if (w.size() != 3 || idkit_sid_from_str(w[2].c_str(), &d->domain_sid) != 0 ||
            d->domain_sid.kind != IDKIT_SID_KIND_NT)
            return *why = "expected: domain NAME S-1-5-21-...", false;
        if (!plain_name(w[1]))
            return *why = "a name may not contain '\\', '/' or a NUL byte", false;
        d->domain = w[1];
        return true;
    }
    if (d->domain.empty())
        return *why = "the domain line must come first", false;
    if ((w[0] == "group" || w[0] == "user") && w.size() > 1 && !plain_name(w[1]))
        return *why = "a name may not contain '\\', '/' or a NUL byte", false;
    if (w[0] == "group") {
        Group g;
        if (w.size() != 4 || !parse_u32(w[2], &g.rid) || !parse_u32(w[3], &g.gid))
            return *why = "expected: group NAME RID GID", false;
        g.name = w[1];
        if (!account_sid(d->domain_sid, g.rid, &g.sid))
            return *why = "the domain SID has no room for a RID", false;
        d->groups.push_back(g);
        return true;
    }
    if (w[0] == "user") {
        User u;
        bool found;
        if (w.size() < 5 || !parse_u32(w[2], &u.rid) || !parse_u32(w[3], &u.uid))
            return *why = "expected: user NAME RID UID PRIMARY-GROUP [key=value...]", false;
        u.name = w[1];
        u.primary = group_index(*d, w[4], &found);
        if (!found)
            return *why = "unknown group " + w[4], false;
        if (!account_sid(d->domain_sid, u.rid, &u.sid))
            return *why = "the domain SID has no room for a RID", false;
        if (!user_options(d, &u, w, 5, why))
            return false;
        d->users.push_back(u);
        return true;
    }
    return *why = "unknown line kind " + w[0], false;
}

}  // namespace

bool account_sid(const idkit_sid_t &domain, uint32_t rid, idkit_sid_t *out)
{
    if (domain.length < 8 || domain.body[1] >= 6)
        return false;
    *out = domain;
    uint8_t *p = out->body + domain.length;
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(rid >> (8 * i));
    out->body[1]++;
    out->length = static_cast<uint8_t>(domain.length + 4);
    return true;
}

// Requests name accounts as C strings, "DOMAIN\name" or "DOMAIN/name": a
// name with a NUL byte or a separator in it could never be asked for.
bool plain_name(const std::string &name)
{
    return name.find_first_of(std::string_view("\\/\0", 3)) == std::string::npos;
}

const char *account_part(const std::string &domain, const char *name)
{
    if (name == nullptr)
        return nullptr;
    const char *sep = std::strpbrk(name, "\\/");
    if (sep == nullptr)
        return name;
    if (static_cast<size_t>(sep - name) != domain.size() || strncasecmp(name, domain.c_str(), domain.size()) != 0)
        return nullptr;
    return sep + 1;
}

bool load_directory(const std::string &path, Directory *out, std::string *error)
{
    errno = 0;
    std::ifstream file(path);
    if (!file) {
        *error = path + ": cannot open: " + std::strerror(errno != 0 ? errno : ENOENT);
        return false;
    }
    std::ostringstream text;
    errno = 0;
    text << file.rdbuf();
    if (file.bad() || errno == EISDIR) {
        // A folder opens, and gives nothing.
        *error = path + ": cannot read: " + std::strerror(errno != 0 ? errno : EIO);
        return false;
    }
    return parse_directory(text.str(), path, out, error);
}

bool parse_directory(std::string_view text, const std::string &name, Directory *out, std::string *error)
{
    Directory d;
    std::string why;
    for (int number = 1; !text.empty(); ++number) {
        size_t end = text.find('\n');
        std::string line(text.substr(0, end));
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
        std::vector<std::string> words;
        if (!split(line, &words)) {
            *error = name + ":" + std::to_string(number) + ": unbalanced quotes";
            return false;
        }
        if (!words.empty() && !parse_line(&d, words, &why)) {
            *error = name + ":" + std::to_string(number) + ": " + why;
            return false;
        }
    }
    if (d.domain.empty()) {
        *error = name + ": no domain line";
        return false;
    }
    *out = std::move(d);
    return true;
}

const User *find_user(const Directory &d, const char *name)
{
    const char *account = account_part(d.domain, name);
    for (const auto &u : d.users)
        if (account != nullptr && strcasecmp(u.name.c_str(), account) == 0)
            return &u;
    return nullptr;
}

const Group *find_group(const Directory &d, const char *name)
{
    const char *account = account_part(d.domain, name);
    for (const auto &g : d.groups)
        if (account != nullptr && strcasecmp(g.name.c_str(), account) == 0)
            return &g;
    return nullptr;
}

const User *find_user_by_uid(const Directory &d, uint64_t uid)
{
    for (const auto &u : d.users)
        if (u.uid == uid)
            return &u;
    return nullptr;
}

const Group *find_group_by_gid(const Directory &d, uint64_t gid)
{
    for (const auto &g : d.groups)
        if (g.gid == gid)
            return &g;
    return nullptr;
}

const User *find_user_by_sid(const Directory &d, const idkit_sid_t &sid)
{
    for (const auto &u : d.users)
        if (idkit_sid_eq(&u.sid, &sid))
            return &u;
    return nullptr;
}

const Group *find_group_by_sid(const Directory &d, const idkit_sid_t &sid)
{
    for (const auto &g : d.groups)
        if (idkit_sid_eq(&g.sid, &sid))
            return &g;
    return nullptr;
}

std::string qualified(const Directory &d, const std::string &name)
{
    return d.domain + "\\" + name;
}

}  // namespace credmap_server
