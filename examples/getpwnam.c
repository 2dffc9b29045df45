/* Looks a user up on a remote host's credmap_server and prints the name
 * and SID the server gives, as the per-thread record holds them.
 *
 *     cc getpwnam.c $(pkg-config --cflags --libs velmocredmap) -o getpwnam
 *     VELMO_HOSTS=hosts ./getpwnam winhost alice
 */
#include <stdio.h>

#include <velmo/credmap.h>

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: %s HOST USER\n", argv[0]);
        return 2;
    }
    credmap_handle_t *handle = NULL;
    core_status_t status = credmap_get_handle(argv[1], &handle);
    if (status != 0) {
        fprintf(stderr, "%s: %s\n", argv[1], core_strerror(status));
        return 1;
    }
    unsigned int attributes = 0;
    credmap_get_attribute(handle, &attributes);
    printf("server attributes: 0x%x (%s NT SIDs)\n", attributes,
           (attributes & CREDMAP_ATTR_NT_SID) ? "accepts" : "refuses");

    idkit_passwd_sid_t pw;
    status = credmap_svr_getpwnam(handle, argv[2], &pw);
    if (status == 0) {
        char sid[IDKIT_SID_TEXT_MAX];
        printf("%s %s\n", pw.user.name, idkit_sid_to_str(&pw.user.sid, sid));
    } else {
        fprintf(stderr, "%s: %s\n", argv[2], core_strerror(status));
    }
    credmap_free_handle(handle);
    return status == 0 ? 0 : 1;
}
