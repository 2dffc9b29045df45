/* The public headers as a C11 program sees them: every header included,
 * records used by value, a few calls of the library and its services. */
#include <stdio.h>
#include <string.h>

#include <host/core.h>
#include <host/exc.h>
#include <host/fxtab.h>
#include <host/hostq.h>
#include <host/hubd.h>
#include <host/idkit.h>
#include <host/mem.h>
#include <host/mthread.h>
#include <host/osw.h>
#include <host/rpk.h>
#include <host/txt.h>
#include <host/velmo_xdr.h>
#include <host/vox.h>
#include <tls_impl.h>
#include <velmo/credmap.h>

static int failures;
static int checks;

#define CHECK(cond)                                                                                                    \
    do {                                                                                                               \
        ++checks;                                                                                                      \
        if (!(cond)) {                                                                                                 \
            ++failures;                                                                                                \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond);                                   \
        }                                                                                                              \
    } while (0)

static void sid_text_round_trip(void)
{
    idkit_sid_t sid, back;
    char text[IDKIT_SID_TEXT_MAX];
    idkit_uid_to_sid(&sid, 1000);
    CHECK(strcmp(idkit_sid_to_str(&sid, text), "S-1-22-1-1000") == 0);
    CHECK(idkit_sid_from_str(text, &back) == 0 && idkit_sid_eq(&sid, &back));
    CHECK(idkit_sid_to_uid(&sid) == 1000);
}

/* A protocol message through an XDR memory stream and back. */
static void message_round_trip(void)
{
    char buffer[512];
    XDR xdrs;
    credmap_lookup_user_sid_req_t out, in;
    memset(&out, 0, sizeof out);
    memset(&in, 0, sizeof in);
    out.hdr.uniquifier = 42;
    out.hdr.seqno = 7;
    out.name = "KORVANTIS\\alice";
    out.option = 1;
    xdrmem_create(&xdrs, buffer, sizeof buffer, XDR_ENCODE);
    CHECK(xdr_credmap_lookup_user_sid_req_t(&xdrs, &out));
    xdrmem_create(&xdrs, buffer, sizeof buffer, XDR_DECODE);
    CHECK(xdr_credmap_lookup_user_sid_req_t(&xdrs, &in));
    CHECK(in.hdr.seqno == 7 && in.option == 1 && in.name != NULL && strcmp(in.name, out.name) == 0);
    xdr_free((xdrproc_t)xdr_credmap_lookup_user_sid_req_t, (char *)&in);
    CHECK(in.name == NULL);
}

static void catalogue_and_statuses(void)
{
    CHECK(_credmap_credmap_msg_table.nrows == CREDMAP_MSG_ROWS);
    CHECK(strcmp(_credmap_credmap_msg_table.texts[CREDMAP_MSG_UNABLE_TO_CONTACT],
                 "Unable to contact credmap svr:%s\n") == 0);
    CHECK(_credmap_credmap_msg_table.numbers[41] == 43);
    CHECK(strcmp(core_strerror(CORE_E_BAD_ARGUMENT), "unknown status") != 0);
}

static void hash_table(void)
{
    fxtab_t table = fxtab_create_with_fns(4, 8, 1, sizeof(idkit_sid_t), idkit_sid_hash_fn, idkit_sid_keycmp_fn);
    void *slot = NULL;
    int aux = 0;
    idkit_sid_t key;
    idkit_gid_to_sid(&key, 20);
    CHECK(table != NULL);
    CHECK(fxtab_enter(table, &key, &aux, &slot) == 1 && slot != NULL && aux == 1);
    memcpy(slot, "payload", 8);
    CHECK(fxtab_lookup(table, &key, &aux, &slot) == 1 && memcmp(slot, "payload", 8) == 0);
    fxtab_destroy(table);
}

int main(void)
{
    char lower[16];
    txt_cvt_case_string("WinHost", TXT_CASE_LOWER, sizeof lower, lower);
    CHECK(strcmp(lower, "winhost") == 0);
    sid_text_round_trip();
    message_round_trip();
    catalogue_and_statuses();
    hash_table();
    CHECK(credmap_get_attribute(NULL, NULL) == CORE_E_BAD_ARGUMENT);
    printf("c interface: %d passed, %d failed\n", checks - failures, failures);
    return failures == 0 ? 0 : 1;
}
