/* libvelmocredmap: maps user and group credentials between this UNIX host
 * and remote hosts.
 *
 * This header brings the whole public interface: the credential records and
 * statuses of the host services it uses, the protocol of credmap_server and
 * the message catalogue. */
#ifndef VELMO_CREDMAP_H
#define VELMO_CREDMAP_H

#include "../host/core.h"
#include "../host/idkit.h"
#include "../host/velmo_export.h"
#include "credmap_msg.h"
#include "credmap_prot.h"

VELMO_BEGIN_DECLS

/* Failure modes of the access-list conversions. */
#define CREDMAP_CONVERT_STRICT 0
#define CREDMAP_CONVERT_DROP 1
#define CREDMAP_CONVERT_KEEP 2

VELMO_END_DECLS

#endif
