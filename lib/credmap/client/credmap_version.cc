// Identification of the library: version line and notices.
#include "host/vox.h"
#include "velmo/credmap.h"

namespace {

const char kVersion[] = VELMO_VERSION;
const char kBuildDate[] = VELMO_BUILD_DATE;
const char kFormat[] = "%-*s %s (%s)\n";

const char *const kNotices[] = {
    "libvelmocredmap " VELMO_VERSION,
    "Copyright (c) 2026 the libvelmocredmap developers.",
    "Maps user and group credentials between UNIX hosts and Windows hosts.",
    nullptr,
};

}  // namespace

extern "C" {

VELMO_API void libvelmocredmap_print_verid(void)
{
    vox_print(VOX_PLAIN, kFormat, -1, 33, "libvelmocredmap", kVersion, kBuildDate);
}

VELMO_API int libvelmocredmap_sprintf_verid(char *buffer)
{
    return vox_sprintf(buffer, kFormat, -1, 33, "libvelmocredmap", kVersion, kBuildDate);
}

VELMO_API const char *const *libvelmocredmap_notices(void)
{
    return kNotices;
}
}
