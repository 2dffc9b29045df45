// Access lists and role maps converted for simulated hosts, in each
// direction and mode.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "messages.h"
#include "sids.h"
#include "sim_host.h"
#include "velmo/credmap.h"

namespace {

using namespace sim;

struct Row {
    uint32_t position;
    std::string text;  // the entry's text form
};

core_sid_acl_entry_t parse(const std::string &text)
{
    core_sid_acl_t acl = nullptr;
    core_text_error_t error{};
    EXPECT_EQ(core_sid_acl_from_text(text.c_str(), &acl, &error), 0) << text << ": " << error.message;
    uint64_t cursor = 0;
    core_sid_acl_entry_t entry = *core_sid_acl_next_entry(acl, &cursor, nullptr);
    core_sid_acl_free(acl);
    return entry;
}

// A list with the entries at the given positions; every entry also carries
// a reserved word that must travel unchanged.
core_sid_acl_t make_list(const std::vector<Row> &rows)
{
    core_sid_acl_t acl = nullptr;
    core_sid_acl_create(&acl);
    for (const auto &r : rows) {
        core_sid_acl_entry_t e = parse(r.text);
        e.reserved = 77;
        core_sid_acl_set_entry(acl, &e, r.position);
    }
    return acl;
}

std::vector<Row> rows_of(core_sid_acl_t acl)
{
    std::vector<Row> out;
    uint64_t cursor = 0;
    uint32_t position = 0;
    char line[256];
    while (const core_sid_acl_entry_t *e = core_sid_acl_next_entry(acl, &cursor, &position)) {
        EXPECT_EQ(e->reserved, 77u);
        out.push_back({position, core_sid_acl_entry_to_text(e, line, sizeof line)});
    }
    return out;
}

bool operator==(const Row &a, const Row &b)
{
    return a.position == b.position && a.text == b.text;
}

void PrintTo(const Row &r, std::ostream *os)
{
    *os << r.position << ":" << r.text;
}

const std::string D = "S-1-5-21-3623811015-3361044348-30300820-";

// Local entries that the domain has, and their remote form.
const std::vector<Row> kLocal = {{10, "user S-1-22-1-0 rwx flags=3"},
                                 {20, "group S-1-22-2-1 r-x"},
                                 {30, "other r"},
                                 {60, "kind 9 S-1-22-1-1 0x40"}};
const std::vector<Row> kRemote = {{10, "user " + D + "1116 rwx flags=3"},
                                  {20, "group " + D + "1221 r-x"},
                                  {30, "other r"},
                                  {60, "kind 9 S-1-22-1-1 0x40"}};
// Remote entries without a local account: Alice, a SID the domain lacks.
const std::vector<Row> kStrangers = {{40, "user " + D + "1104 rw"}, {50, "group " + D + "9999 r"}};

std::vector<Row> with(std::vector<Row> rows, const std::vector<Row> &more)
{
    rows.insert(rows.end(), more.begin(), more.end());
    std::sort(rows.begin(), rows.end(), [](const Row &a, const Row &b) { return a.position < b.position; });
    return rows;
}

TEST(AccessLists, EachDirectionAndMode)
{
    Network net;
    net.add("winhost");
    net.add("nont", server_args({"--no-nt"}));
    net.add("unixhost", os("Linux"));
    Messages messages;

    struct {
        const char *host;
        int to_remote;
        int mode;
        std::vector<Row> in;
        core_status_t status;
        std::vector<Row> out;  // with no list expected when the status is neither 0 nor 1033
        std::vector<int> severities;
    } cases[] = {
        {"winhost", 1, CREDMAP_CONVERT_STRICT, kLocal, 0, kRemote, {}},
        {"winhost", 0, CREDMAP_CONVERT_STRICT, kRemote, 0, kLocal, {}},
        // A local account the domain lacks (lp), a nobody entry.
        {"winhost", 1, CREDMAP_CONVERT_STRICT, with(kLocal, {{40, "user S-1-22-1-7 rw"}}), CORE_E_FAILURE, {},
         {VOX_ERROR, VOX_ERROR_NOTE}},
        {"winhost", 0, CREDMAP_CONVERT_STRICT, with(kRemote, {{5, "user nobody r"}}), CORE_E_FAILURE, {},
         {VOX_ERROR, VOX_ERROR_NOTE}},
        {"winhost", 0, CREDMAP_CONVERT_DROP, with(kRemote, kStrangers), CORE_E_INCOMPLETE, kLocal,
         {VOX_WARNING, VOX_WARNING_NOTE, VOX_WARNING, VOX_WARNING_NOTE}},
        {"winhost", 0, CREDMAP_CONVERT_KEEP, with(kRemote, kStrangers), CORE_E_INCOMPLETE, with(kLocal, kStrangers),
         {}},
        // A server that takes no NT SIDs: a user entry (the user of its pair)
        // is refused before it is sent.
        {"nont", 0, CREDMAP_CONVERT_DROP, kRemote, CORE_E_INCOMPLETE, {kLocal[1], kLocal[2], kLocal[3]},
         {VOX_ERROR, VOX_WARNING, VOX_WARNING_NOTE}},
        // A UNIX host takes local SIDs as they are.
        {"unixhost", 1, CREDMAP_CONVERT_STRICT, kLocal, 0, kLocal, {}},
    };
    for (const auto &c : cases) {
        messages.clear();
        core_sid_acl_t in = make_list(c.in), out = nullptr;
        core_status_t status = c.to_remote ? credmap_sid_acl_local_to_remote(c.host, in, &out)
                                           : credmap_sid_acl_remote_to_local(c.host, c.mode, in, &out);
        std::string what = std::string(c.host) + (c.to_remote ? " to remote" : " to local") + " mode " +
                           std::to_string(c.mode);
        EXPECT_EQ(status, c.status) << what;
        if (status == 0 || status == CORE_E_INCOMPLETE) {
            EXPECT_EQ(rows_of(out), c.out) << what;
        } else {
            EXPECT_EQ(out, nullptr) << what;
        }
        std::vector<int> severities;
        for (const auto &m : messages.all())
            if (m.severity != VOX_TRACE)
                severities.push_back(m.severity);
        EXPECT_EQ(severities, c.severities) << what;
        core_sid_acl_free(in);
        core_sid_acl_free(out);
    }

    // Keep mode reports only when tracing.
    messages.clear();
    vox_set_verbosity(2);
    vox_set_trace("credmap/clnt", 2);
    core_sid_acl_t in = make_list(kStrangers), out = nullptr;
    EXPECT_EQ(credmap_sid_acl_remote_to_local("winhost", CREDMAP_CONVERT_KEEP, in, &out), CORE_E_INCOMPLETE);
    auto texts = messages.texts();
    ASSERT_EQ(texts.size(), 6u);
    EXPECT_EQ(texts[0], "can't convert remote user, got SID: nobody\n");
    EXPECT_EQ(texts[1], "Unable to map user ID \"" + D + "1104\" from remote host winhost to local ID: " +
                            core_strerror(CORE_E_FAILURE) + "\n");
    core_sid_acl_free(in);
    core_sid_acl_free(out);

    // One entry in place.
    core_sid_acl_entry_t e = parse("user S-1-22-1-0 r");
    EXPECT_EQ(credmap_sid_acl_id_local_to_remote("winhost", &e), 0);
    EXPECT_EQ(text(e.sid), D + "1116");
    EXPECT_EQ(credmap_sid_acl_id_remote_to_local("winhost", &e), 0);
    EXPECT_EQ(text(e.sid), "S-1-22-1-0");
    e = parse("group S-1-22-2-7 r");
    EXPECT_EQ(credmap_sid_acl_id_local_to_remote("winhost", &e), CORE_E_FAILURE);
    EXPECT_EQ(e.sid.kind, IDKIT_SID_KIND_NOBODY);
}

TEST(RoleMaps, BindingsConvertedAndEmptyOnesGone)
{
    Network net;
    net.add("winhost");
    Messages quiet;
    const char *text = "role admins\n user S-1-22-1-0 rwxdc\nrole empty\nrole readers\n group S-1-22-2-1 r\n";
    core_rolemap_acl_t local = nullptr, remote = nullptr, back = nullptr;
    core_text_error_t error{};
    ASSERT_EQ(core_rolemap_acl_from_text(text, &local, &error), 0) << error.message;
    ASSERT_EQ(credmap_rolemap_local_to_remote("winhost", local, &remote), 0);
    char *printed = core_rolemap_acl_to_text(remote);
    EXPECT_STREQ(printed, ("role admins\n  user " + D + "1116 rwxdc\nrole readers\n  group " + D + "1221 r\n").c_str());
    std::free(printed);
    ASSERT_EQ(credmap_rolemap_remote_to_local("winhost", CREDMAP_CONVERT_STRICT, remote, &back), 0);
    printed = core_rolemap_acl_to_text(back);
    EXPECT_STREQ(printed, "role admins\n  user S-1-22-1-0 rwxdc\nrole readers\n  group S-1-22-2-1 r\n");
    std::free(printed);
    core_rolemap_acl_free(back);

    // A binding whose only entry cannot be converted goes too.
    core_rolemap_binding_t guests{};
    std::snprintf(guests.role, sizeof guests.role, "guests");
    core_sid_acl_entry_t alice = parse("user " + D + "1104 r");
    core_rolemap_acl_add_role_binding(remote, &guests, &alice);
    core_rolemap_acl_t dropped = nullptr;
    EXPECT_EQ(credmap_rolemap_remote_to_local("winhost", CREDMAP_CONVERT_DROP, remote, &dropped), CORE_E_INCOMPLETE);
    EXPECT_EQ(core_rolemap_acl_count(dropped), 2u);
    EXPECT_EQ(credmap_rolemap_remote_to_local("winhost", CREDMAP_CONVERT_STRICT, remote, &back), CORE_E_FAILURE);
    EXPECT_EQ(back, nullptr);
    EXPECT_EQ(credmap_rolemap_remote_to_local("winhost", 3, remote, &back), CORE_E_BAD_ARGUMENT);
    core_rolemap_acl_free(dropped);
    core_rolemap_acl_free(local);
    core_rolemap_acl_free(remote);
}

}  // namespace
