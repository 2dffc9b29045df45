// SID text read (the first byte even) or the bytes of a SID record printed, into a buffer of exactly
// IDKIT_SID_TEXT_MAX bytes.  A SID read prints as text that reads back the same; printed text that reads back prints
// the same.
#include <algorithm>
#include <cstring>
#include <string>

#include "fuzz_support.h"
#include "host/idkit.h"

static std::string print(const idkit_sid_t &sid)
{
    std::vector<char> buffer(IDKIT_SID_TEXT_MAX);
    fuzz::check(idkit_sid_to_str(&sid, buffer.data()) == buffer.data(), "the text goes into the buffer");
    fuzz::check(std::memchr(buffer.data(), '\0', buffer.size()) != nullptr, "the text is terminated");
    return buffer.data();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzz::Input in{data, size};
    bool text = in.byte() % 2 == 0;
    idkit_sid_t sid{}, again{};
    if (!text)
        std::memcpy(&sid, in.data, std::min(in.size, sizeof sid));
    else if (idkit_sid_from_str(std::string(reinterpret_cast<const char *>(in.data), in.size).c_str(), &sid) != 0)
        return 0;
    std::string printed = print(sid);
    if (idkit_sid_from_str(printed.c_str(), &again) != 0) {
        fuzz::check(!text, "a printed SID reads back");
        return 0;
    }
    fuzz::check(!text || idkit_sid_eq(&sid, &again) != 0, "a printed SID reads back as the same SID");
    fuzz::check(print(again) == printed, "a SID prints the same after a round trip");
    return 0;
}
