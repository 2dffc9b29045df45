// What the fuzz targets share: reading an input from the front, fake Sun
// RPC transports that take their bytes from an input, and writing seeds.
#ifndef FUZZ_FUZZ_SUPPORT_H
#define FUZZ_FUZZ_SUPPORT_H

#include <rpc/rpc.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace fuzz {

using Bytes = std::vector<uint8_t>;

// The bytes of one input not consumed yet.
struct Input {
    const uint8_t *data;
    size_t size;
};

// The next byte, 0 when none is left.
uint8_t take_byte(Input *in);
// The next `n` bytes (fewer when fewer are left).
Input take(Input *in, size_t n);
// Up to the first newline (consumed, not returned), or everything.
std::string take_line(Input *in);

// Ends the run as a crash when a property does not hold.
void check(bool condition, const char *what);

// Silences the library's messages (a failed call reports itself).
void quiet_messages();

// A client whose calls encode the arguments into scratch memory (as a
// transport would), then fail with `outcome` or, when it is RPC_SUCCESS,
// decode the results from `reply`.
struct FakeClient {
    CLIENT client;
    Input reply;
    clnt_stat outcome;
    clnt_stat last;  // what the latest call gave, for clnt_geterr
};
void make_fake_client(FakeClient *fake, Input reply, clnt_stat outcome);

// A server transport whose arguments are decoded from `request` and whose
// replies are encoded into scratch memory.
struct FakeTransport {
    SVCXPRT xprt;
    Input request;
    int replies;      // replies sent
    int unencodable;  // of which could not be encoded
};
void make_fake_transport(FakeTransport *fake, Input request);

// The bytes of `object` as `routine` encodes it, after `prefix`.
Bytes encode(xdrproc_t routine, const void *object, Bytes prefix = {});

// Seed corpora.  A target that defines LLVMFuzzerInitialize calls this
// first: with VELMO_FUZZ_SEEDS=DIR in the environment, `write` puts the
// target's seeds into DIR and the program ends.
void seed_mode(void (*write)(const std::string &dir));
void write_seed(const std::string &dir, const std::string &name, const Bytes &bytes);

}  // namespace fuzz

#endif
