/* The library's message catalogue.  Code names a message by its row index;
 * the message service receives the whole record and maps rows to catalogue
 * numbers itself.  The table also carries the rows of the server program and
 * of the RPC scaffolding, so that every program of the service can print
 * from the one exported record. */
#include "velmo/credmap_msg.h"

namespace {

const char *const kTexts[CREDMAP_MSG_ROWS] = {
    /* 0 */ "----------calls--c/s--rt/call\n",
    /* 1 */ "%-10s %4d %5.2f %4.3f %3.0f%%\n",
    /* 2 */ "Totals     %4d %5.2f       %3.0f%%\n",
    /* 3 */ "usage:%s [-d]\n",
    /* 4 */ "Running\n",
    /* 5 */ "Exiting, status = %d\n",
    /* 6 */ "unable to free arguments.\n",
    /* 7 */ "can't register service\n",
    /* 8 */ "socket: %s",
    /* 9 */ "bind: %s",
    /* 10 */ "getsockname: %s",
    /* 11 */ "can't create a socket\n",
    /* 12 */ "Unable to find hubd\n",
    /* 13 */ "Problem starting credmap_server:%s\n",
    /* 14 */ "Unable to contact credmap svr:%s\n",
    /* 15 */ "See hubd or credmap error logs on host %s\n",
    /* 16 */ "Timed out trying to start credmap_server:%s\n",
    /* 17 */ "Can't get credentials for use on host %s; using \"nobody\"\n",
    /* 18 */ "\"%s\"-type SID is not supported by credmap_server\n",
    /* 19 */ "AllowedDomain=%s\n",
    /* 20 */ "User or group \"%s\" is not in the accepted domain. Rejected.\n",
    /* 21 */ "initialization failed: %s\n",
    /* 22 */ "AllowedDomainList=%s\n",
    /* 23 */ "AllowedDomainList is empty. Unix clients (Non-Domain-Qualified name) will not be supported.\n",
    /* 24 */ "Unix clients (Non-Domain-Qualified name \"%s\") support is turned off.\n",
    /* 25 */ "Unix user \"%s\" is not accepted.\n",
    /* 26 */ "Unix group \"%s\" is not accepted.\n",
    /* 27 */ "The support of Unix and pre-V4.0 Windows clients is turned off.\n",
    /* 28 */ "Unable to map the local credentials to the remote credentials: %s\n",
    /* 29 */ "The given credentials are not recognized by the remote host.\n",
    /* 30 */ "More information might be available in hubd or credmap logs on host: \"%s\".\n",
    /* 31 */ "Cannot determine existence of configuration file: %s: %s\n",
    /* 32 */ "Cannot determine existence of constraint file: %s: %s\n",
    /* 33 */ "Cannot open file for reading: %s: %s\n",
    /* 34 */ "Error occurred reading from file: %s: %s\n",
    /* 35 */ "Group constraints defined without User constraints\n",
    /* 36 */ "Constraint parse error: %s\n",
    /* 37 */ "Unable to map group ID \"%s\" from remote host %s to local ID: %s\n",
    /* 38 */ "Unable to map user ID \"%s\" from remote host %s to local ID: %s\n",
    /* 39 */ "Unable to map the remote credentials to local credentials: %s\n",
    /* 40 */ "Unable to map local group ID \"%s\" to remote host %s: %s\n",
    /* 41 */ "Unable to map local user ID \"%s\" to remote host %s: %s\n",
};

/* Catalogue number 4 is not used, so from row 3 on the catalogue number is
 * the row index plus 2. */
const uint16_t kNumbers[CREDMAP_MSG_ROWS] = {
    1,  2,  3,  5,  6,  7,  8,  9,  10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21, 22,
    23, 24, 25, 26, 27, 28, 29, 30, 31, 32, 33, 34, 35, 36, 37, 38, 39, 40, 41, 42, 43,
};

}  // namespace

extern "C" {

/* Spelled extern: a namespace-scope const would otherwise be internal, and
 * GCC would ignore the visibility attribute. */
VELMO_API extern const vox_msg_table_t _credmap_credmap_msg_table = {
    "credmap_lib", "credmap", CREDMAP_MSG_ROWS, CREDMAP_MSG_ROWS, 0, kTexts, kNumbers,
};

}  // extern "C"
