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

#define CHECK(cond)                                                                                                    \
    ((cond) ? (void)0 : (void)(++failures, fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #cond)))

int main(void)
{
    char text[IDKIT_SID_TEXT_MAX], buffer[VOX_LINE_MAX];
    idkit_sid_t sid;
    idkit_uid_to_sid(&sid, 1000);
    CHECK(strcmp(idkit_sid_to_str(&sid, text), "S-1-22-1-1000") == 0);
    CHECK(strcmp(_credmap_credmap_msg_table.texts[CREDMAP_MSG_UNABLE_TO_CONTACT],
                 "Unable to contact credmap svr:%s\n") == 0);
    CHECK(credmap_get_attribute(NULL, NULL) == CORE_E_BAD_ARGUMENT);
    /* The version line: the name in a fixed column, the version, the build. */
    int n = libvelmocredmap_sprintf_verid(buffer);
    CHECK(n > 33 && strncmp(buffer, "libvelmocredmap                   ", 34) == 0 && buffer[n - 1] == '\n');
    CHECK(strstr(buffer, " (") != NULL);
    CHECK(libvelmocredmap_notices() != NULL && libvelmocredmap_notices()[0] != NULL);
    printf("c interface: %d failed\n", failures);
    return failures == 0 ? 0 : 1;
}
