// Base services: status texts, the status XDR routine, the null object
// identifier and the internal-error catalogue.
#include "host/core.h"

#include <stdio.h>
#include <string.h>

namespace {

struct core_status_text {
    core_status_t status;
    const char *text;
};

// Every status of enum core_status_code with its text.  The texts are
// literals so that callers on any thread may keep the pointers.
constexpr core_status_text kStatusTexts[] = {
    {CORE_OK, "success"},
    {CORE_E_FAILURE, "general failure"},
    {CORE_E_NT_SID_UNSUPPORTED, "server does not accept SIDs of the NT type"},
    {CORE_E_RPC_FAILED, "RPC call to the server failed"},
    {CORE_E_UNSUPPORTED, "operation not supported by the server"},
    {CORE_E_INCOMPLETE, "conversion finished with entries left out"},
    {CORE_E_CREDS_REFUSED, "credentials refused by the remote host"},
    {CORE_E_BAD_ARGUMENT, "argument missing or out of range"},
    {CORE_E_NO_MEMORY, "not enough memory"},
    {CORE_E_NOT_FOUND, "no such entry"},
    {CORE_E_SYSTEM, "system call failed"},
    {CORE_E_DIRECTORY_UNREACHABLE, "account directory cannot be reached"},
    {HUBD_E_HOST_UNKNOWN, "host name cannot be resolved"},
    {HUBD_E_UNREACHABLE, "location broker of the host cannot be reached"},
    {HUBD_E_NOT_REGISTERED, "server is not registered and cannot be started"},
    {HUBD_E_CONNECT_REFUSED, "connection to the server refused"},
    {HUBD_E_START_TIMEOUT, "started server did not register in time"},
    {HUBD_E_PROTOCOL, "location broker sent a malformed answer"},
    {HUBD_E_CLIENT, "cannot make an RPC client for the server"},
    {HUBD_E_NO_HOSTINFO, "the location broker gives no host information"},
    {HUBD_E_NOT_PERMITTED, "not permitted by the location broker"},
    {HUBD_E_TOO_MANY, "the location broker holds too many registrations"},
    {IDKIT_E_BAD_SID_TEXT, "text is not a SID"},
    {IDKIT_E_UNMAPPED_SID, "SID stands for no local user or group"},
    {IDKIT_E_NO_CREDENTIALS, "own credentials cannot be read"},
};

// The internal errors of the base services and of the programs built on
// them.  None takes arguments: core_log_int_error prints them as they are.
constexpr const char *kCoreMessages[] = {
    "internal error: cannot allocate memory\n",
    "internal error: cannot create a mutex\n",
    "internal error: cannot lock a mutex\n",
    "internal error: cannot unlock a mutex\n",
    "internal error: cannot create a condition variable\n",
    "internal error: cannot create a thread\n",
    "internal error: cannot join a thread\n",
    "internal error: cannot create a thread-specific data key\n",
    "internal error: cannot set thread-specific data\n",
    "internal error: cannot allocate thread-specific storage\n",
    "internal error: one-time initialisation failed\n",
    "internal error: cannot create a hash table\n",
    "internal error: cannot enter a key into a hash table\n",
    "internal error: hash table scan used after its end\n",
    "internal error: cannot create an access list\n",
    "internal error: cannot set an access-list entry\n",
    "internal error: cannot create a role map\n",
    "internal error: cannot add a role binding\n",
    "internal error: status out of range\n",
    "internal error: cannot encode a status\n",
    "internal error: cannot decode a status\n",
    "internal error: cannot encode a request\n",
    "internal error: cannot decode a reply\n",
    "internal error: cannot free RPC results\n",
    "internal error: cannot create an RPC client\n",
    "internal error: cannot create RPC authentication\n",
    "internal error: RPC client used after release\n",
    "internal error: cannot open a socket\n",
    "internal error: cannot bind a socket\n",
    "internal error: cannot connect a socket\n",
    "internal error: cannot read the local host name\n",
    "internal error: cannot read the process credentials\n",
    "internal error: cannot convert a SID to text\n",
    "internal error: cannot convert an id to a SID\n",
    "internal error: cleanup frame released out of order\n",
    "internal error: exception raised with no cleanup frame\n",
    "internal error: cannot install the exit routine\n",
    "internal error: cannot allocate a per-thread record\n",
    "internal error: cannot allocate a location broker connection\n",
    "internal error: cannot allocate a credmap server handle\n",
    "internal error: string buffer too small\n",
    "internal error: invalid message row\n",
};

constexpr uint16_t kCoreMessageCount = sizeof(kCoreMessages) / sizeof(kCoreMessages[0]);

// Catalogue numbers: the row index plus one.
constexpr auto make_numbers()
{
    struct numbers {
        uint16_t values[kCoreMessageCount];
    } result{};
    for (uint16_t row = 0; row < kCoreMessageCount; ++row)
        result.values[row] = row + 1;
    return result;
}

constexpr auto kCoreNumbers = make_numbers();

}  // namespace

extern "C" {

// The two data objects take their export from the declarations in the
// header; GCC ignores the attribute when it is repeated on a definition.
const vox_msg_table_t _core_cmsg_core_msg_table = {
    "core", "core", kCoreMessageCount, kCoreMessageCount, 0, kCoreMessages, kCoreNumbers.values,
};

const core_uuid_t CORE_UUID_NULL = {};

VELMO_API const char *core_strerror(core_status_t status)
{
    for (const core_status_text &entry : kStatusTexts) {
        if (entry.status == status)
            return entry.text;
    }
    return "unknown status";
}

VELMO_API bool_t xdr_core_status_t(XDR *xdrs, core_status_t *status, u_int flags)
{
    (void)flags;
    if (xdrs == nullptr || status == nullptr)
        return FALSE;
    return xdr_int(xdrs, status);
}

VELMO_API void core_log_int_error(const char *facility, const vox_msg_table_t *table, int message,
                                  const char *source_file, int line, int flags)
{
    (void)flags;
    if (table == nullptr)
        table = &_core_cmsg_core_msg_table;
    char text[VOX_LINE_MAX];
    int length = vox_sprintf(text, table, message);
    if (length > 0 && text[length - 1] == '\n')
        text[length - 1] = '\0';
    // A one-row table carries the caller's facility, so that the message is
    // attributed to it like any catalogued message.
    static const char *const kPositionFormat[] = {"%s (%s:%d)\n"};
    const vox_msg_table_t position_table = {
        facility != nullptr ? facility : table->facility, table->catalogue, 1, 1, 0, kPositionFormat, nullptr,
    };
    vox_print(VOX_ERROR, &position_table, 0, text, source_file != nullptr ? source_file : "?", line);
}

}  // extern "C"
