// The text form of access lists and role maps.  The first byte chooses an
// access list or a role map; the rest is the text.  What parses prints as
// text that parses again and prints the same; what does not names a line
// and a column of the text.
#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "host/core.h"

namespace {

template<typename Container>
using Parse = core_status_t (*)(const char *, Container *, core_text_error_t *);

// Parses, prints and releases; null when the text does not parse.
template<typename Container>
char *parse_and_print(const char *text, core_text_error_t *error, Parse<Container> parse, char *(*print)(Container),
                      void (*release)(Container))
{
    Container c = nullptr;
    if (parse(text, &c, error) != CORE_OK) {
        fuzz::check(c == nullptr, "a failed parse leaves nothing");
        return nullptr;
    }
    char *printed = print(c);
    release(c);
    fuzz::check(printed != nullptr, "what parses prints");
    return printed;
}

char *acl(const char *text, core_text_error_t *error)
{
    return parse_and_print<core_sid_acl_t>(text, error, core_sid_acl_from_text, core_sid_acl_to_text,
                                           core_sid_acl_free);
}

char *rolemap(const char *text, core_text_error_t *error)
{
    return parse_and_print<core_rolemap_acl_t>(text, error, core_rolemap_acl_from_text, core_rolemap_acl_to_text,
                                               core_rolemap_acl_free);
}

size_t lines_of(const std::string &text)
{
    size_t lines = 1;
    for (char c : text)
        lines += c == '\n';
    return lines;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in{data, size};
    auto form = fuzz::take_byte(&in) % 2 == 0 ? acl : rolemap;
    std::string text(reinterpret_cast<const char *>(in.data), in.size);
    core_text_error_t error{};
    char *printed = form(text.c_str(), &error);
    if (printed == nullptr) {
        fuzz::check(error.line >= 1 && error.line <= lines_of(text) && error.column >= 1,
                    "an error names a line of the text");
        return 0;
    }
    char *again = form(printed, &error);
    fuzz::check(again != nullptr, "printed text parses");
    fuzz::check(std::string(again) == printed, "printed text prints the same");
    std::free(printed);
    std::free(again);
    return 0;
}
