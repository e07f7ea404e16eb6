// The keyed hash of the session indexes (SipHash-1-3, 64-bit output). The
// request id carries the client's MAC address, which whoever sits at a switch
// port chooses: with a fixed hash they could fill one bucket and make every
// lookup walk it. A key drawn at start-up makes the buckets unpredictable.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace qzmod {

struct HashKey {
    uint64_t k0 = 0;
    uint64_t k1 = 0;
};

// A key from the system's random source (falls back to clock and addresses
// when that is not available).
HashKey new_hash_key();

namespace detail {

inline uint64_t rotl(uint64_t x, int b)
{
    return (x << b) | (x >> (64 - b));
}

inline void sip_round(uint64_t &v0, uint64_t &v1, uint64_t &v2, uint64_t &v3)
{
    v0 += v1; v1 = rotl(v1, 13); v1 ^= v0; v0 = rotl(v0, 32);
    v2 += v3; v3 = rotl(v3, 16); v3 ^= v2;
    v0 += v3; v3 = rotl(v3, 21); v3 ^= v0;
    v2 += v1; v1 = rotl(v1, 17); v1 ^= v2; v2 = rotl(v2, 32);
}

}  // namespace detail

inline uint64_t keyed_hash(const HashKey &key, const char *data, size_t length)
{
    uint64_t v0 = 0x736f6d6570736575ULL ^ key.k0;
    uint64_t v1 = 0x646f72616e646f6dULL ^ key.k1;
    uint64_t v2 = 0x6c7967656e657261ULL ^ key.k0;
    uint64_t v3 = 0x7465646279746573ULL ^ key.k1;
    const size_t whole = length - length % 8;
    for (size_t i = 0; i < whole; i += 8) {
        uint64_t m;
        memcpy(&m, data + i, 8);
        v3 ^= m;
        detail::sip_round(v0, v1, v2, v3);
        v0 ^= m;
    }
    uint64_t last = static_cast<uint64_t>(length & 0xFF) << 56;
    for (size_t i = whole; i < length; ++i)
        last |= static_cast<uint64_t>(static_cast<unsigned char>(data[i])) << (8 * (i - whole));
    v3 ^= last;
    detail::sip_round(v0, v1, v2, v3);
    v0 ^= last;
    v2 ^= 0xFF;
    for (int i = 0; i < 3; ++i)
        detail::sip_round(v0, v1, v2, v3);
    return v0 ^ v1 ^ v2 ^ v3;
}

}  // namespace qzmod
