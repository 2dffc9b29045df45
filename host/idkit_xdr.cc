// Wire form of the credential records.  Every decoder treats its input as
// hostile: counts are bounded by what a record holds, and a decode that fails
// part-way releases what it allocated and leaves those pointers null.
#include <cstdlib>
#include <cstring>
#include <new>
#include <vector>

#include "host/idkit.h"
#include "host/velmo_xdr.h"

namespace {

// What one decode call allocated.  Pointers that were already set when the
// call began are the caller's buffers and never appear here.
struct decode_ledger {
    std::vector<char **> names;    // name slots this call filled from null
    char ***name_array = nullptr;  // a name array this call allocated...
    size_t name_array_count = 0;   // ...and how many slots it has
};

// Undoes a failed decode: releases every allocation of the ledger and nulls
// the pointers that held them.
void rollback(decode_ledger &ledger)
{
    for (char **slot : ledger.names) {
        std::free(*slot);
        *slot = nullptr;
    }
    if (ledger.name_array != nullptr && *ledger.name_array != nullptr) {
        char **array = *ledger.name_array;
        for (size_t i = 0; i < ledger.name_array_count; ++i)
            std::free(array[i]);
        std::free(array);
        *ledger.name_array = nullptr;
    }
    ledger = decode_ledger{};
}

// Runs the body of a record's routine with a ledger, and rolls back what it
// allocated when a decode fails (running out of memory included).
template<typename Body>
bool_t with_ledger(XDR *xdrs, Body body)
{
    decode_ledger ledger;
    bool ok;
    try {
        ok = body(ledger);
    } catch (const std::bad_alloc &) {
        ok = false;
    }
    if (!ok && xdrs->x_op == XDR_DECODE)
        rollback(ledger);
    return ok ? TRUE : FALSE;
}

// A name: an XDR string of at most IDKIT_NAME_MAX bytes.  A null pointer
// goes out as the empty string, so that a record left half-filled by a
// failed allocation can still be sent.  A name decoded into a fresh
// allocation is noted in `ledger`, unless it is null because the slot lies
// in an array that the ledger already releases whole.
bool name_x(XDR *xdrs, char **slot, decode_ledger *ledger)
{
    switch (xdrs->x_op) {
    case XDR_ENCODE: {
        char empty[] = "";
        char *text = *slot != nullptr ? *slot : empty;
        return xdr_string(xdrs, &text, IDKIT_NAME_MAX);
    }
    case XDR_DECODE: {
        u_int size = 0;
        if (!xdr_u_int(xdrs, &size) || size > IDKIT_NAME_MAX)
            return false;
        char *text = *slot;
        if (text == nullptr) {
            // Noted before the allocation: a failure to note then leaks nothing.
            if (ledger != nullptr)
                ledger->names.push_back(slot);
            text = static_cast<char *>(std::malloc(size + 1));
            if (text == nullptr)
                return false;
            *slot = text;
        }
        text[size] = '\0';
        return velmo_xdr_opaque(xdrs, text, size);
    }
    case XDR_FREE:
        std::free(*slot);
        *slot = nullptr;
        return true;
    }
    return false;
}

bool word_x(XDR *xdrs, uint64_t *value)
{
    return velmo_xdr_u_long(xdrs, value, 0);
}

// A count in [0, max]; refused on the way out as well as on the way in.
bool count_x(XDR *xdrs, uint32_t *count, uint32_t max)
{
    if (xdrs->x_op == XDR_FREE)
        return true;
    if (xdrs->x_op == XDR_ENCODE && *count > max)
        return false;
    return xdr_u_int(xdrs, count) && *count <= max;
}

bool user_sid_x(XDR *xdrs, idkit_user_sid_t *user, decode_ledger &ledger)
{
    return name_x(xdrs, &user->name, &ledger) && word_x(xdrs, &user->id) && xdr_idkit_sid_t(xdrs, &user->sid, 0);
}

bool group_sid_x(XDR *xdrs, idkit_group_sid_t *group, decode_ledger &ledger)
{
    return name_x(xdrs, &group->name, &ledger) && word_x(xdrs, &group->id) && xdr_idkit_sid_t(xdrs, &group->sid, 0);
}

bool string_credentials_x(XDR *xdrs, idkit_string_credentials_t *creds, decode_ledger &ledger)
{
    if (xdrs->x_op == XDR_FREE) {
        idkit_free_string_credentials(creds);
        return true;
    }
    if (!name_x(xdrs, &creds->user, &ledger) || !name_x(xdrs, &creds->group, &ledger))
        return false;
    if (xdrs->x_op == XDR_DECODE)
        ledger.names.reserve(ledger.names.size() + IDKIT_MAX_GROUPS);
    uint32_t n = creds->ngroups;
    if (!count_x(xdrs, &n, IDKIT_MAX_GROUPS))
        return false;
    creds->ngroups = n;
    for (uint32_t i = 0; i < n; ++i)
        if (!name_x(xdrs, &creds->groups[i], &ledger))
            return false;
    return true;
}

bool whole_string_credentials_x(XDR *xdrs, idkit_whole_string_credentials_t *creds, decode_ledger &ledger)
{
    if (xdrs->x_op == XDR_FREE) {
        idkit_free_whole_string_credentials(creds);
        return true;
    }
    if (!name_x(xdrs, &creds->user, &ledger) || !name_x(xdrs, &creds->group, &ledger))
        return false;
    if (xdrs->x_op == XDR_ENCODE &&
        (creds->ngroups > IDKIT_WHOLE_MAX_GROUPS || (creds->ngroups > 0 && creds->groups == nullptr)))
        return false;
    uint32_t n = uint32_t(creds->ngroups);
    if (!count_x(xdrs, &n, IDKIT_WHOLE_MAX_GROUPS))
        return false;
    if (xdrs->x_op == XDR_DECODE) {
        creds->ngroups = n;
        if (creds->groups == nullptr && n > 0) {
            creds->groups = static_cast<char **>(std::calloc(n, sizeof(char *)));
            if (creds->groups == nullptr)
                return false;
            ledger.name_array = &creds->groups;
            ledger.name_array_count = n;
        }
    }
    // Names in an array of our own are released with the array; only those
    // in a caller's array need a note each.
    decode_ledger *names = ledger.name_array != nullptr ? nullptr : &ledger;
    for (uint32_t i = 0; i < n; ++i)
        if (!name_x(xdrs, &creds->groups[i], names))
            return false;
    return true;
}

}  // namespace

extern "C" {

VELMO_API bool_t xdr_idkit_sid_t(XDR *xdrs, idkit_sid_t *sid, u_int /*flags*/)
{
    if (xdrs == nullptr || sid == nullptr)
        return FALSE;
    switch (xdrs->x_op) {
    case XDR_ENCODE: {
        u_int kind = sid->kind;
        u_int length = sid->length;
        return length <= IDKIT_SID_BODY_MAX && xdr_u_int(xdrs, &kind) && xdr_u_int(xdrs, &length) &&
               xdr_opaque(xdrs, reinterpret_cast<char *>(sid->body), length);
    }
    case XDR_DECODE: {
        // Decoded aside, so that a refused SID leaves the record as it was.
        idkit_sid_t in;
        std::memset(&in, 0, sizeof in);
        u_int kind = 0, length = 0;
        if (!xdr_u_int(xdrs, &kind) || kind > 255 || !xdr_u_int(xdrs, &length) || length > IDKIT_SID_BODY_MAX ||
            !xdr_opaque(xdrs, reinterpret_cast<char *>(in.body), length))
            return FALSE;
        in.kind = uint8_t(kind);
        in.length = uint8_t(length);
        *sid = in;
        return TRUE;
    }
    case XDR_FREE:
        return TRUE;
    }
    return FALSE;
}

VELMO_API bool_t xdr_idkit_uid_t(XDR *xdrs, idkit_uid_t *uid, u_int /*flags*/)
{
    return xdrs != nullptr && uid != nullptr && xdr_u_int(xdrs, uid);
}

VELMO_API bool_t xdr_idkit_gid_t(XDR *xdrs, idkit_gid_t *gid, u_int /*flags*/)
{
    return xdrs != nullptr && gid != nullptr && xdr_u_int(xdrs, gid);
}

VELMO_API bool_t xdr_idkit_credentials_t(XDR *xdrs, idkit_credentials_t *creds, u_int /*flags*/)
{
    if (xdrs == nullptr || creds == nullptr)
        return FALSE;
    if (xdrs->x_op == XDR_FREE)
        return TRUE;
    idkit_credentials_t wire = *creds;
    if (xdrs->x_op == XDR_DECODE)
        std::memset(&wire, 0, sizeof wire);
    else if (wire.ngroups < 0 || wire.ngroups > IDKIT_MAX_GROUPS)
        return FALSE;
    if (!word_x(xdrs, &wire.uid) || !word_x(xdrs, &wire.gid) || !xdr_int(xdrs, &wire.ngroups) || wire.ngroups < 0 ||
        wire.ngroups > IDKIT_MAX_GROUPS)
        return FALSE;
    for (int32_t i = 0; i < wire.ngroups; ++i)
        if (!word_x(xdrs, &wire.groups[i]))
            return FALSE;
    if (xdrs->x_op == XDR_DECODE)
        *creds = wire;
    return TRUE;
}

VELMO_API bool_t xdr_idkit_string_credentials_t(XDR *xdrs, idkit_string_credentials_t *creds, u_int /*flags*/)
{
    if (xdrs == nullptr || creds == nullptr)
        return FALSE;
    return with_ledger(xdrs, [&](decode_ledger &l) { return string_credentials_x(xdrs, creds, l); });
}

VELMO_API bool_t xdr_idkit_user_sid_t(XDR *xdrs, idkit_user_sid_t *user, u_int /*flags*/)
{
    if (xdrs == nullptr || user == nullptr)
        return FALSE;
    return with_ledger(xdrs, [&](decode_ledger &l) { return user_sid_x(xdrs, user, l); });
}

VELMO_API bool_t xdr_idkit_group_sid_t(XDR *xdrs, idkit_group_sid_t *group, u_int /*flags*/)
{
    if (xdrs == nullptr || group == nullptr)
        return FALSE;
    return with_ledger(xdrs, [&](decode_ledger &l) { return group_sid_x(xdrs, group, l); });
}

VELMO_API bool_t xdr_idkit_passwd_sid_t(XDR *xdrs, idkit_passwd_sid_t *pw, u_int /*flags*/)
{
    if (xdrs == nullptr || pw == nullptr)
        return FALSE;
    return with_ledger(xdrs, [&](decode_ledger &l) {
        return user_sid_x(xdrs, &pw->user, l) && group_sid_x(xdrs, &pw->group, l) && name_x(xdrs, &pw->gecos, &l) &&
               name_x(xdrs, &pw->home, &l);
    });
}

VELMO_API bool_t xdr_idkit_sid_credentials_t(XDR *xdrs, idkit_sid_credentials_t *creds, u_int /*flags*/)
{
    if (xdrs == nullptr || creds == nullptr)
        return FALSE;
    if (xdrs->x_op == XDR_FREE)
        return TRUE;
    // Decoded aside (the record has no pointers) so that a failure changes nothing.
    idkit_sid_credentials_t wire;
    if (xdrs->x_op == XDR_DECODE)
        std::memset(&wire, 0, sizeof wire);
    else
        wire = *creds;
    if (!xdr_idkit_sid_t(xdrs, &wire.user, 0) || !xdr_idkit_sid_t(xdrs, &wire.group, 0) ||
        !count_x(xdrs, &wire.ngroups, IDKIT_MAX_GROUPS))
        return FALSE;
    for (uint32_t i = 0; i < wire.ngroups; ++i)
        if (!xdr_idkit_sid_t(xdrs, &wire.groups[i], 0))
            return FALSE;
    if (xdrs->x_op == XDR_DECODE)
        *creds = wire;
    return TRUE;
}

VELMO_API bool_t xdr_idkit_whole_string_credentials_t(XDR *xdrs, idkit_whole_string_credentials_t *creds,
                                                      u_int /*flags*/)
{
    if (xdrs == nullptr || creds == nullptr)
        return FALSE;
    bool_t ok = with_ledger(xdrs, [&](decode_ledger &l) { return whole_string_credentials_x(xdrs, creds, l); });
    // A group array released by the rollback takes its count with it.
    if (!ok && xdrs->x_op == XDR_DECODE && creds->groups == nullptr)
        creds->ngroups = 0;
    return ok;
}

VELMO_API bool_t xdr_idkit_whole_credentials_t(XDR *xdrs, idkit_whole_credentials_t *creds, u_int /*flags*/)
{
    if (xdrs == nullptr || creds == nullptr)
        return FALSE;
    if (xdrs->x_op == XDR_ENCODE && creds->ngroups < 0)
        return FALSE;
    if (!xdr_idkit_sid_t(xdrs, &creds->user, 0) || !xdr_idkit_sid_t(xdrs, &creds->group, 0))
        return FALSE;
    // The array routine allocates, frees and rolls back the group array.
    void *groups = creds->groups;
    uint32_t n = uint32_t(creds->ngroups);
    bool_t ok = xdr_ez_array(xdrs, &groups, &n, IDKIT_WHOLE_MAX_GROUPS, sizeof(idkit_sid_t),
                             reinterpret_cast<xdrproc_t>(xdr_idkit_sid_t), 0);
    if (xdrs->x_op != XDR_ENCODE) {
        creds->groups = static_cast<idkit_sid_t *>(groups);
        creds->ngroups = int32_t(n);
    }
    return ok;
}

}  // extern "C"
