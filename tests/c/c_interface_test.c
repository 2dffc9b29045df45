/* The public headers as a C11 program sees them. */
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
#include <velmo/credmap.h>

int main(void)
{
    char lower[16];
    txt_cvt_case_string("WinHost", TXT_CASE_LOWER, sizeof lower, lower);
    if (strcmp(lower, "winhost") != 0) {
        fprintf(stderr, "lower case: %s\n", lower);
        return 1;
    }
    puts("1 passed, 0 failed");
    return 0;
}
