// The text form of SID access lists and role maps: one entry a line, so
// that a person can write one, and a parser that says where it went wrong.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include "host/core.h"

namespace {

struct KindName {
    uint32_t kind;
    const char *name;
    bool has_sid;
};

const KindName kKinds[] = {
    {CORE_ACL_USER, "user", true},    {CORE_ACL_GROUP, "group", true},
    {CORE_ACL_OWNER, "owner", false}, {CORE_ACL_OWNER_GROUP, "owner-group", false},
    {CORE_ACL_OTHER, "other", false}, {CORE_ACL_MASK, "mask", false},
};

const char kRightLetters[] = "rwxdc";

// A word of a line and the column it starts at.
struct Word {
    std::string_view text;
    unsigned column;
};

std::vector<Word> words_of(std::string_view line)
{
    std::vector<Word> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r'))
            ++i;
        if (i >= line.size() || line[i] == '#')
            break;
        size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r' && line[i] != '#')
            ++i;
        words.push_back({line.substr(start, i - start), static_cast<unsigned>(start + 1)});
    }
    return words;
}

bool parse_number(std::string_view text, uint64_t max, uint64_t *out)
{
    std::string s(text);
    if (s.empty() || s[0] == '-' || s[0] == '+')
        return false;
    char *end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(s.c_str(), &end, 0);
    if (errno != 0 || *end != '\0' || v > max)
        return false;
    *out = v;
    return true;
}

bool parse_rights(std::string_view text, uint32_t *out)
{
    uint64_t number;
    if (!text.empty() && text[0] >= '0' && text[0] <= '9') {
        if (!parse_number(text, 0xffffffffu, &number))
            return false;
        *out = static_cast<uint32_t>(number);
        return true;
    }
    uint32_t rights = 0;
    for (char c : text) {
        if (c == '-')
            continue;
        const char *at = c != '\0' ? std::strchr(kRightLetters, c) : nullptr;
        if (at == nullptr)
            return false;
        rights |= 1u << (at - kRightLetters);
    }
    *out = rights;
    return !text.empty();
}

class Parser {
public:
    explicit Parser(core_text_error_t *error) : error_(error) {}

    // Fills `entry` from the words of a line; false with the error noted.
    bool entry(unsigned line, const std::vector<Word> &w, core_sid_acl_entry_t *entry)
    {
        std::memset(entry, 0, sizeof *entry);
        entry->sid = IDKIT_SID_NOBODY;
        size_t i = 1;
        bool has_sid = true;
        const KindName *known = nullptr;
        for (const auto &k : kKinds)
            if (w[0].text == k.name)
                known = &k;
        if (known != nullptr) {
            entry->kind = known->kind;
            has_sid = known->has_sid;
        } else if (w[0].text == "kind") {
            uint64_t kind;
            if (w.size() < 2 || !parse_number(w[1].text, 0xffffffffu, &kind))
                return fail(line, w.size() < 2 ? w[0] : w[1], "expected the number of a kind after \"kind\"");
            entry->kind = static_cast<uint32_t>(kind);
            i = 2;
        } else {
            return fail(line, w[0], "expected user, group, owner, owner-group, other, mask, kind or role");
        }
        if (has_sid) {
            if (i >= w.size())
                return fail(line, w.back(), "expected a SID (S-1-..., nobody or dontcare)");
            std::string text(w[i].text);
            if (idkit_sid_from_str(text.c_str(), &entry->sid) != 0)
                return fail(line, w[i], "not a SID (S-1-..., nobody or dontcare)");
            ++i;
        }
        if (i >= w.size())
            return fail(line, w.back(), "expected the rights (letters of \"rwxdc\" or a number)");
        if (!parse_rights(w[i].text, &entry->rights))
            return fail(line, w[i], "bad rights (letters of \"rwxdc\", '-' or a number)");
        for (++i; i < w.size(); ++i) {
            uint64_t flags;
            if (w[i].text.substr(0, 6) != "flags=" || !parse_number(w[i].text.substr(6), 0xffff, &flags))
                return fail(line, w[i], "unexpected word (only flags=N may follow the rights)");
            entry->flags = static_cast<uint16_t>(flags);
        }
        return true;
    }

    bool fail(unsigned line, const Word &at, const char *message)
    {
        if (error_ != nullptr) {
            error_->line = line;
            error_->column = at.column;
            std::snprintf(error_->message, sizeof error_->message, "%s", message);
        }
        return false;
    }

private:
    core_text_error_t *error_;
};

// Calls `each(line number, words)` for every line with words; stops at the
// first false.
template<typename Each>
bool for_each_line(const char *text, Each each)
{
    std::string_view rest(text);
    for (unsigned number = 1; !rest.empty(); ++number) {
        size_t end = rest.find('\n');
        std::string_view line = rest.substr(0, end);
        rest = end == std::string_view::npos ? std::string_view() : rest.substr(end + 1);
        auto words = words_of(line);
        if (!words.empty() && !each(number, words))
            return false;
    }
    return true;
}

std::string rights_text(uint32_t rights)
{
    if ((rights & ~0x1fu) != 0) {
        char hex[16];
        std::snprintf(hex, sizeof hex, "0x%x", rights);
        return hex;
    }
    // "r-x": a letter for each right held, '-' for the holes, none after the
    // last; "-" for no rights at all.
    std::string out;
    for (int bit = 0; bit < 5; ++bit)
        out += (rights & (1u << bit)) != 0 ? kRightLetters[bit] : '-';
    out.erase(out.find_last_not_of('-') + 1);
    return out.empty() ? "-" : out;
}

// Runs `body`, turning a failed allocation into `on_no_memory`: nothing
// thrown crosses the C interface.
template<typename Result, typename Body>
Result guarded(Result on_no_memory, Body body)
{
    try {
        return body();
    } catch (const std::bad_alloc &) {
        return on_no_memory;
    }
}

char *copy_out(const std::string &text)
{
    char *out = static_cast<char *>(std::malloc(text.size() + 1));
    if (out != nullptr)
        std::memcpy(out, text.c_str(), text.size() + 1);
    return out;
}

}  // namespace

extern "C" {

VELMO_API core_status_t core_sid_acl_from_text(const char *text, core_sid_acl_t *acl_out, core_text_error_t *error)
{
    if (acl_out == nullptr || text == nullptr)
        return CORE_E_BAD_ARGUMENT;
    core_status_t status = core_sid_acl_create(acl_out);
    if (status != CORE_OK)
        return status;
    Parser parser(error);
    uint32_t position = 0;
    bool ok = guarded(false, [&] {
        return for_each_line(text, [&](unsigned line, const std::vector<Word> &w) {
            core_sid_acl_entry_t entry;
            if (w[0].text == "role")
                return parser.fail(line, w[0], "a role belongs in a role map, not an access list");
            if (!parser.entry(line, w, &entry))
                return false;
            status = core_sid_acl_set_entry(*acl_out, &entry, position++);
            return status == CORE_OK;
        });
    });
    if (ok)
        return CORE_OK;
    core_sid_acl_free(*acl_out);
    *acl_out = nullptr;
    return status != CORE_OK ? status : CORE_E_BAD_ARGUMENT;
}

VELMO_API core_status_t core_rolemap_acl_from_text(const char *text, core_rolemap_acl_t *map_out,
                                                   core_text_error_t *error)
{
    if (map_out == nullptr || text == nullptr)
        return CORE_E_BAD_ARGUMENT;
    core_status_t status = core_rolemap_acl_create(map_out);
    if (status != CORE_OK)
        return status;
    Parser parser(error);
    core_rolemap_binding_t binding{};
    bool ok = guarded(false, [&] {
        return for_each_line(text, [&](unsigned line, const std::vector<Word> &w) {
            if (w[0].text == "role") {
                if (w.size() != 2 || w[1].text.size() > CORE_ROLE_NAME_MAX)
                    return parser.fail(line, w.size() < 2 ? w[0] : w[1],
                                       "expected one role name of at most 63 characters");
                std::memset(binding.role, 0, sizeof binding.role);
                std::memcpy(binding.role, w[1].text.data(), w[1].text.size());
                status = core_rolemap_acl_add_role(*map_out, binding.role);
                return status == CORE_OK;
            }
            if (binding.role[0] == '\0')
                return parser.fail(line, w[0], "an entry before the first \"role NAME\" line");
            core_sid_acl_entry_t entry;
            if (!parser.entry(line, w, &entry))
                return false;
            status = core_rolemap_acl_add_role_binding(*map_out, &binding, &entry);
            return status == CORE_OK;
        });
    });
    if (ok)
        return CORE_OK;
    core_rolemap_acl_free(*map_out);
    *map_out = nullptr;
    return status != CORE_OK ? status : CORE_E_BAD_ARGUMENT;
}

VELMO_API char *core_sid_acl_entry_to_text(const core_sid_acl_entry_t *entry, char *buffer, size_t size)
{
    if (buffer == nullptr || size == 0)
        return buffer;
    buffer[0] = '\0';
    return guarded(buffer, [&] {
        std::string text;
        const KindName *known = nullptr;
        for (const auto &k : kKinds)
            if (entry != nullptr && entry->kind == k.kind)
                known = &k;
        if (entry == nullptr) {
            text = "(none)";
        } else {
            char sid[IDKIT_SID_TEXT_MAX];
            idkit_sid_to_str(&entry->sid, sid);
            // Appended piece by piece: g++ 12 at -O3 warns wrongly about
            // the temporaries of a chain of string additions.
            text = known == nullptr ? "kind " + std::to_string(entry->kind) : known->name;
            if (known == nullptr || known->has_sid)
                text.append(" ").append(sid);
            text.append(" ").append(rights_text(entry->rights));
            if (entry->flags != 0)
                text += " flags=" + std::to_string(entry->flags);
        }
        std::snprintf(buffer, size, "%s", text.c_str());
        return buffer;
    });
}

VELMO_API char *core_sid_acl_to_text(core_sid_acl_t acl)
{
    return guarded<char *>(nullptr, [&] {
        std::string text;
        uint64_t cursor = 0;
        char line[IDKIT_SID_TEXT_MAX + 64];
        while (const core_sid_acl_entry_t *e = core_sid_acl_next_entry(acl, &cursor, nullptr))
            text += std::string(core_sid_acl_entry_to_text(e, line, sizeof line)) + "\n";
        return copy_out(text);
    });
}

VELMO_API char *core_rolemap_acl_to_text(core_rolemap_acl_t map)
{
    return guarded<char *>(nullptr, [&] {
        std::string text;
        uint64_t cursor = 0;
        char line[IDKIT_SID_TEXT_MAX + 64];
        while (const core_rolemap_binding_t *b = core_rolemap_acl_next_role_binding(map, &cursor)) {
            text += std::string("role ") + b->role + "\n";
            for (uint64_t i = 0; i < b->nentries; ++i)
                text += std::string("  ") + core_sid_acl_entry_to_text(&b->entries[i], line, sizeof line) + "\n";
        }
        return copy_out(text);
    });
}
}
