// The library's remote operations on a hostile server's replies.  Input: the operation, the transport's outcome
// (low two bits; bit 2 gives the server the NT attribute), then the reply.
#include <cstring>

#include "fuzz_support.h"
#include "host/vox.h"
#include "velmo/credmap.h"

static idkit_sid_t sid(const char *text)
{
    idkit_sid_t sid{};
    idkit_sid_from_str(text, &sid);
    return sid;
}

static char kAlice[] = "alice", kStaff[] = "staff", kEngineering[] = "engineering", kDomain[] = "KORVANTIS";
static char *kWholeGroups[] = {kStaff, kEngineering};
static const idkit_sid_t kUser = sid("S-1-5-21-3623811015-3361044348-30300820-1104");
static const idkit_sid_t kGroup = sid("S-1-5-21-3623811015-3361044348-30300820-1201");
static const idkit_sid_credentials_t kSids{kUser, kGroup, 1, {kGroup}};
static const idkit_string_credentials_t kNames{kAlice, kStaff, 1, 0, {kEngineering}};
static const idkit_whole_string_credentials_t kWholeNames{kAlice, kStaff, 2, kWholeGroups};
static const idkit_credentials_t kIds{1104, 1201, 1, 0, {1202}};

// The client's calls encode the arguments, then fail with `outcome` or decode the results from `reply`.
static fuzz::Input reply;
static clnt_stat outcome, last;
static const __rpc_client::clnt_ops kClientOps = {
    .cl_call =
        [](CLIENT *, rpcproc_t, xdrproc_t xargs, void *args, xdrproc_t xres, void *res, timeval) {
            if (!fuzz::encode(xargs, args))
                return last = RPC_CANTENCODEARGS;
            if (outcome != RPC_SUCCESS)
                return last = outcome;
            return last = fuzz::decode(xres, reply, res) ? RPC_SUCCESS : RPC_CANTDECODERES;
        },
    .cl_geterr = [](CLIENT *, rpc_err *error) { error->re_status = last; },
    .cl_freeres = [](CLIENT *, xdrproc_t xres, void *res) -> bool_t {
        xdr_free(xres, res);
        return TRUE;
    },
};

template<typename Record>
Record record_of(bool_t (*)(XDR *, Record *, u_int));

// Calls `op` with `arg`, then releases what it handed over.  What a success hands over must encode as a record of its
// kind (`routine`), as a caller's use would: every string is read, every count is within bounds.
template<auto op, auto arg, auto routine, auto release = nullptr>
static void call(credmap_handle_t *h)
{
    decltype(record_of(routine)) record{};
    if (op(h, arg, &record) == CORE_OK)
        fuzz::check(fuzz::encode(reinterpret_cast<xdrproc_t>(routine), &record), "what is handed over encodes");
    if constexpr (release != nullptr)
        release(h, &record);
}

// The SID text goes straight into the caller's buffer, whatever the status.
template<auto op, auto name>
static void sid_text(credmap_handle_t *h)
{
    char text[CREDMAP_STRING_MAX + 1] = "";
    op(h, name, 0, text);
    fuzz::check(std::memchr(text, '\0', sizeof text) != nullptr, "the SID text is terminated");
}

static void user_sid_credentials(credmap_handle_t *h)
{
    credmap_user_sid_credentials_t out{};
    if (credmap_lookup_user_sid_credentials(h, kAlice, &out) == CORE_OK) {
        fuzz::check(out.ngroups == 0 || out.groups != nullptr, "groups counted are there");
        for (uint32_t i = 0; i < out.ngroups; ++i)
            fuzz::check(out.groups[i].name != nullptr, "every group has a name");
    }
    credmap_lookup_user_sid_credentials_free(h, &out);
}

static void free_whole(credmap_handle_t *, idkit_whole_credentials_t *whole)
{
    idkit_free_whole_credentials(whole);
}

static void (*const kOperations[])(credmap_handle_t *) = {
    call<credmap_svr_get_credentials, kAlice, xdr_idkit_credentials_t>,
    call<credmap_lookup_string_credentials, &kNames, xdr_idkit_credentials_t>,
    sid_text<credmap_lookup_user_sid, kAlice>,
    sid_text<credmap_lookup_domain_sid, kDomain>,
    user_sid_credentials,
    call<credmap_svr_getpwnam, kAlice, xdr_idkit_passwd_sid_t>,
    call<credmap_svr_getpwuid, 1104, xdr_idkit_passwd_sid_t>,
    call<credmap_svr_getpwsid, &kUser, xdr_idkit_passwd_sid_t>,
    call<credmap_svr_getgrnam, kStaff, xdr_idkit_group_sid_t>,
    call<credmap_svr_getgrgid, 1201, xdr_idkit_group_sid_t>,
    call<credmap_svr_getgrsid, &kGroup, xdr_idkit_group_sid_t>,
    call<credmap_lookup_credentials, &kIds, xdr_idkit_string_credentials_t, credmap_lookup_credentials_free>,
    call<credmap_lookup_string_credentials_sid, &kNames, xdr_idkit_sid_credentials_t>,
    call<credmap_lookup_sid_credentials, &kSids, xdr_idkit_string_credentials_t, credmap_lookup_sid_credentials_free>,
    call<credmap_lookup_whole_string_credentials, &kWholeNames, xdr_idkit_whole_credentials_t, free_whole>,
    credmap_exit,
};

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    vox_set_sink([](int, const char *, const char *, void *) {}, nullptr);  // a failed call reports itself
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static const clnt_stat kOutcomes[] = {RPC_SUCCESS, RPC_PROCUNAVAIL, RPC_TIMEDOUT, RPC_CANTRECV};
    fuzz::Input in{data, size};
    uint8_t operation = in.byte(), transport = in.byte();
    reply = in;
    outcome = kOutcomes[transport & 3];
    last = RPC_SUCCESS;
    CLIENT client{.cl_ops = const_cast<__rpc_client::clnt_ops *>(&kClientOps)};
    credmap_handle_t handle{.conn = {.sock = -1, .clnt = &client},
                            .attributes = (transport & 4) != 0 ? CREDMAP_ATTR_NT_SID : 0u};
    kOperations[operation % std::size(kOperations)](&handle);
    return 0;
}
