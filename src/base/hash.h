// A keyed hash for values an attacker chooses (source addresses): a secret
// random seed picks the function, so nobody can choose keys that collide.
#pragma once

#include <cstdint>
#include <cstring>

namespace qv {

// Multiply-add-shift over the 32-bit words of a key of up to kMaxWords words:
// (a0*x0 + a1*x1 + ... + b) mod 2^64 >> (64 - bits), with random 64-bit a_i
// and b. Strongly universal for vectors of one length, so keys that differ
// in a few bits only (addresses of one /64) spread as well as random ones.
class SeededHash {
    static constexpr uint64_t kGamma = 0x9e3779b97f4a7c15ull;

public:
    SeededHash() = default;
    // Enough for a 256-byte text and its length.
    static constexpr int kMaxWords = 65;

    SeededHash(uint64_t seed, int bits) : b_(mix(seed)), shift_(64 - bits) {
        for (int i = 0; i < kMaxWords; ++i) a_[i] = mix(seed + static_cast<uint64_t>(i + 1) * kGamma) | 1u;
    }
    // A 128-bit key as its two 64-bit halves, and a tag (an address
    // family) as a fifth word of the key.
    uint32_t operator()(uint64_t lo, uint64_t hi, uint32_t tag) const {
        const uint64_t h = a_[0] * (lo & 0xffffffffu) + a_[1] * (lo >> 32) +
                           a_[2] * (hi & 0xffffffffu) + a_[3] * (hi >> 32) + a_[4] * tag + b_;
        return top(h);
    }
    // A key of n 32-bit words, n at most kMaxWords.
    uint32_t words(const uint32_t* x, int n) const {
        uint64_t h = b_;
        for (int i = 0; i < n; ++i) h += a_[i] * x[i];
        return top(h);
    }
    // A text of at most 256 bytes, as zero-filled 32-bit words and its
    // length (so "a" and "a\0" differ).
    uint32_t text(const char* p, size_t n) const { return top(text_sum(p, n)); }

    // splitmix64's finaliser: spreads a seed over all 64 bits.
    static uint64_t mix(uint64_t z) {
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return z ^ (z >> 31);
    }

    // 64 well-mixed bits of a text of any length, 256 bytes at a time, for
    // sketches that read every bit.
    uint64_t text64(const char* p, size_t n) const {
        constexpr size_t kChunk = 4 * (kMaxWords - 1);
        uint64_t h = mix(text_sum(p, n < kChunk ? n : kChunk));
        for (size_t at = kChunk; at < n; at += kChunk) {
            h = mix(h + text_sum(p + at, n - at < kChunk ? n - at : kChunk));
        }
        return h;
    }

private:
    uint64_t text_sum(const char* p, size_t n) const {
        if (n > 4 * (kMaxWords - 1)) n = 4 * (kMaxWords - 1);
        uint64_t h = b_ + a_[kMaxWords - 1] * n;
        size_t i = 0;
        for (; i + 4 <= n; i += 4) {
            uint32_t w;
            std::memcpy(&w, p + i, 4);
            h += a_[i / 4] * w;
        }
        if (i < n) {
            uint32_t w = 0;
            std::memcpy(&w, p + i, n - i);
            h += a_[i / 4] * w;
        }
        return h;
    }
    uint32_t top(uint64_t h) const { return shift_ >= 64 ? 0u : static_cast<uint32_t>(h >> shift_); }

    uint64_t a_[kMaxWords] = {};
    uint64_t b_ = 0;
    int shift_ = 64;
};

// A seed from the system's random source.
uint64_t random_seed();

}  // namespace qv
