// XDR helpers shared by the credmap client and server: 64-bit words, time
// stamps and counted arrays.
#include "host/velmo_xdr.h"

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

// Element routines take the stream, the element and a reserved word.
using element_proc = bool_t (*)(XDR *, void *, u_int);

bool_t run_element(xdrproc_t routine, XDR *xdrs, void *element)
{
    return reinterpret_cast<element_proc>(routine)(xdrs, element, 0);
}

// Lets the element routine release whatever the first `count` elements of
// `array` own, the way xdr_free does for a single object.
void free_elements(char *array, uint32_t count, uint32_t element_size, xdrproc_t routine)
{
    XDR freeing;
    std::memset(&freeing, 0, sizeof freeing);
    freeing.x_op = XDR_FREE;
    for (uint32_t i = 0; i < count; ++i)
        run_element(routine, &freeing, array + static_cast<size_t>(i) * element_size);
}

// Makes room for element `index` of an array this module allocates.  The
// array grows as elements arrive (doubling from a small start) rather than
// by the count the stream claims: a hostile count of two billion then costs
// what the stream really carries, not a huge allocation up front.
bool grow(char **elements, uint32_t *capacity, uint32_t index, uint32_t total, uint32_t element_size)
{
    if (index < *capacity)
        return true;
    uint32_t wanted = *capacity == 0 ? 16 : (*capacity > total / 2 ? total : *capacity * 2);
    if (wanted > total)
        wanted = total;
    if (static_cast<size_t>(wanted) > SIZE_MAX / element_size)
        return false;
    char *bigger = static_cast<char *>(std::realloc(*elements, static_cast<size_t>(wanted) * element_size));
    if (bigger == nullptr)
        return false;
    std::memset(bigger + static_cast<size_t>(*capacity) * element_size, 0,
                static_cast<size_t>(wanted - *capacity) * element_size);
    *elements = bigger;
    *capacity = wanted;
    return true;
}

bool_t decode_array(XDR *xdrs, void **array, uint32_t *count, uint32_t max, uint32_t element_size, xdrproc_t routine)
{
    u_int n = 0;
    if (!xdr_u_int(xdrs, &n) || n > max)
        return FALSE;
    char *elements = static_cast<char *>(*array);
    bool allocated = elements == nullptr;
    uint32_t capacity = allocated ? 0 : n;
    for (uint32_t i = 0; i < n; ++i) {
        bool room = grow(&elements, &capacity, i, n, element_size);
        if (room && run_element(routine, xdrs, elements + static_cast<size_t>(i) * element_size))
            continue;
        // A caller's array stays the caller's; one of ours is released with
        // whatever its elements took, the failed one included (it was zeroed).
        if (allocated) {
            if (elements != nullptr)
                free_elements(elements, room ? i + 1 : i, element_size, routine);
            std::free(elements);
            *array = nullptr;
            *count = 0;
        }
        return FALSE;
    }
    *array = elements;
    *count = n;
    return TRUE;
}

// Reads a text of `size` bytes (and its padding) into a new allocation that
// grows as the bytes arrive, like the arrays above: a hostile length of four
// billion in a short request then costs what the stream really carries,
// not a huge allocation up front.
char *decode_new_text(XDR *xdrs, u_int size)
{
    constexpr uint64_t kFirstPart = 4096;
    char *text = nullptr;
    uint64_t have = 0;
    do {
        uint64_t next = std::min<uint64_t>(size, std::max(kFirstPart, 2 * have));
        char *bigger = static_cast<char *>(std::realloc(text, next + 1));
        if (bigger == nullptr || (next > have && !XDR_GETBYTES(xdrs, bigger + have, u_int(next - have)))) {
            std::free(bigger != nullptr ? bigger : text);
            return nullptr;
        }
        text = bigger;
        have = next;
    } while (have < size);
    text[size] = '\0';
    char padding[BYTES_PER_XDR_UNIT];
    u_int rest = size % BYTES_PER_XDR_UNIT;
    if (rest != 0 && !XDR_GETBYTES(xdrs, padding, BYTES_PER_XDR_UNIT - rest)) {
        std::free(text);
        return nullptr;
    }
    return text;
}

}  // namespace

extern "C" {

VELMO_API bool_t velmo_xdr_u_long(XDR *xdrs, uint64_t *value, u_int /*flags*/)
{
    if (xdrs == nullptr || value == nullptr)
        return FALSE;
    return xdr_u_int64_t(xdrs, value);
}

VELMO_API bool_t xdr_time_t(XDR *xdrs, time_t *value, u_int /*flags*/)
{
    if (xdrs == nullptr || value == nullptr)
        return FALSE;
    int64_t wire = static_cast<int64_t>(*value);
    if (!xdr_int64_t(xdrs, &wire))
        return FALSE;
    if (xdrs->x_op == XDR_DECODE)
        *value = static_cast<time_t>(wire);
    return TRUE;
}

VELMO_API bool_t xdr_ez_array(XDR *xdrs, void **array, uint32_t *count, uint32_t max, uint32_t element_size,
                              xdrproc_t element_routine, u_int /*flags*/)
{
    if (xdrs == nullptr || array == nullptr || count == nullptr || element_size == 0 || element_routine == nullptr)
        return FALSE;
    switch (xdrs->x_op) {
    case XDR_ENCODE: {
        u_int n = *count;
        if (n > max || (n > 0 && *array == nullptr) || !xdr_u_int(xdrs, &n))
            return FALSE;
        char *elements = static_cast<char *>(*array);
        for (uint32_t i = 0; i < n; ++i)
            if (!run_element(element_routine, xdrs, elements + static_cast<size_t>(i) * element_size))
                return FALSE;
        return TRUE;
    }
    case XDR_DECODE:
        return decode_array(xdrs, array, count, max, element_size, element_routine);
    case XDR_FREE:
        // The count is cleared with the array so that the pair stays consistent.
        if (*array != nullptr) {
            free_elements(static_cast<char *>(*array), *count, element_size, element_routine);
            std::free(*array);
            *array = nullptr;
        }
        *count = 0;
        return TRUE;
    }
    return FALSE;
}

}  // extern "C"

extern "C" {

VELMO_API bool_t velmo_xdr_opaque(XDR *xdrs, char *bytes, u_int size)
{
    if (xdrs->x_op != XDR_DECODE)
        return xdr_opaque(xdrs, bytes, size);
    char padding[BYTES_PER_XDR_UNIT];
    u_int rest = size % BYTES_PER_XDR_UNIT;
    return (size == 0 || XDR_GETBYTES(xdrs, bytes, size)) &&
           (rest == 0 || XDR_GETBYTES(xdrs, padding, BYTES_PER_XDR_UNIT - rest));
}

// Like xdr_string, a decoded text of a null pointer is allocated with
// malloc and released by the free direction.
VELMO_API bool_t velmo_xdr_string(XDR *xdrs, char **text, u_int max)
{
    if (xdrs->x_op != XDR_DECODE)
        return xdr_string(xdrs, text, max);
    u_int size = 0;
    if (!xdr_u_int(xdrs, &size) || size > max || size == UINT_MAX)
        return FALSE;
    if (*text != nullptr) {
        (*text)[size] = '\0';
        return velmo_xdr_opaque(xdrs, *text, size);
    }
    *text = decode_new_text(xdrs, size);
    return *text != nullptr;
}
}
