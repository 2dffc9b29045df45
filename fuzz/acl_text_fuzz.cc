// Access-list or role-map text (the first byte chooses): what parses prints as text that parses again and prints
// the same; what does not names a line and a column of the text.
#include <algorithm>
#include <string>

#include "fuzz_support.h"
#include "host/core.h"

template<typename List>
static void reprint(std::string text, core_status_t (*parse)(const char *, List *, core_text_error_t *),
                    char *(*print)(List), void (*release)(List))
{
    std::string printed[2];
    for (int pass = 0; pass < 2; ++pass) {
        List list = nullptr;
        core_text_error_t error{};
        if (parse(text.c_str(), &list, &error) != CORE_OK) {
            fuzz::check(pass == 0, "printed text parses");
            fuzz::check(list == nullptr, "a failed parse leaves nothing");
            fuzz::check(error.line >= 1 && error.line <= 1 + std::count(text.begin(), text.end(), '\n') &&
                            error.column >= 1,
                        "an error names a line of the text");
            return;
        }
        char *p = print(list);
        release(list);
        fuzz::check(p != nullptr, "what parses prints");
        text = printed[pass] = p;
        std::free(p);
    }
    fuzz::check(printed[0] == printed[1], "printed text prints the same");
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in{data, size};
    bool acl = in.byte() % 2 == 0;
    std::string text(reinterpret_cast<const char *>(in.data), in.size);
    if (acl)
        reprint(text, core_sid_acl_from_text, core_sid_acl_to_text, core_sid_acl_free);
    else
        reprint(text, core_rolemap_acl_from_text, core_rolemap_acl_to_text, core_rolemap_acl_free);
    return 0;
}
