// SID text, both ways.  The first byte chooses: text to read (a SID read
// from text prints as text that reads back as the same SID), or the bytes
// of a SID record to print (into a buffer of exactly the documented size;
// text that reads back prints the same again).
#include <cstdlib>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "host/idkit.h"

namespace {

// Prints into a heap buffer of IDKIT_SID_TEXT_MAX bytes, so that writing
// past it is caught.
std::string print(const idkit_sid_t &sid)
{
    char *buffer = static_cast<char *>(std::malloc(IDKIT_SID_TEXT_MAX));
    fuzz::check(idkit_sid_to_str(&sid, buffer) == buffer, "the text goes into the buffer");
    fuzz::check(std::memchr(buffer, '\0', IDKIT_SID_TEXT_MAX) != nullptr, "the text is terminated");
    std::string text(buffer);
    std::free(buffer);
    return text;
}

void read_text(const std::string &text)
{
    idkit_sid_t sid;
    if (idkit_sid_from_str(text.c_str(), &sid) != 0)
        return;
    std::string printed = print(sid);
    idkit_sid_t again;
    fuzz::check(idkit_sid_from_str(printed.c_str(), &again) == 0, "a printed SID reads back");
    fuzz::check(idkit_sid_eq(&sid, &again) != 0, "a printed SID reads back as the same SID");
    fuzz::check(print(again) == printed, "a SID prints the same after a round trip");
}

void print_record(fuzz::Input in)
{
    idkit_sid_t sid{};
    std::memcpy(&sid, in.data, in.size < sizeof sid ? in.size : sizeof sid);
    std::string printed = print(sid);
    idkit_sid_t again;
    if (idkit_sid_from_str(printed.c_str(), &again) == 0)
        fuzz::check(print(again) == printed, "printed text that reads back prints the same");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in{data, size};
    if (fuzz::take_byte(&in) % 2 == 0)
        read_text(std::string(reinterpret_cast<const char *>(in.data), in.size));
    else
        print_record(in);
    return 0;
}
