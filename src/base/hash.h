// A keyed hash for values an attacker chooses (source addresses): a secret
// random seed picks the function, so nobody can choose keys that collide.
#pragma once

#include <cstdint>

namespace qv {

// Multiply-shift hashing, (a * x + b) >> (64 - bits) with a random odd a and
// random b: strongly universal for 32-bit keys, and one multiply per lookup.
class SeededHash {
public:
    SeededHash() = default;
    SeededHash(uint64_t seed, int bits)
        : a_(mix(seed) | 1u), b_(mix(seed ^ 0x9e3779b97f4a7c15ull)), shift_(64 - bits) {}
    uint32_t operator()(uint32_t x) const {
        return shift_ >= 64 ? 0u : static_cast<uint32_t>((a_ * x + b_) >> shift_);
    }

    // splitmix64's finaliser: spreads a seed over all 64 bits.
    static uint64_t mix(uint64_t z) {
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }

private:
    uint64_t a_ = 1;
    uint64_t b_ = 0;
    int shift_ = 64;
};

// A seed from the system's random source.
uint64_t random_seed();

}  // namespace qv
