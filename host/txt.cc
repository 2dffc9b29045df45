// String helpers.
#include "host/txt.h"

#include <cctype>
#include <cstring>

extern "C" {

VELMO_API int txt_cvt_case_string(const char *source, int mode, size_t size, char *destination)
{
    if (destination == nullptr || size == 0)
        return source != nullptr && source[0] != '\0';
    size_t i = 0;
    for (; source != nullptr && source[i] != '\0' && i + 1 < size; ++i) {
        unsigned char c = static_cast<unsigned char>(source[i]);
        destination[i] = static_cast<char>(mode == TXT_CASE_UPPER ? std::toupper(c) : std::tolower(c));
    }
    destination[i] = '\0';
    return source != nullptr && source[i] != '\0';
}

VELMO_API int txt_cpy_buf(char *destination, const char *source, size_t size)
{
    if (destination == nullptr || size == 0)
        return source != nullptr && source[0] != '\0';
    size_t length = source == nullptr ? 0 : std::strlen(source);
    size_t n = length < size ? length : size - 1;
    if (n != 0)
        std::memcpy(destination, source, n);
    destination[n] = '\0';
    return n < length;
}

VELMO_API int txt_find_char_from(const char *string, size_t start, const char *set, size_t *position, int *found)
{
    int hit = 0;
    if (string != nullptr && set != nullptr && start <= std::strlen(string)) {
        size_t offset = std::strcspn(string + start, set);
        if (string[start + offset] != '\0') {
            hit = 1;
            if (position != nullptr)
                *position = start + offset;
        }
    }
    if (found != nullptr)
        *found = hit;
    return hit;
}
}
